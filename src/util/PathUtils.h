#pragma once

#include <cstring>
#include <string>

namespace Ostra::util {

// True for the 24 characters that song identifiers leave out.
bool isBadChar(char c);
// The path's bytes without the removed characters, order and case kept.
void SongIdFromPath(const std::string& path, std::string& id);
// Percent-decodes a file URL path byte by byte; "+" stays "+", a "%" in the
// last two bytes is never decoded, and no UTF-8 check is made.
std::string UriDecode(const std::string& text);

// True when the text can name a file: it holds no NUL byte. Every C call
// takes a NUL for the end of the name, so "x.wav\0.mp3" would pass the
// checks made on its text and then open, decode or rewrite x.wav. Every
// command refuses such a path before anything is opened.
bool IsValidPath(const std::string& path);

// White space of the default ("C") locale: space, \t, \n, \v, \f and \r. A
// predicate for Boost's trim functions that answers without the locale
// lookup per character that boost::algorithm::is_space() makes, which
// dominated the cost of trimming every element of a library file.
struct IsWhiteSpace {
    bool operator()(char c) const { return c == ' ' || (c >= '\t' && c <= '\r'); }
};

// text == literal, with the lengths compared first: element paths are
// matched against several literals per element, and most differ in length.
template <std::size_t N>
bool EqualsLiteral(const std::string& text, const char (&literal)[N]) {
    return text.size() == N - 1 && std::memcmp(text.data(), literal, N - 1) == 0;
}

}  // namespace Ostra::util

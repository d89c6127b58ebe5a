#pragma once

#include <string>

namespace Ostra {

// True for the 24 characters that song identifiers leave out.
bool isBadChar(char c);
// The path's bytes without the removed characters, order and case kept.
void SongIdFromPath(const std::string& path, std::string& id);
// Percent-decodes a file URL path byte by byte; "+" stays "+", a "%" in the
// last two bytes is never decoded, and no UTF-8 check is made.
std::string UriDecode(const std::string& text);

// White space of the default ("C") locale: space, \t, \n, \v, \f and \r. A
// predicate for Boost's trim functions that answers without the locale
// lookup per character that boost::algorithm::is_space() makes, which
// dominated the cost of trimming every element of a library file.
struct IsWhiteSpace {
    bool operator()(char c) const { return c == ' ' || (c >= '\t' && c <= '\r'); }
};

}  // namespace Ostra

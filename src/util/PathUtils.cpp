#include "util/PathUtils.h"

#include <cctype>
#include <cstdio>
#include <cstring>

namespace Ostra::util {

namespace {

const std::string& removedCharacters() {
    static const std::string chars("\\ #;&,.+*~':\"!^$[]()=>|/");
    return chars;
}

int hexValue(char c) {
    return c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
}

// One flag per byte value, built once from removedCharacters().
struct BadCharTable {
    bool bad[256] = {};
    BadCharTable() {
        for (char c : removedCharacters()) bad[static_cast<unsigned char>(c)] = true;
    }
};

}  // namespace

bool isBadChar(char c) {
    static const BadCharTable table;
    return table.bad[static_cast<unsigned char>(c)];
}

void SongIdFromPath(const std::string& path, std::string& id) {
    static const BadCharTable table;
    // Written in place: this runs for every file of a scan.
    id.resize(path.size());
    char* out = id.data();
    for (char c : path) {
        *out = c;
        out += !table.bad[static_cast<unsigned char>(c)];
    }
    id.resize(static_cast<std::size_t>(out - id.data()));
}

bool IsValidPath(const std::string& path) {
    return path.find('\0') == std::string::npos;
}

std::string UriDecode(const std::string& text) {
    const std::size_t n = text.size();
    std::string out;
    out.reserve(n);
    std::size_t i = 0;
    while (n > 2 && i < n - 2) {
        if (text[i] == '%' && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            // The common case, two hex digits: what sscanf gives, without it.
            out.push_back(static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2])));
            i += 3;
            continue;
        }
        if (text[i] == '%') {
            // "%2x" semantics: at most two hex digits, after optional blanks
            // and sign that sscanf would accept; work on a NUL-terminated copy.
            char digits[3] = {text[i + 1], text[i + 2], '\0'};
            unsigned int byte = 0;
            if (std::sscanf(digits, "%2x", &byte) == 1) {
                out.push_back(static_cast<char>(byte));
                i += 3;
                continue;
            }
        }
        out.push_back(text[i]);
        ++i;
    }
    out.append(text, i, std::string::npos);
    return out;
}

}  // namespace Ostra::util

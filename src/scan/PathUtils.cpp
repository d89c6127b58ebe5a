#include "scan/PathUtils.h"

#include <cstdio>
#include <cstring>

namespace Ostra {

namespace {

const std::string& removedCharacters() {
    static const std::string chars("\\ #;&,.+*~':\"!^$[]()=>|/");
    return chars;
}

}  // namespace

bool isBadChar(char c) {
    return c != '\0' && removedCharacters().find(c) != std::string::npos;
}

void SongIdFromPath(const std::string& path, std::string& id) {
    id.clear();
    id.reserve(path.size());
    for (char c : path) {
        if (!isBadChar(c)) id.push_back(c);
    }
}

std::string UriDecode(const std::string& text) {
    const std::size_t n = text.size();
    std::string out;
    out.reserve(n);
    std::size_t i = 0;
    while (n > 2 && i < n - 2) {
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

}  // namespace Ostra

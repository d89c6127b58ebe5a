// The index keys of maps: "0", "1", ... as push_back gives them. Maps hold
// a dense run of them implicitly and must still yield and encode them in
// ascending byte order of their texts.
#pragma once

#include <charconv>
#include <cstddef>
#include <optional>
#include <string_view>

namespace amf {
namespace detail {

// "0", or digits without a leading zero: the texts push_back gives keys.
inline std::optional<std::size_t> index_of(std::string_view key) {
    if (key.empty() || key.size() > 19 || (key[0] == '0' && key.size() > 1)) return std::nullopt;
    std::size_t value = 0;
    for (char c : key) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value;
}

inline std::size_t write_index(std::size_t index, char* out, std::size_t room) {
    return static_cast<std::size_t>(std::to_chars(out, out + room, index).ptr - out);
}

inline std::size_t digits_of(std::size_t index) {
    std::size_t digits = 1;
    while (index >= 10) {
        index /= 10;
        ++digits;
    }
    return digits;
}

// The index after `index` in ascending byte order of the decimal texts of
// 0 .. count-1 ("0", "1", "10", "100", ..., "11", ..., "2", ...), a
// depth-first walk of the digits; count when there is none.
inline std::size_t next_in_key_order(std::size_t index, std::size_t count) {
    if (index == 0) return count > 1 ? 1 : count;
    if (index <= (count - 1) / 10) return index * 10;
    for (;;) {
        if (index % 10 != 9 && index + 1 < count) return index + 1;
        index /= 10;
        if (index == 0) return count;
    }
}

}  // namespace detail
}  // namespace amf

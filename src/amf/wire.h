// The byte-level rules of the AMF0 encoding, shared by the value classes
// and the codec: range checks, big-endian integers and length-prefixed
// texts. Every reader checks the bytes present before it reads or
// allocates; every writer checks its room.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "amf/amf0.h"

namespace amf {
namespace detail {

inline bool valid_range(const unsigned char* p, const unsigned char* end) {
    return p != nullptr && end != nullptr && p <= end;
}

inline bool fits(const unsigned char* p, const unsigned char* end, std::size_t n) {
    return valid_range(p, end) && static_cast<std::size_t>(end - p) >= n;
}

inline void put_u16(unsigned char*& p, std::uint16_t v) {
    *p++ = static_cast<unsigned char>(v >> 8);
    *p++ = static_cast<unsigned char>(v);
}

inline void put_u32(unsigned char*& p, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) *p++ = static_cast<unsigned char>(v >> shift);
}

inline std::uint16_t get_u16(const unsigned char*& p) {
    std::uint16_t v = static_cast<std::uint16_t>((p[0] << 8) | p[1]);
    p += 2;
    return v;
}

inline std::uint32_t get_u32(const unsigned char*& p) {
    std::uint32_t v = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                      (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
    p += 4;
    return v;
}

inline std::uint32_t peek_u32(const unsigned char* p) {
    return get_u32(p);
}

// Length-prefixed bytes; the announced length is checked against what is
// present before anything is allocated.
inline bool get_bytes(const unsigned char*& p, const unsigned char* end, std::size_t n,
                      std::string& out) {
    if (!fits(p, end, n)) return false;
    out.assign(reinterpret_cast<const char*>(p), n);
    p += n;
    return true;
}

inline bool put_short_text(unsigned char*& p, const unsigned char* end, std::string_view text) {
    if (text.size() > kMaxShortStringLength || !fits(p, end, 2 + text.size())) return false;
    put_u16(p, static_cast<std::uint16_t>(text.size()));
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    p += text.size();
    return true;
}

inline bool get_short_text(const unsigned char*& p, const unsigned char* end, std::string& out) {
    if (!fits(p, end, 2)) return false;
    return get_bytes(p, end, get_u16(p), out);
}

// The length of the next entry's key, or 0 at the end of the entries (an
// empty key, then the end marker, which is stepped over too); false when the
// bytes run out or the empty key lacks its marker.
inline bool get_key_length(const unsigned char*& p, const unsigned char* end,
                           std::uint16_t& length) {
    if (!fits(p, end, 2)) return false;
    length = get_u16(p);
    if (length != 0) return true;
    if (!fits(p, end, 1) || *p != AMF_OBJECT_END) return false;
    ++p;
    return true;
}

// The end of an object's or ECMA array's entries: an empty key and the end
// marker.
inline bool put_entries_end(unsigned char*& p, const unsigned char* end) {
    if (!fits(p, end, 3)) return false;
    *p++ = 0;
    *p++ = 0;
    *p++ = AMF_OBJECT_END;
    return true;
}

// A text as to_string shows it.
inline std::string quoted(std::string_view s) {
    return "\"" + std::string(s) + "\"";
}

}  // namespace detail
}  // namespace amf

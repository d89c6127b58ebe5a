// Numbers, booleans, short and long strings, null: their bodies on the wire
// and their text.

#include <cstring>
#include <sstream>

#include "amf/amf0.h"
#include "amf/wire.h"

namespace amf {

using namespace detail;

bool amf_numeric::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    if (!fits(p, end, 8)) return false;
    std::uint64_t bits;
    std::memcpy(&bits, &value_, 8);
    for (int shift = 56; shift >= 0; shift -= 8) *p++ = static_cast<unsigned char>(bits >> shift);
    return true;
}

bool amf_numeric::decode_and_step(const unsigned char*& p, const unsigned char* end) {
    if (!fits(p, end, 8)) return false;
    std::uint64_t bits = 0;
    for (int i = 0; i < 8; ++i) bits = (bits << 8) | p[i];
    std::memcpy(&value_, &bits, 8);
    p += 8;
    return true;
}

std::string amf_numeric::to_string() const {
    std::ostringstream out;
    out.precision(17);
    out << value_;
    return out.str();
}

bool amf_boolean::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    if (!fits(p, end, 1)) return false;
    *p++ = value_ ? 1 : 0;
    return true;
}

bool amf_boolean::decode_and_step(const unsigned char*& p, const unsigned char* end) {
    if (!fits(p, end, 1)) return false;
    value_ = *p++ != 0;
    return true;
}

bool amf_string::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    return put_short_text(p, end, value_);
}

bool amf_string::decode_and_step(const unsigned char*& p, const unsigned char* end) {
    return get_short_text(p, end, value_);
}

std::string amf_string::to_string() const {
    return quoted(value_);
}

bool amf_long_string::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    if (value_.size() > 0xFFFFFFFFu || !fits(p, end, 4 + value_.size())) return false;
    put_u32(p, static_cast<std::uint32_t>(value_.size()));
    if (!value_.empty()) std::memcpy(p, value_.data(), value_.size());
    p += value_.size();
    return true;
}

bool amf_long_string::decode_and_step(const unsigned char*& p, const unsigned char* end) {
    if (!fits(p, end, 4)) return false;
    return get_bytes(p, end, get_u32(p), value_);
}

std::string amf_long_string::to_string() const {
    return quoted(value_);
}

bool amf_null::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    return valid_range(p, end);
}

bool amf_null::decode_and_step(const unsigned char*& p, const unsigned char* end) {
    return valid_range(p, end);
}

}  // namespace amf

// Strict arrays: elements in order, and their body on the wire.

#include "amf/amf0.h"
#include "amf/decode_body.h"
#include "amf/wire.h"

namespace amf {

using namespace detail;

amf_strict_array::amf_strict_array(const amf_strict_array& other) : amf0_data_type_tmpl(other) {
    values_.values_.reserve(other.values_.size());
    for (const detail::value_ref& v : other.values_.values_) values_.values_.push_back(v.copy());
}

void amf_strict_array::push_back(const amf0_data_type* value) {
    if (value == nullptr) return;
    values_.values_.push_back(detail::value_ref::adopt(value->clone()));
}

bool amf_strict_array::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    if (!fits(p, end, 4) || values_.size() > 0xFFFFFFFFu) return false;
    put_u32(p, static_cast<std::uint32_t>(values_.size()));
    for (const amf0_data_type* v : values_) {
        if (!amf::encode_and_step(p, end, v)) return false;
    }
    return true;
}

bool amf_strict_array::decode_and_step(const unsigned char*& p, const unsigned char* end) {
    amf_strict_array decoded;
    if (!decode_body(p, end, decoded)) return false;
    values_.values_ = std::move(decoded.values_.values_);
    return true;
}

amf0_data_type* amf_strict_array::clone() const {
    return new amf_strict_array(*this);
}

std::size_t amf_strict_array::get_size() const {
    std::size_t size = 4;
    for (const amf0_data_type* v : values_) size += amf::get_size(v);
    return size;
}

std::string amf_strict_array::to_string() const {
    std::string out = "[";
    bool first = true;
    for (const amf0_data_type* v : values_) {
        if (!first) out += ", ";
        first = false;
        out += v->to_string();
    }
    return out + "]";
}

}  // namespace amf

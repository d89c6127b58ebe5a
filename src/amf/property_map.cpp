// Objects and ECMA arrays: property access over the map, and their bodies on
// the wire.

#include "amf/amf0.h"
#include "amf/decode_body.h"
#include "amf/index_keys.h"
#include "amf/wire.h"

namespace amf {

using namespace detail;

void amf_property_map::set_property(const std::string& name, const amf0_data_type* value) {
    if (value == nullptr) return;
    map_.set(name, detail::value_ref::adopt(value->clone()));
}

void amf_property_map::set_property(const std::string& name,
                                    std::unique_ptr<amf0_data_type> value) {
    if (value) map_.set(name, detail::value_ref::adopt(value.release()));
}

void amf_property_map::set_string_property(const std::string& name, const std::string& text) {
    if (text.size() <= kMaxShortStringLength)
        map_.set(name, detail::value_ref::adopt(new amf_string(text)));
    else
        map_.set(name, detail::value_ref::adopt(new amf_long_string(text)));
}

void amf_property_map::set_string_property(const std::string& name, std::string&& text) {
    if (text.size() <= kMaxShortStringLength)
        map_.set(name, detail::value_ref::adopt(new amf_string(std::move(text))));
    else
        map_.set(name, detail::value_ref::adopt(new amf_long_string(std::move(text))));
}

void amf_property_map::set_numeric_property(const std::string& name, double value) {
    map_.set(name, detail::value_ref::adopt(new amf_numeric(value)));
}

void amf_property_map::set_bool_property(const std::string& name, bool value) {
    map_.set(name, detail::value_ref::adopt(new amf_boolean(value)));
}

bool amf_property_map::add_property(const amf_string& key, amf0_data_type* value) {
    std::unique_ptr<amf0_data_type> owned(value);
    if (!owned) return false;
    return map_.insert_new(key.get_value(), detail::value_ref::adopt(owned.release()));
}

std::size_t amf_property_map::entries_size() const {
    std::size_t size = 0;
    map_.for_each([&](std::string_view key, const amf0_data_type* value) {
        size += 2 + key.size() + amf::get_size(value);
    });
    return size;
}

bool amf_property_map::encode_entries(unsigned char*& p, const unsigned char* end) const {
    bool ok = true;
    for (auto it = map_.begin(), stop = map_.end(); ok && it != stop; ++it)
        ok = put_short_text(p, end, it.key()) && amf::encode_and_step(p, end, it.value());
    return ok && put_entries_end(p, end);
}

std::string amf_property_map::entries_to_string() const {
    std::string out;
    map_.for_each([&](std::string_view key, const amf0_data_type* value) {
        if (!out.empty()) out += ", ";
        out += quoted(key) + ": " + value->to_string();
    });
    return out;
}

// Decoding into an existing container keeps its old entries when the bytes
// are refused.
bool amf_object::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    return encode_entries(p, end);
}

bool amf_object::decode_and_step(const unsigned char*& p, const unsigned char* end) {
    amf_object decoded;
    if (!decode_body(p, end, decoded)) return false;
    map_ = std::move(decoded.map_);
    return true;
}

amf0_data_type* amf_object::clone() const {
    return new amf_object(*this);
}

bool amf_ecma_array::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    if (!fits(p, end, 4) || map_.size() > 0xFFFFFFFFu) return false;
    put_u32(p, static_cast<std::uint32_t>(map_.size()));
    return encode_entries(p, end);
}

bool amf_ecma_array::decode_and_step(const unsigned char*& p, const unsigned char* end) {
    amf_ecma_array decoded;
    if (!decode_body(p, end, decoded)) return false;
    map_ = std::move(decoded.map_);
    return true;
}

amf0_data_type* amf_ecma_array::clone() const {
    return new amf_ecma_array(*this);
}

void amf_ecma_array::push_back(const amf0_data_type* value) {
    if (value == nullptr) return;
    push_back(std::unique_ptr<amf0_data_type>(value->clone()));
}

void amf_ecma_array::push_back(std::unique_ptr<amf0_data_type> value) {
    if (!value) return;
    char digits[24];
    map_.set(std::string_view(digits, write_index(map_.size(), digits, sizeof digits)),
             detail::value_ref::adopt(value.release()));
}

}  // namespace amf

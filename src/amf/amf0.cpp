#include "amf/amf0.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <sstream>

namespace amf {

namespace {

bool valid_range(const unsigned char* p, const unsigned char* end) {
    return p != nullptr && end != nullptr && p <= end;
}

bool fits(const unsigned char* p, const unsigned char* end, std::size_t n) {
    return valid_range(p, end) && static_cast<std::size_t>(end - p) >= n;
}

void put_u16(unsigned char*& p, std::uint16_t v) {
    *p++ = static_cast<unsigned char>(v >> 8);
    *p++ = static_cast<unsigned char>(v);
}

void put_u32(unsigned char*& p, std::uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) *p++ = static_cast<unsigned char>(v >> shift);
}

std::uint16_t get_u16(const unsigned char*& p) {
    std::uint16_t v = static_cast<std::uint16_t>((p[0] << 8) | p[1]);
    p += 2;
    return v;
}

std::uint32_t get_u32(const unsigned char*& p) {
    std::uint32_t v = (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                      (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]);
    p += 4;
    return v;
}

// Length-prefixed bytes; the announced length is checked against what is
// present before anything is allocated.
bool get_bytes(const unsigned char*& p, const unsigned char* end, std::size_t n, std::string& out) {
    if (!fits(p, end, n)) return false;
    out.assign(reinterpret_cast<const char*>(p), n);
    p += n;
    return true;
}

bool put_short_text(unsigned char*& p, const unsigned char* end, const std::string& text) {
    if (text.size() > kMaxShortStringLength || !fits(p, end, 2 + text.size())) return false;
    put_u16(p, static_cast<std::uint16_t>(text.size()));
    if (!text.empty()) std::memcpy(p, text.data(), text.size());
    p += text.size();
    return true;
}

bool get_short_text(const unsigned char*& p, const unsigned char* end, std::string& out) {
    if (!fits(p, end, 2)) return false;
    return get_bytes(p, end, get_u16(p), out);
}

std::string quoted(const std::string& s) {
    return "\"" + s + "\"";
}

amf0_data_type* make_value(unsigned char marker) {
    switch (marker) {
        case AMF_NUMBER:
            return new amf_numeric();
        case AMF_BOOLEAN:
            return new amf_boolean();
        case AMF_STRING:
            return new amf_string();
        case AMF_OBJECT:
            return new amf_object();
        case AMF_NULL:
        case AMF_UNDEFINED:
            return new amf_null();
        case AMF_ECMA_ARRAY:
            return new amf_ecma_array();
        case AMF_STRICT_ARRAY:
            return new amf_strict_array();
        case AMF_LONG_STRING:
            return new amf_long_string();
        default:
            return nullptr;
    }
}

// Nesting depth of the decode running on this thread.
thread_local int decode_depth = 0;

struct DepthGuard {
    DepthGuard() { ++decode_depth; }
    ~DepthGuard() { --decode_depth; }
    bool exceeded() const { return decode_depth > kMaxDecodeDepth; }
};

}  // namespace

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

void release_map(amf_map& m) {
    for (auto& entry : m) delete entry.second;
    m.clear();
}

void clone_map(const amf_map& src, amf_map& dst) {
    for (const auto& entry : src) {
        std::unique_ptr<amf0_data_type> value(entry.second->clone());
        auto it = dst.find(entry.first);
        if (it != dst.end()) {
            delete it->second;
            it->second = value.release();
        } else {
            dst.emplace(entry.first, value.release());
        }
    }
}

const amf0_data_type* amf_property_map::get_property(const std::string& name) const {
    auto it = map_.find(name);
    return it == map_.end() ? nullptr : it->second;
}

void amf_property_map::store(const std::string& name, std::unique_ptr<amf0_data_type> value) {
    auto it = map_.lower_bound(name);
    if (it != map_.end() && it->first.get_value() == name) {
        delete it->second;
        it->second = value.release();
        return;
    }
    map_.emplace_hint(it, amf_string(name), value.get());
    value.release();
}

void amf_property_map::set_property(const std::string& name, const amf0_data_type* value) {
    if (value == nullptr) return;
    store(name, std::unique_ptr<amf0_data_type>(value->clone()));
}

void amf_property_map::set_property(const std::string& name,
                                    std::unique_ptr<amf0_data_type> value) {
    if (value) store(name, std::move(value));
}

void amf_property_map::set_string_property(const std::string& name, const std::string& text) {
    if (text.size() <= kMaxShortStringLength)
        store(name, std::unique_ptr<amf0_data_type>(new amf_string(text)));
    else
        store(name, std::unique_ptr<amf0_data_type>(new amf_long_string(text)));
}

void amf_property_map::set_numeric_property(const std::string& name, double value) {
    store(name, std::unique_ptr<amf0_data_type>(new amf_numeric(value)));
}

void amf_property_map::set_bool_property(const std::string& name, bool value) {
    store(name, std::unique_ptr<amf0_data_type>(new amf_boolean(value)));
}

void amf_property_map::remove_property(const std::string& name) {
    auto it = map_.find(name);
    if (it == map_.end()) return;
    delete it->second;
    map_.erase(it);
}

bool amf_property_map::add_property(const amf_string& key, amf0_data_type* value) {
    std::unique_ptr<amf0_data_type> owned(value);
    if (!owned || map_.count(key) != 0) return false;
    map_.emplace(key, owned.release());
    return true;
}

std::size_t amf_property_map::entries_size() const {
    std::size_t size = 0;
    for (const auto& entry : map_)
        size += 2 + entry.first.get_value().size() + amf::get_size(entry.second);
    return size;
}

bool amf_property_map::encode_entries(unsigned char*& p, const unsigned char* end) const {
    for (const auto& entry : map_) {
        if (!put_short_text(p, end, entry.first.get_value())) return false;
        if (!amf::encode_and_step(p, end, entry.second)) return false;
    }
    if (!fits(p, end, 3)) return false;
    *p++ = 0;
    *p++ = 0;
    *p++ = AMF_OBJECT_END;
    return true;
}

bool amf_property_map::decode_entries(const unsigned char*& p, const unsigned char* end) {
    amf_map decoded;
    struct Release {
        amf_map& m;
        ~Release() { release_map(m); }
    } release{decoded};
    for (;;) {
        std::string key;
        if (!fits(p, end, 1) || !get_short_text(p, end, key)) return false;
        if (key.empty()) {
            if (!fits(p, end, 1) || *p != AMF_OBJECT_END) return false;
            ++p;
            break;
        }
        amf0_data_type* value = amf::decode_and_step(p, end);
        if (value == nullptr) return false;
        auto it = decoded.find(amf_string(key));
        if (it != decoded.end()) {
            delete it->second;
            it->second = value;
        } else {
            decoded.emplace(amf_string(key), value);
        }
    }
    release_map(map_);
    map_.swap(decoded);
    return true;
}

std::string amf_property_map::entries_to_string() const {
    std::string out;
    for (const auto& entry : map_) {
        if (!out.empty()) out += ", ";
        out += quoted(entry.first.get_value()) + ": " + entry.second->to_string();
    }
    return out;
}

bool amf_object::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    return encode_entries(p, end);
}

bool amf_object::decode_and_step(const unsigned char*& p, const unsigned char* end) {
    return decode_entries(p, end);
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
    // The count is advisory: entries run until the end marker.
    if (!fits(p, end, 4)) return false;
    p += 4;
    return decode_entries(p, end);
}

amf0_data_type* amf_ecma_array::clone() const {
    return new amf_ecma_array(*this);
}

void amf_ecma_array::push_back(const amf0_data_type* value) {
    if (value == nullptr) return;
    push_back(std::unique_ptr<amf0_data_type>(value->clone()));
}

void amf_ecma_array::push_back(std::unique_ptr<amf0_data_type> value) {
    if (value) store(std::to_string(map_.size()), std::move(value));
}

void amf_encoded_ecma_array::push_back(const amf0_data_type* value) {
    if (value == nullptr) return;
    const std::string key = std::to_string(values_.size());
    std::string bytes(amf::get_size(value), '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&bytes[0]);
    if (!amf::encode(p, p + bytes.size(), value)) failed_ = true;
    entries_size_ += 2 + key.size() + bytes.size();
    values_.push_back(std::move(bytes));
}

void amf_encoded_ecma_array::remove_all() {
    values_.clear();
    entries_size_ = 0;
    failed_ = false;
}

std::size_t amf_encoded_ecma_array::get_size() const {
    return 7 + entries_size_;
}

// Index keys sort as text: 0, 1, 10, 100, ..., 11, ..., 2, ... That is a
// depth-first walk of the decimal digits; the depth is at most the digits of
// the count.
template <class Visit>
void amf_encoded_ecma_array::for_each_in_key_order(Visit visit) const {
    const std::size_t count = values_.size();
    struct Walk {
        std::size_t count;
        Visit& visit;
        void from(std::size_t index) const {
            if (index >= count) return;
            visit(index);
            if (index > (count - 1) / 10) return;  // no longer index below count
            for (std::size_t digit = 0; digit < 10; ++digit) from(index * 10 + digit);
        }
    } walk{count, visit};
    if (count > 0) visit(0);
    for (std::size_t first = 1; first < 10; ++first) walk.from(first);
}

bool amf_encoded_ecma_array::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    if (failed_ || !fits(p, end, 4) || values_.size() > 0xFFFFFFFFu) return false;
    put_u32(p, static_cast<std::uint32_t>(values_.size()));
    bool ok = true;
    for_each_in_key_order([&](std::size_t index) {
        if (!ok) return;
        const std::string& bytes = values_[index];
        ok = put_short_text(p, end, std::to_string(index)) && fits(p, end, bytes.size());
        if (!ok) return;
        std::memcpy(p, bytes.data(), bytes.size());
        p += bytes.size();
    });
    if (!ok || !fits(p, end, 3)) return false;
    *p++ = 0;
    *p++ = 0;
    *p++ = AMF_OBJECT_END;
    return true;
}

bool amf_encoded_ecma_array::decode_and_step(const unsigned char*&, const unsigned char*) {
    return false;
}

std::string amf_encoded_ecma_array::to_string() const {
    std::string out;
    for_each_in_key_order([&](std::size_t index) {
        const std::string& bytes = values_[index];
        const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
        std::unique_ptr<amf0_data_type> value(amf::decode(p, p + bytes.size()));
        if (!out.empty()) out += ", ";
        out += quoted(std::to_string(index)) + ": " + (value ? value->to_string() : "?");
    });
    return "[" + out + "]";
}

amf_strict_array::amf_strict_array(const amf_strict_array& other) : amf0_data_type_tmpl(other) {
    values_.reserve(other.values_.size());
    for (const auto* v : other.values_) values_.push_back(v->clone());
}

amf_strict_array::~amf_strict_array() {
    for (auto* v : values_) delete v;
}

bool amf_strict_array::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    if (!fits(p, end, 4) || values_.size() > 0xFFFFFFFFu) return false;
    put_u32(p, static_cast<std::uint32_t>(values_.size()));
    for (const auto* v : values_) {
        if (!amf::encode_and_step(p, end, v)) return false;
    }
    return true;
}

bool amf_strict_array::decode_and_step(const unsigned char*& p, const unsigned char* end) {
    if (!fits(p, end, 4)) return false;
    std::uint32_t count = get_u32(p);
    std::vector<amf0_data_type*> decoded;
    struct Release {
        std::vector<amf0_data_type*>& v;
        ~Release() {
            for (auto* x : v) delete x;
        }
    } release{decoded};
    // Every element takes at least its marker byte, so the bytes present bound
    // what may be reserved whatever the announced count.
    decoded.reserve(std::min<std::size_t>(count, static_cast<std::size_t>(end - p)));
    for (std::uint32_t i = 0; i < count; ++i) {
        amf0_data_type* value = amf::decode_and_step(p, end);
        if (value == nullptr) return false;
        decoded.push_back(value);
    }
    values_.swap(decoded);
    return true;
}

amf0_data_type* amf_strict_array::clone() const {
    return new amf_strict_array(*this);
}

std::size_t amf_strict_array::get_size() const {
    std::size_t size = 4;
    for (const auto* v : values_) size += amf::get_size(v);
    return size;
}

std::string amf_strict_array::to_string() const {
    std::string out = "[";
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (i) out += ", ";
        out += values_[i]->to_string();
    }
    return out + "]";
}

std::size_t get_size(const amf0_data_type* v) {
    return v == nullptr ? 0 : v->get_size() + 1;
}

bool encode(unsigned char* p, const unsigned char* end, const amf0_data_type* v) {
    // Sized once up front, so a buffer that is too short is left untouched.
    if (v == nullptr || !fits(p, end, get_size(v))) return false;
    return encode_and_step(p, end, v);
}

// Every write checks its own room as it goes, so a container never sizes
// itself (and with it all its descendants) again at each level; a failure
// leaves p where it was, with the bytes past it unspecified.
bool encode_and_step(unsigned char*& p, const unsigned char* end, const amf0_data_type* v) {
    if (v == nullptr || !fits(p, end, 1)) return false;
    unsigned char* q = p;
    *q++ = static_cast<unsigned char>(v->get_type());
    if (!v->encode_and_step(q, end)) return false;
    p = q;
    return true;
}

amf0_data_type* decode(const unsigned char* p, const unsigned char* end) {
    return decode_and_step(p, end);
}

amf0_data_type* decode_and_step(const unsigned char*& p, const unsigned char* end) {
    if (!fits(p, end, 1)) return nullptr;
    DepthGuard depth;
    if (depth.exceeded()) return nullptr;
    const unsigned char* q = p;
    std::unique_ptr<amf0_data_type> value(make_value(*q++));
    if (!value || !value->decode_and_step(q, end)) return nullptr;
    p = q;
    return value.release();
}

}  // namespace amf

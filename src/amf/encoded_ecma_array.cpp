// The encode-only ECMA array that keeps each value as bytes (the scan's
// batches).

#include <cstring>
#include <string>
#include <utility>

#include "amf/amf0.h"
#include "amf/index_keys.h"
#include "amf/wire.h"

namespace amf {

using namespace detail;

void amf_encoded_ecma_array::push_back(const amf0_data_type* value) {
    if (value != nullptr) push_back(value, amf::get_size(value));
}

void amf_encoded_ecma_array::push_back(const amf0_data_type* value, std::size_t size) {
    if (value == nullptr) return;
    const std::size_t index = values_.size();
    std::string bytes(size, '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&bytes[0]);
    if (!amf::encode(p, p + bytes.size(), value)) failed_ = true;
    entries_size_ += 2 + digits_of(index) + bytes.size();
    values_.push_back(std::move(bytes));
}

void amf_encoded_ecma_array::push_encoded(std::string bytes) {
    entries_size_ += 2 + digits_of(values_.size()) + bytes.size();
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

template <class Visit>
void amf_encoded_ecma_array::for_each_in_key_order(Visit visit) const {
    const std::size_t count = values_.size();
    for (std::size_t index = 0; index < count; index = next_in_key_order(index, count))
        visit(index);
}

bool amf_encoded_ecma_array::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    if (failed_ || !fits(p, end, 4) || values_.size() > 0xFFFFFFFFu) return false;
    put_u32(p, static_cast<std::uint32_t>(values_.size()));
    bool ok = true;
    char digits[24];
    for_each_in_key_order([&](std::size_t index) {
        if (!ok) return;
        const std::string& bytes = values_[index];
        ok = put_short_text(p, end,
                            std::string_view(digits, write_index(index, digits, sizeof digits))) &&
             fits(p, end, bytes.size());
        if (!ok) return;
        std::memcpy(p, bytes.data(), bytes.size());
        p += bytes.size();
    });
    return ok && put_entries_end(p, end);
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

}  // namespace amf

// The encode-only ECMA array that keeps each value as bytes (the scan's
// batches).

#include <cstring>
#include <string>
#include <string_view>
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
    const std::size_t index = ends_.size();
    const std::size_t start = bytes_.size();
    bytes_.resize(start + size);
    unsigned char* p = reinterpret_cast<unsigned char*>(&bytes_[start]);
    if (!amf::encode(p, p + size, value)) failed_ = true;
    entries_size_ += 2 + digits_of(index) + size;
    ends_.push_back(bytes_.size());
}

void amf_encoded_ecma_array::push_encoded(std::string_view bytes) {
    entries_size_ += 2 + digits_of(ends_.size()) + bytes.size();
    bytes_ += bytes;
    ends_.push_back(bytes_.size());
}

// The buffers keep their capacity: a scan fills batch after batch of about
// the same size.
void amf_encoded_ecma_array::remove_all() {
    bytes_.clear();
    ends_.clear();
    entries_size_ = 0;
    failed_ = false;
}

std::string_view amf_encoded_ecma_array::value_at(std::size_t index) const {
    const std::size_t start = index == 0 ? 0 : ends_[index - 1];
    return std::string_view(bytes_).substr(start, ends_[index] - start);
}

std::size_t amf_encoded_ecma_array::get_size() const {
    return 7 + entries_size_;
}

template <class Visit>
void amf_encoded_ecma_array::for_each_in_key_order(Visit visit) const {
    const std::size_t count = ends_.size();
    for (std::size_t index = 0; index < count; index = next_in_key_order(index, count))
        visit(index);
}

bool amf_encoded_ecma_array::encode_and_step(unsigned char*& p, const unsigned char* end) const {
    if (failed_ || !fits(p, end, 4) || ends_.size() > 0xFFFFFFFFu) return false;
    put_u32(p, static_cast<std::uint32_t>(ends_.size()));
    bool ok = true;
    char digits[24];
    for_each_in_key_order([&](std::size_t index) {
        if (!ok) return;
        const std::string_view bytes = value_at(index);
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
        const std::string_view bytes = value_at(index);
        const unsigned char* p = reinterpret_cast<const unsigned char*>(bytes.data());
        std::unique_ptr<amf0_data_type> value(amf::decode(p, p + bytes.size()));
        if (!out.empty()) out += ", ";
        out += quoted(std::to_string(index)) + ": " + (value ? value->to_string() : "?");
    });
    return "[" + out + "]";
}

}  // namespace amf

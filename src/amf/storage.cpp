// The compact storage under the containers: child slots (owned or shared),
// inline keys, and the 16-byte vector.

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "amf/amf0.h"

namespace amf {
namespace detail {

value_ref value_ref::copy() const {
    if (bits_ == 0 || shared()) return value_ref(bits_);
    return adopt(get()->clone());
}

std::unique_ptr<amf0_data_type> value_ref::take() {
    std::unique_ptr<amf0_data_type> out;
    if (bits_ == 0) return out;
    if (shared())
        out.reset(get()->clone());
    else
        out.reset(const_cast<amf0_data_type*>(get()));
    bits_ = 0;
    return out;
}

void value_ref::reset() {
    if (bits_ != 0 && !shared()) delete get();
    bits_ = 0;
}

packed_key::packed_key(std::string_view text) {
    if (text.size() <= 15) {
        std::memcpy(raw_, text.data(), text.size());
        raw_[15] = static_cast<unsigned char>(text.size());
        return;
    }
    if (text.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("AMF0 key too long");
    char* heap = new char[text.size()];
    std::memcpy(heap, text.data(), text.size());
    const std::uint32_t length = static_cast<std::uint32_t>(text.size());
    std::memcpy(raw_, &heap, sizeof heap);
    std::memcpy(raw_ + 8, &length, sizeof length);
    raw_[15] = kHeap;
}

packed_key::packed_key(packed_key&& other) noexcept {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    other.raw_[15] = 0;
}

packed_key& packed_key::operator=(packed_key&& other) noexcept {
    if (this != &other) {
        release();
        std::memcpy(raw_, other.raw_, sizeof raw_);
        other.raw_[15] = 0;
    }
    return *this;
}

void packed_key::release() {
    if (raw_[15] != kHeap) return;
    char* heap;
    std::memcpy(&heap, raw_, sizeof heap);
    delete[] heap;
    raw_[15] = 0;
}

template <class T>
void compact_vector<T>::reserve(std::size_t n) {
    if (n < size_) n = size_;
    if (n == capacity_) return;
    if (n > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error("AMF0 container too large");
    T* fresh = n == 0 ? nullptr : static_cast<T*>(::operator new(n * sizeof(T)));
    for (std::uint32_t i = 0; i < size_; ++i) {
        new (fresh + i) T(std::move(data_[i]));
        data_[i].~T();
    }
    ::operator delete(data_);
    data_ = fresh;
    capacity_ = static_cast<std::uint32_t>(n);
}

template <class T>
void compact_vector<T>::grow() {
    reserve(capacity_ == 0 ? 4 : std::size_t(capacity_) * 2);
}

template <class T>
T* compact_vector<T>::insert(T* at, T&& value) {
    const std::size_t offset = static_cast<std::size_t>(at - data_);
    if (size_ == capacity_) grow();
    at = data_ + offset;
    if (offset == size_) {
        new (at) T(std::move(value));
    } else {
        new (data_ + size_) T(std::move(data_[size_ - 1]));
        std::move_backward(at, data_ + size_ - 1, data_ + size_);
        *at = std::move(value);
    }
    ++size_;
    return at;
}

template <class T>
void compact_vector<T>::erase(T* at) {
    std::move(at + 1, data_ + size_, at);
    data_[--size_].~T();
}

template class compact_vector<value_ref>;
template class compact_vector<named_entry>;

}  // namespace detail
}  // namespace amf

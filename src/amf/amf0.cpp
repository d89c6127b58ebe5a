#include "amf/amf0.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <limits>
#include <optional>
#include <sstream>
#include <stdexcept>

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

std::uint32_t peek_u32(const unsigned char* p) {
    return get_u32(p);
}

// Length-prefixed bytes; the announced length is checked against what is
// present before anything is allocated.
bool get_bytes(const unsigned char*& p, const unsigned char* end, std::size_t n, std::string& out) {
    if (!fits(p, end, n)) return false;
    out.assign(reinterpret_cast<const char*>(p), n);
    p += n;
    return true;
}

bool put_short_text(unsigned char*& p, const unsigned char* end, std::string_view text) {
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

std::string quoted(std::string_view s) {
    return "\"" + std::string(s) + "\"";
}

// "0", or digits without a leading zero: the texts push_back gives keys.
std::optional<std::size_t> index_of(std::string_view key) {
    if (key.empty() || key.size() > 19 || (key[0] == '0' && key.size() > 1)) return std::nullopt;
    std::size_t value = 0;
    for (char c : key) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value;
}

std::size_t write_index(std::size_t index, char* out, std::size_t room) {
    return static_cast<std::size_t>(std::to_chars(out, out + room, index).ptr - out);
}

std::size_t digits_of(std::size_t index) {
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
std::size_t next_in_key_order(std::size_t index, std::size_t count) {
    if (index == 0) return count > 1 ? 1 : count;
    if (index <= (count - 1) / 10) return index * 10;
    for (;;) {
        if (index % 10 != 9 && index + 1 < count) return index + 1;
        index /= 10;
        if (index == 0) return count;
    }
}

// What one heap block of n bytes takes from glibc's allocator: a header word,
// 16-byte granules, 32 bytes at least.
std::size_t heap_block(std::size_t n) {
    if (n == 0) return 0;
    return std::max<std::size_t>(32, (n + 8 + 15) & ~std::size_t(15));
}

// The immutable values every decoded container shares instead of allocating
// one per occurrence. Built once and never destroyed, so no container can
// outlive them.
struct SharedValues {
    amf_null null;
    amf_boolean no{false};
    amf_boolean yes{true};
    amf_string strings[257];  // one byte each; [256] is the empty text
    amf_long_string long_strings[257];
    amf_object object;
    amf_ecma_array ecma;
    amf_strict_array strict;

    SharedValues() {
        for (int i = 0; i < 256; ++i) {
            strings[i] = amf_string(std::string(1, static_cast<char>(i)));
            long_strings[i] = amf_long_string(std::string(1, static_cast<char>(i)));
        }
    }
};

const SharedValues& shared() {
    static const SharedValues* values = new SharedValues();
    return *values;
}

// The shared value the complete value at p decodes to, and its encoded
// length; null when the value needs storage of its own.
const amf0_data_type* shared_value_at(const unsigned char* p, const unsigned char* end,
                                      std::size_t& length) {
    if (!fits(p, end, 1)) return nullptr;
    const SharedValues& s = shared();
    switch (*p) {
        case AMF_NULL:
        case AMF_UNDEFINED:
            length = 1;
            return &s.null;
        case AMF_BOOLEAN:
            if (!fits(p, end, 2)) return nullptr;
            length = 2;
            return p[1] != 0 ? &s.yes : &s.no;
        case AMF_STRING: {
            if (!fits(p, end, 3)) return nullptr;
            const std::size_t n = (std::size_t(p[1]) << 8) | p[2];
            if (n == 0) {
                length = 3;
                return &s.strings[256];
            }
            if (n != 1 || !fits(p, end, 4)) return nullptr;
            length = 4;
            return &s.strings[p[3]];
        }
        case AMF_LONG_STRING: {
            if (!fits(p, end, 5)) return nullptr;
            const std::uint32_t n = peek_u32(p + 1);
            if (n == 0) {
                length = 5;
                return &s.long_strings[256];
            }
            if (n != 1 || !fits(p, end, 6)) return nullptr;
            length = 6;
            return &s.long_strings[p[5]];
        }
        case AMF_OBJECT:
            if (!fits(p, end, 4) || p[1] != 0 || p[2] != 0 || p[3] != AMF_OBJECT_END)
                return nullptr;
            length = 4;
            return &s.object;
        case AMF_ECMA_ARRAY:
            if (!fits(p, end, 8) || p[5] != 0 || p[6] != 0 || p[7] != AMF_OBJECT_END)
                return nullptr;
            length = 8;
            return &s.ecma;
        case AMF_STRICT_ARRAY:
            if (!fits(p, end, 5) || peek_u32(p + 1) != 0) return nullptr;
            length = 5;
            return &s.strict;
        default:
            return nullptr;
    }
}

}  // namespace

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

std::string_view packed_key::view() const {
    if (raw_[15] != kHeap) return std::string_view(reinterpret_cast<const char*>(raw_), raw_[15]);
    const char* heap;
    std::uint32_t length;
    std::memcpy(&heap, raw_, sizeof heap);
    std::memcpy(&length, raw_ + 8, sizeof length);
    return std::string_view(heap, length);
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

// Decoding runs in two passes over the bytes. The first validates everything
// and counts the entries of each map, so that the second can size every
// array exactly and never reallocates a growing one. The second builds the
// value and keeps a tally of the memory it holds, as the allocator counts it,
// refusing to go past its limit.
struct codec {
    struct measurer {
        const unsigned char* end;
        std::vector<std::uint32_t> counts;  // entries of each map with storage, in build order
        bool record = true;                 // false: only validate

        bool value(const unsigned char*& p, int depth, bool child) {
            if (depth > kMaxDecodeDepth || !fits(p, end, 1)) return false;
            if (child) {
                std::size_t length;
                if (shared_value_at(p, end, length) != nullptr) {
                    p += length;
                    return true;
                }
            }
            const unsigned char* q = p + 1;
            if (!body(static_cast<AMF_TYPE>(*p), q, depth)) return false;
            p = q;
            return true;
        }

        bool body(AMF_TYPE type, const unsigned char*& q, int depth) {
            switch (type) {
                case AMF_NUMBER:
                    return skip(q, 8);
                case AMF_BOOLEAN:
                    return skip(q, 1);
                case AMF_STRING: {
                    if (!fits(q, end, 2)) return false;
                    return skip(q, get_u16(q));
                }
                case AMF_LONG_STRING: {
                    if (!fits(q, end, 4)) return false;
                    return skip(q, get_u32(q));
                }
                case AMF_NULL:
                case AMF_UNDEFINED:
                    return true;
                case AMF_OBJECT:
                    return entries(q, depth);
                case AMF_ECMA_ARRAY:
                    // The count is advisory: entries run until the end marker.
                    return skip(q, 4) && entries(q, depth);
                case AMF_STRICT_ARRAY: {
                    if (!fits(q, end, 4)) return false;
                    const std::uint32_t count = get_u32(q);
                    // Every element takes at least its marker byte.
                    if (count > static_cast<std::size_t>(end - q)) return false;
                    for (std::uint32_t i = 0; i < count; ++i)
                        if (!value(q, depth + 1, true)) return false;
                    return true;
                }
                default:
                    return false;
            }
        }

        bool skip(const unsigned char*& q, std::size_t n) {
            if (!fits(q, end, n)) return false;
            q += n;
            return true;
        }

        bool entries(const unsigned char*& q, int depth) {
            const std::size_t slot = counts.size();
            if (record) counts.push_back(0);
            std::uint32_t n = 0;
            for (;;) {
                if (!fits(q, end, 2)) return false;
                const std::uint16_t length = get_u16(q);
                if (length == 0) {
                    if (!fits(q, end, 1) || *q != AMF_OBJECT_END) return false;
                    ++q;
                    break;
                }
                if (!skip(q, length) || !value(q, depth + 1, true)) return false;
                if (++n == std::numeric_limits<std::uint32_t>::max()) return false;
            }
            if (record) counts[slot] = n;
            return true;
        }
    };

    struct builder {
        const unsigned char* end;
        const std::vector<std::uint32_t>& counts;
        std::size_t next = 0;
        std::size_t held = 0;
        std::size_t limit;

        bool charge(std::size_t bytes) {
            held += bytes;
            return held <= limit;
        }
        void refund(std::size_t bytes) { held -= bytes; }

        template <class T>
        bool make(std::unique_ptr<amf0_data_type>& out) {
            out.reset(new T());
            return charge(heap_block(sizeof(T)));
        }

        bool node(const unsigned char*& p, std::unique_ptr<amf0_data_type>& out, int depth) {
            if (depth > kMaxDecodeDepth || !fits(p, end, 1)) return false;
            const AMF_TYPE type = static_cast<AMF_TYPE>(*p);
            bool made = false;
            switch (type) {
                case AMF_NUMBER:
                    made = make<amf_numeric>(out);
                    break;
                case AMF_BOOLEAN:
                    made = make<amf_boolean>(out);
                    break;
                case AMF_STRING:
                    made = make<amf_string>(out);
                    break;
                case AMF_LONG_STRING:
                    made = make<amf_long_string>(out);
                    break;
                case AMF_NULL:
                case AMF_UNDEFINED:
                    made = make<amf_null>(out);
                    break;
                case AMF_OBJECT:
                    made = make<amf_object>(out);
                    break;
                case AMF_ECMA_ARRAY:
                    made = make<amf_ecma_array>(out);
                    break;
                case AMF_STRICT_ARRAY:
                    made = make<amf_strict_array>(out);
                    break;
                default:
                    return false;
            }
            const unsigned char* q = p + 1;
            if (!made || !body(*out, q, depth)) return false;
            p = q;
            return true;
        }

        bool child(const unsigned char*& p, value_ref& out, int depth) {
            std::size_t length;
            if (const amf0_data_type* s = shared_value_at(p, end, length)) {
                out = value_ref::share(s);
                p += length;
                return depth <= kMaxDecodeDepth;
            }
            std::unique_ptr<amf0_data_type> value;
            if (!node(p, value, depth)) return false;
            out = value_ref::adopt(value.release());
            return true;
        }

        bool text(const unsigned char*& q, std::size_t length, std::string& out) {
            if (length > 15 && !charge(heap_block(length + 1))) return false;
            return get_bytes(q, end, length, out);
        }

        bool body(amf0_data_type& into, const unsigned char*& q, int depth) {
            switch (into.get_type()) {
                case AMF_NUMBER:
                case AMF_BOOLEAN:
                case AMF_NULL:
                    return into.decode_and_step(q, end);
                case AMF_STRING: {
                    if (!fits(q, end, 2)) return false;
                    std::string value;
                    if (!text(q, get_u16(q), value)) return false;
                    static_cast<amf_string&>(into) = amf_string(std::move(value));
                    return true;
                }
                case AMF_LONG_STRING: {
                    if (!fits(q, end, 4)) return false;
                    std::string value;
                    if (!text(q, get_u32(q), value)) return false;
                    static_cast<amf_long_string&>(into) = amf_long_string(std::move(value));
                    return true;
                }
                case AMF_OBJECT:
                    return entries(q, static_cast<amf_object&>(into).map_, depth);
                case AMF_ECMA_ARRAY:
                    if (!fits(q, end, 4)) return false;
                    q += 4;
                    return entries(q, static_cast<amf_ecma_array&>(into).map_, depth);
                case AMF_STRICT_ARRAY:
                    return elements(q, static_cast<amf_strict_array&>(into).values_.values_, depth);
                default:
                    return false;
            }
        }

        bool elements(const unsigned char*& q, compact_vector<value_ref>& out, int depth) {
            if (!fits(q, end, 4)) return false;
            const std::uint32_t count = get_u32(q);
            if (count > static_cast<std::size_t>(end - q)) return false;
            compact_vector<value_ref> values;
            values.reserve(count);
            if (!charge(heap_block(count * sizeof(value_ref)))) return false;
            for (std::uint32_t i = 0; i < count; ++i) {
                value_ref value;
                if (!child(q, value, depth + 1)) return false;
                values.push_back(std::move(value));
            }
            out = std::move(values);
            return true;
        }

        bool entries(const unsigned char*& q, amf_map& out, int depth) {
            if (next >= counts.size()) return false;
            const std::uint32_t count = counts[next++];
            compact_vector<named_entry> decoded;
            decoded.reserve(count);
            std::size_t reserved = heap_block(count * sizeof(named_entry));
            if (!charge(reserved)) return false;
            for (;;) {
                if (!fits(q, end, 2)) return false;
                const std::uint16_t length = get_u16(q);
                if (length == 0) {
                    if (!fits(q, end, 1) || *q != AMF_OBJECT_END) return false;
                    ++q;
                    break;
                }
                if (!fits(q, end, length) || decoded.size() == count) return false;
                if (length > 15 && !charge(heap_block(length))) return false;
                named_entry entry{
                    packed_key(std::string_view(reinterpret_cast<const char*>(q), length)),
                    value_ref()};
                q += length;
                if (!child(q, entry.value, depth + 1)) return false;
                decoded.push_back(std::move(entry));
            }
            return adopt(std::move(decoded), reserved, out);
        }

        // Sorts (stably: of equal keys the later wins), drops repeated keys
        // and moves the index keys into the map's implicit run, keeping the
        // tally in step with every block taken and given back.
        bool adopt(compact_vector<named_entry>&& entries, std::size_t reserved, amf_map& out) {
            const auto less = [](const named_entry& a, const named_entry& b) {
                return a.key.view() < b.key.view();
            };
            named_entry* first = entries.begin();
            named_entry* last = entries.end();
            // Encoders write keys in order, so sorting is usually not needed.
            if (!std::is_sorted(first, last, less)) {
                const std::size_t buffer = entries.size() * sizeof(named_entry);
                if (!charge(buffer)) return false;
                std::stable_sort(first, last, less);
                refund(buffer);
            }
            std::size_t kept = 0;
            for (std::size_t i = 0; i < entries.size(); ++i) {
                if (i + 1 < entries.size() && entries[i].key.view() == entries[i + 1].key.view())
                    continue;
                if (kept != i) entries[kept] = std::move(entries[i]);
                ++kept;
            }
            // Dropped entries stay in the tally: it may only overstate.
            entries.truncate(kept);

            // The run of index keys from "0": mark which indices below the
            // entry count are present; the first missing one ends the run.
            std::vector<bool> present(kept, false);
            std::size_t indexed = 0;
            for (const named_entry& e : entries) {
                const std::optional<std::size_t> index = index_of(e.key.view());
                if (index && *index < kept) present[*index] = true;
            }
            while (indexed < kept && present[indexed]) ++indexed;
            std::vector<bool>().swap(present);

            compact_vector<value_ref> run;
            if (indexed > 0) {
                if (!charge(heap_block(indexed * sizeof(value_ref)))) return false;
                run.reserve(indexed);
                for (std::size_t i = 0; i < indexed; ++i) run.push_back(value_ref());
                std::size_t remaining = 0;
                for (std::size_t i = 0; i < entries.size(); ++i) {
                    const std::optional<std::size_t> index = index_of(entries[i].key.view());
                    if (index && *index < indexed) {
                        run[*index] = std::move(entries[i].value);
                        continue;
                    }
                    if (remaining != i) entries[remaining] = std::move(entries[i]);
                    ++remaining;
                }
                entries.truncate(remaining);
            }
            if (entries.size() * 2 <= entries.capacity()) {
                refund(reserved);
                entries.shrink_to_fit();
                reserved = heap_block(entries.size() * sizeof(named_entry));
                held += reserved;
            }
            out.clear();
            out.indexed_ = std::move(run);
            out.named_ = std::move(entries);
            return held <= limit;
        }
    };

    static bool run(AMF_TYPE type, bool with_marker, const unsigned char*& p,
                    const unsigned char* end, std::size_t limit, std::size_t* held,
                    std::unique_ptr<amf0_data_type>& out, amf0_data_type* into) {
        if (!valid_range(p, end)) return false;
        measurer m{end, {}, true};
        // Every map with storage takes at least 8 bytes; reserving for that
        // many touches no memory the counts do not use.
        m.counts.reserve(
            std::min<std::size_t>(static_cast<std::size_t>(end - p) / 8 + 1, 1u << 20));
        const unsigned char* q = p;
        const bool valid = with_marker ? m.value(q, 1, false) : m.body(type, q, 1);
        if (!valid) return false;
        builder b{end, m.counts, 0, 0, limit};
        if (!b.charge(heap_block(m.counts.capacity() * sizeof(std::uint32_t)))) return false;
        q = p;
        if (with_marker) {
            if (!b.node(q, out, 1)) return false;
        } else if (!b.body(*into, q, 1)) {
            return false;
        }
        if (held != nullptr)
            *held = b.held - heap_block(m.counts.capacity() * sizeof(std::uint32_t));
        p = q;
        return true;
    }
};

}  // namespace detail

// ---- scalars ----

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

// ---- maps ----

amf_map::const_iterator::const_iterator(const amf_map* map, std::size_t index, std::size_t named)
    : map_(map), index_(index), named_(named) {
    settle();
}

// Works out whether the next entry in key order is the index key or the
// named one; the two never share a key.
void amf_map::const_iterator::settle() {
    at_index_ = false;
    if (index_ == kNoIndex) return;
    digit_count_ = write_index(index_, digits_, sizeof digits_);
    at_index_ = named_ >= map_->named_.size() ||
                std::string_view(digits_, digit_count_) < map_->named_[named_].key.view();
}

amf_map::const_iterator& amf_map::const_iterator::operator++() {
    if (at_index_) {
        const std::size_t next = next_in_key_order(index_, map_->indexed_.size());
        index_ = next == map_->indexed_.size() ? kNoIndex : next;
    } else {
        ++named_;
    }
    settle();
    return *this;
}

std::string_view amf_map::const_iterator::key() const {
    if (at_index_) return std::string_view(digits_, digit_count_);
    return map_->named_[named_].key.view();
}

const amf0_data_type* amf_map::const_iterator::value() const {
    if (at_index_) return map_->indexed_[index_].get();
    return map_->named_[named_].value.get();
}

amf_map::const_iterator amf_map::begin() const {
    return const_iterator(this, indexed_.empty() ? const_iterator::kNoIndex : 0, 0);
}

amf_map::const_iterator amf_map::end() const {
    return const_iterator(this, const_iterator::kNoIndex, named_.size());
}

const detail::named_entry* amf_map::lower_bound(std::string_view key) const {
    return std::lower_bound(
        named_.begin(), named_.end(), key,
        [](const detail::named_entry& e, std::string_view k) { return e.key.view() < k; });
}

detail::named_entry* amf_map::lower_bound(std::string_view key) {
    return const_cast<detail::named_entry*>(static_cast<const amf_map*>(this)->lower_bound(key));
}

amf_map::const_iterator amf_map::find(std::string_view key) const {
    const std::optional<std::size_t> index = index_of(key);
    const std::size_t named = static_cast<std::size_t>(lower_bound(key) - named_.begin());
    if (index && *index < indexed_.size()) return const_iterator(this, *index, named);
    if (named == named_.size() || named_[named].key.view() != key) return end();
    // The first index key after this named one in key order; walking is
    // fine here, as maps seldom mix the two kinds.
    std::size_t at = indexed_.empty() ? const_iterator::kNoIndex : 0;
    char digits[24];
    while (at != const_iterator::kNoIndex &&
           std::string_view(digits, write_index(at, digits, sizeof digits)) < key) {
        const std::size_t next = next_in_key_order(at, indexed_.size());
        at = next == indexed_.size() ? const_iterator::kNoIndex : next;
    }
    return const_iterator(this, at, named);
}

const amf0_data_type* amf_map::get(std::string_view key) const {
    const std::optional<std::size_t> index = index_of(key);
    if (index && *index < indexed_.size()) return indexed_[*index].get();
    const detail::named_entry* found = lower_bound(key);
    if (found == named_.end() || found->key.view() != key) return nullptr;
    return found->value.get();
}

void amf_map::set(std::string_view key, detail::value_ref value) {
    const std::optional<std::size_t> index = index_of(key);
    if (index && *index < indexed_.size()) {
        indexed_[*index] = std::move(value);
        return;
    }
    if (index && *index == indexed_.size()) {
        indexed_.push_back(std::move(value));
        absorb();
        return;
    }
    detail::named_entry* at = lower_bound(key);
    if (at != named_.end() && at->key.view() == key) {
        at->value = std::move(value);
        return;
    }
    named_.insert(at, detail::named_entry{detail::packed_key(key), std::move(value)});
}

bool amf_map::insert_new(std::string_view key, detail::value_ref value) {
    if (get(key) != nullptr) return false;
    set(key, std::move(value));
    return true;
}

void amf_map::absorb() {
    char digits[24];
    while (!named_.empty()) {
        const std::string_view key(digits, write_index(indexed_.size(), digits, sizeof digits));
        detail::named_entry* at = lower_bound(key);
        if (at == named_.end() || at->key.view() != key) return;
        detail::value_ref value = std::move(at->value);
        named_.erase(at);
        indexed_.push_back(std::move(value));
    }
}

std::unique_ptr<amf0_data_type> amf_map::take(std::string_view key) {
    const std::optional<std::size_t> index = index_of(key);
    if (index && *index < indexed_.size()) {
        std::unique_ptr<amf0_data_type> out = indexed_[*index].take();
        // The run now ends before this index; the keys after it become named.
        const std::size_t count = indexed_.size();
        if (*index + 1 < count) {
            detail::compact_vector<detail::named_entry> moved;
            moved.reserve(named_.size() + (count - *index - 1));
            std::vector<detail::named_entry> tail;
            tail.reserve(count - *index - 1);
            char digits[24];
            for (std::size_t i = *index + 1; i < count; ++i) {
                tail.push_back(
                    detail::named_entry{detail::packed_key(std::string_view(
                                            digits, write_index(i, digits, sizeof digits))),
                                        std::move(indexed_[i])});
            }
            const auto less = [](const detail::named_entry& a, const detail::named_entry& b) {
                return a.key.view() < b.key.view();
            };
            std::sort(tail.begin(), tail.end(), less);
            auto a = named_.begin();
            auto b = tail.begin();
            while (a != named_.end() || b != tail.end()) {
                if (b == tail.end() || (a != named_.end() && less(*a, *b)))
                    moved.push_back(std::move(*a++));
                else
                    moved.push_back(std::move(*b++));
            }
            named_ = std::move(moved);
        }
        indexed_.truncate(*index);
        return out;
    }
    detail::named_entry* at = lower_bound(key);
    if (at == named_.end() || at->key.view() != key) return nullptr;
    std::unique_ptr<amf0_data_type> out = at->value.take();
    named_.erase(at);
    return out;
}

bool amf_map::erase(std::string_view key) {
    return take(key) != nullptr;
}

void amf_map::clear() {
    indexed_ = detail::compact_vector<detail::value_ref>();
    named_ = detail::compact_vector<detail::named_entry>();
}

void amf_map::copy_from(const amf_map& other) {
    indexed_.reserve(other.indexed_.size());
    for (const detail::value_ref& v : other.indexed_) indexed_.push_back(v.copy());
    named_.reserve(other.named_.size());
    for (const detail::named_entry& e : other.named_)
        named_.push_back(detail::named_entry{detail::packed_key(e.key.view()), e.value.copy()});
}

void release_map(amf_map& m) {
    m.clear();
}

void clone_map(const amf_map& src, amf_map& dst) {
    src.for_each([&](std::string_view key, const amf0_data_type* value) {
        dst.set(key, detail::value_ref::adopt(value->clone()));
    });
}

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
    if (!ok || !fits(p, end, 3)) return false;
    *p++ = 0;
    *p++ = 0;
    *p++ = AMF_OBJECT_END;
    return true;
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
    std::unique_ptr<amf0_data_type> unused;
    if (!detail::codec::run(AMF_OBJECT, false, p, end, std::numeric_limits<std::size_t>::max(),
                            nullptr, unused, &decoded))
        return false;
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
    std::unique_ptr<amf0_data_type> unused;
    if (!detail::codec::run(AMF_ECMA_ARRAY, false, p, end, std::numeric_limits<std::size_t>::max(),
                            nullptr, unused, &decoded))
        return false;
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

// ---- strict array ----

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
    std::unique_ptr<amf0_data_type> unused;
    if (!detail::codec::run(AMF_STRICT_ARRAY, false, p, end,
                            std::numeric_limits<std::size_t>::max(), nullptr, unused, &decoded))
        return false;
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

// ---- pre-encoded ECMA array ----

void amf_encoded_ecma_array::push_back(const amf0_data_type* value) {
    if (value == nullptr) return;
    const std::size_t index = values_.size();
    std::string bytes(amf::get_size(value), '\0');
    unsigned char* p = reinterpret_cast<unsigned char*>(&bytes[0]);
    if (!amf::encode(p, p + bytes.size(), value)) failed_ = true;
    entries_size_ += 2 + digits_of(index) + bytes.size();
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

// ---- free functions ----

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
    std::unique_ptr<amf0_data_type> out;
    if (!detail::codec::run(AMF_NULL, true, p, end, std::numeric_limits<std::size_t>::max(),
                            nullptr, out, nullptr))
        return nullptr;
    return out.release();
}

bool skip_value(const unsigned char*& p, const unsigned char* end) {
    if (!valid_range(p, end)) return false;
    detail::codec::measurer m{end, {}, false};
    const unsigned char* q = p;
    if (!m.value(q, 1, false)) return false;
    p = q;
    return true;
}

amf0_data_type* decode_bounded(const unsigned char*& p, const unsigned char* end,
                               std::size_t max_bytes, std::size_t* held) {
    if (!valid_range(p, end)) return nullptr;
    const std::size_t input = static_cast<std::size_t>(end - p);
    std::size_t limit = kDecodeSlack;
    if (input > (std::numeric_limits<std::size_t>::max() - kDecodeSlack) / kDecodeCostPerByte)
        limit = std::numeric_limits<std::size_t>::max();
    else
        limit += kDecodeCostPerByte * input;
    std::unique_ptr<amf0_data_type> out;
    if (!detail::codec::run(AMF_NULL, true, p, end, std::min(limit, max_bytes), held, out, nullptr))
        return nullptr;
    return out.release();
}

}  // namespace amf

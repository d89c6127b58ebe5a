// Decoding: the two-pass, bounded decoder every read of AMF0 goes through,
// and skipping a value unbuilt.

#include <algorithm>
#include <limits>
#include <optional>
#include <vector>

#include "amf/amf0.h"
#include "amf/decode_body.h"
#include "amf/index_keys.h"
#include "amf/wire.h"

namespace amf {

using namespace detail;

namespace {

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

// The shared value for an empty or one-byte text whose length field takes
// `width` bytes after the marker at p: texts[256] is the empty one.
template <class Text>
const amf0_data_type* shared_text(const unsigned char* p, const unsigned char* end,
                                  std::size_t width, const Text* texts, std::size_t& length) {
    if (!fits(p, end, 1 + width)) return nullptr;
    std::size_t n = 0;
    for (std::size_t i = 1; i <= width; ++i) n = (n << 8) | p[i];
    if (n == 0) {
        length = 1 + width;
        return &texts[256];
    }
    if (n != 1 || !fits(p, end, 2 + width)) return nullptr;
    length = 2 + width;
    return &texts[p[1 + width]];
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
        case AMF_STRING:
            return shared_text(p, end, 2, s.strings, length);
        case AMF_LONG_STRING:
            return shared_text(p, end, 4, s.long_strings, length);
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

template <class T>
amf0_data_type* new_value() {
    return new T();
}

// What a value of each marker decodes into, and the size of that object.
struct value_kind {
    amf0_data_type* (*make)();
    std::size_t size;
};

template <class T>
constexpr value_kind kind() {
    return value_kind{&new_value<T>, sizeof(T)};
}

// Indexed by marker; the markers without a value of their own (movie clip,
// reference, object end, date) have none.
const value_kind kValueKinds[] = {
    kind<amf_numeric>(),       // AMF_NUMBER
    kind<amf_boolean>(),       // AMF_BOOLEAN
    kind<amf_string>(),        // AMF_STRING
    kind<amf_object>(),        // AMF_OBJECT
    value_kind{},              // movie clip
    kind<amf_null>(),          // AMF_NULL
    kind<amf_null>(),          // AMF_UNDEFINED
    value_kind{},              // reference
    kind<amf_ecma_array>(),    // AMF_ECMA_ARRAY
    value_kind{},              // AMF_OBJECT_END
    kind<amf_strict_array>(),  // AMF_STRICT_ARRAY
    value_kind{},              // date
    kind<amf_long_string>(),   // AMF_LONG_STRING
};

const value_kind* kind_of_marker(unsigned char marker) {
    if (marker >= sizeof kValueKinds / sizeof kValueKinds[0]) return nullptr;
    const value_kind& entry = kValueKinds[marker];
    return entry.make != nullptr ? &entry : nullptr;
}

}  // namespace

namespace detail {

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
                std::uint16_t length;
                if (!get_key_length(q, end, length)) return false;
                if (length == 0) break;
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

        bool node(const unsigned char*& p, std::unique_ptr<amf0_data_type>& out, int depth) {
            if (depth > kMaxDecodeDepth || !fits(p, end, 1)) return false;
            const value_kind* kind = kind_of_marker(*p);
            if (kind == nullptr) return false;
            out.reset(kind->make());
            const unsigned char* q = p + 1;
            if (!charge(heap_block(kind->size)) || !body(*out, q, depth)) return false;
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
                std::uint16_t length;
                if (!get_key_length(q, end, length)) return false;
                if (length == 0) break;
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

bool decode_body(const unsigned char*& p, const unsigned char* end, amf0_data_type& into) {
    std::unique_ptr<amf0_data_type> unused;
    return codec::run(into.get_type(), false, p, end, std::numeric_limits<std::size_t>::max(),
                      nullptr, unused, &into);
}

}  // namespace detail

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

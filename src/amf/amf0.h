// AMF0 value model and bounded binary codec.
//
// Values carry no locks: a finished value may be read from several threads at
// once, but building or modifying one is confined to a single thread.
// Containers own their children; every call that stores a value stores a deep
// copy, except those taking a std::unique_ptr or a raw pointer to adopt
// (add_property), which take ownership.
//
// Memory: a decoded value costs a small constant factor over its encoded
// bytes, whatever its shape, because a frame from the host may hold millions
// of tiny values. Containers keep their children in flat arrays of one word
// each; values that cannot differ (null, the booleans, empty and one-byte
// texts, empty containers) are shared, immutable instances rather than one
// allocation each; maps keep index keys ("0", "1", ...) implicitly and other
// keys inline in a sorted array.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace amf {

enum AMF_TYPE {
    AMF_NUMBER = 0,
    AMF_BOOLEAN = 1,
    AMF_STRING = 2,
    AMF_OBJECT = 3,
    AMF_NULL = 5,
    AMF_UNDEFINED = 6,
    AMF_ECMA_ARRAY = 8,
    AMF_OBJECT_END = 9,
    AMF_STRICT_ARRAY = 10,
    AMF_LONG_STRING = 12,
};

// The longest text a short string (and an object key) may encode. The host's
// decoder reserves the top of the 16-bit range, so the limit is 65532.
constexpr std::size_t kMaxShortStringLength = 65532;

// Containers nested deeper than this fail to decode, so a hostile message
// cannot exhaust the stack.
constexpr int kMaxDecodeDepth = 64;

class amf0_data_type {
  public:
    virtual ~amf0_data_type() = default;
    virtual AMF_TYPE get_type() const = 0;
    // Body only (no marker). Returns bytes written, 0 for invalid pointers or
    // no room, -1 when encoding failed part way.
    virtual int encode(unsigned char* p, const unsigned char* end) const = 0;
    virtual bool encode_and_step(unsigned char*& p, const unsigned char* end) const = 0;
    // Body only. Returns bytes consumed, 0 for invalid pointers, -1 on failure.
    virtual int decode(const unsigned char* p, const unsigned char* end) = 0;
    virtual bool decode_and_step(const unsigned char*& p, const unsigned char* end) = 0;
    virtual amf0_data_type* clone() const = 0;
    // Encoded body size, without the marker byte.
    virtual std::size_t get_size() const = 0;
    virtual std::string to_string() const = 0;
};

template <AMF_TYPE T, unsigned long N>
class amf0_data_type_tmpl : public amf0_data_type {
  public:
    static constexpr unsigned long fixed_size = N;
    AMF_TYPE get_type() const override { return T; }
    int encode(unsigned char* p, const unsigned char* end) const override {
        if (p == nullptr || end == nullptr || p > end) return 0;
        if (get_size() > static_cast<std::size_t>(end - p)) return 0;
        unsigned char* q = p;
        if (!encode_and_step(q, end)) return -1;
        return static_cast<int>(q - p);
    }
    int decode(const unsigned char* p, const unsigned char* end) override {
        if (p == nullptr || end == nullptr || p > end) return 0;
        const unsigned char* q = p;
        if (!decode_and_step(q, end)) return -1;
        return static_cast<int>(q - p);
    }
};

class amf_numeric : public amf0_data_type_tmpl<AMF_NUMBER, 8> {
  public:
    amf_numeric() = default;
    explicit amf_numeric(double v) : value_(v) {}
    bool encode_and_step(unsigned char*& p, const unsigned char* end) const override;
    bool decode_and_step(const unsigned char*& p, const unsigned char* end) override;
    amf0_data_type* clone() const override { return new amf_numeric(value_); }
    std::size_t get_size() const override { return 8; }
    std::string to_string() const override;
    double get_value() const { return value_; }

  private:
    double value_ = 0;
};

class amf_boolean : public amf0_data_type_tmpl<AMF_BOOLEAN, 1> {
  public:
    amf_boolean() = default;
    explicit amf_boolean(bool v) : value_(v) {}
    bool encode_and_step(unsigned char*& p, const unsigned char* end) const override;
    bool decode_and_step(const unsigned char*& p, const unsigned char* end) override;
    amf0_data_type* clone() const override { return new amf_boolean(value_); }
    std::size_t get_size() const override { return 1; }
    std::string to_string() const override { return value_ ? "true" : "false"; }
    bool get_value() const { return value_; }

  private:
    bool value_ = false;
};

class amf_string : public amf0_data_type_tmpl<AMF_STRING, 2> {
  public:
    amf_string() = default;
    amf_string(const std::string& v) : value_(v) {}        // NOLINT: implicit by design
    amf_string(std::string&& v) : value_(std::move(v)) {}  // NOLINT
    amf_string(const char* v) : value_(v ? v : "") {}      // NOLINT
    bool encode_and_step(unsigned char*& p, const unsigned char* end) const override;
    bool decode_and_step(const unsigned char*& p, const unsigned char* end) override;
    amf0_data_type* clone() const override { return new amf_string(value_); }
    std::size_t get_size() const override { return 2 + value_.size(); }
    std::string to_string() const override;
    const std::string& get_value() const { return value_; }
    bool operator<(const amf_string& o) const { return value_ < o.value_; }

  private:
    std::string value_;
};

class amf_long_string : public amf0_data_type_tmpl<AMF_LONG_STRING, 4> {
  public:
    amf_long_string() = default;
    amf_long_string(const std::string& v) : value_(v) {}        // NOLINT
    amf_long_string(std::string&& v) : value_(std::move(v)) {}  // NOLINT
    amf_long_string(const char* v) : value_(v ? v : "") {}      // NOLINT
    bool encode_and_step(unsigned char*& p, const unsigned char* end) const override;
    bool decode_and_step(const unsigned char*& p, const unsigned char* end) override;
    amf0_data_type* clone() const override { return new amf_long_string(value_); }
    std::size_t get_size() const override { return 4 + value_.size(); }
    std::string to_string() const override;
    const std::string& get_value() const { return value_; }
    bool operator<(const amf_long_string& o) const { return value_ < o.value_; }

  private:
    std::string value_;
};

class amf_null : public amf0_data_type_tmpl<AMF_NULL, 0> {
  public:
    bool encode_and_step(unsigned char*& p, const unsigned char* end) const override;
    bool decode_and_step(const unsigned char*& p, const unsigned char* end) override;
    amf0_data_type* clone() const override { return new amf_null(); }
    std::size_t get_size() const override { return 0; }
    std::string to_string() const override { return "null"; }
};

// Keys order by their bytes (std::string comparison), so maps always encode in
// ascending key order, never in insertion order.
struct amf_key_less {
    typedef void is_transparent;
    bool operator()(const amf_string& a, const amf_string& b) const { return a < b; }
    bool operator()(const amf_string& a, const std::string& b) const { return a.get_value() < b; }
    bool operator()(const std::string& a, const amf_string& b) const { return a < b.get_value(); }
};

namespace detail {

struct codec;

// One child slot: a value the container owns, or one of the shared immutable
// values decoding uses (the low bit marks those; they are never deleted).
class value_ref {
  public:
    value_ref() = default;
    static value_ref adopt(amf0_data_type* value) { return value_ref(bits_of(value)); }
    static value_ref share(const amf0_data_type* value) { return value_ref(bits_of(value) | 1u); }
    value_ref(value_ref&& other) noexcept : bits_(other.bits_) { other.bits_ = 0; }
    value_ref& operator=(value_ref&& other) noexcept {
        if (this != &other) {
            reset();
            bits_ = other.bits_;
            other.bits_ = 0;
        }
        return *this;
    }
    value_ref(const value_ref&) = delete;
    value_ref& operator=(const value_ref&) = delete;
    ~value_ref() { reset(); }

    const amf0_data_type* get() const {
        return reinterpret_cast<const amf0_data_type*>(bits_ & ~std::uintptr_t(1));
    }
    bool shared() const { return (bits_ & 1u) != 0; }
    explicit operator bool() const { return bits_ != 0; }
    // A deep copy; a shared value stays shared.
    value_ref copy() const;
    // The value for a caller to own: itself when owned, a clone when shared.
    std::unique_ptr<amf0_data_type> take();
    void reset();

  private:
    explicit value_ref(std::uintptr_t bits) : bits_(bits) {}
    static std::uintptr_t bits_of(const amf0_data_type* v) {
        return reinterpret_cast<std::uintptr_t>(v);
    }
    std::uintptr_t bits_ = 0;
};

// A key of up to 15 bytes held inline, a longer one on the heap: 16 bytes
// either way, where a std::string takes 32.
class packed_key {
  public:
    packed_key() { raw_[15] = 0; }
    explicit packed_key(std::string_view text);
    packed_key(packed_key&& other) noexcept;
    packed_key& operator=(packed_key&& other) noexcept;
    packed_key(const packed_key&) = delete;
    packed_key& operator=(const packed_key&) = delete;
    ~packed_key() { release(); }
    // Inline: every lookup in a map calls it at each step of its search.
    std::string_view view() const {
        if (raw_[15] != kHeap)
            return std::string_view(reinterpret_cast<const char*>(raw_), raw_[15]);
        const char* heap;
        std::uint32_t length;
        std::memcpy(&heap, raw_, sizeof heap);
        std::memcpy(&length, raw_ + 8, sizeof length);
        return std::string_view(heap, length);
    }

  private:
    static constexpr unsigned char kHeap = 0xFF;
    void release();
    alignas(8) unsigned char raw_[16];
};

struct named_entry {
    packed_key key;
    value_ref value;
};

// A vector of at most 2^32 - 1 elements in 16 bytes (a std::vector takes 24),
// growing by doubling and reserving exactly when asked. Elements must be
// nothrow-movable.
template <class T>
class compact_vector {
  public:
    compact_vector() = default;
    compact_vector(compact_vector&& other) noexcept
        : data_(other.data_), size_(other.size_), capacity_(other.capacity_) {
        other.data_ = nullptr;
        other.size_ = other.capacity_ = 0;
    }
    compact_vector& operator=(compact_vector&& other) noexcept {
        if (this != &other) {
            clear();
            ::operator delete(data_);
            data_ = other.data_;
            size_ = other.size_;
            capacity_ = other.capacity_;
            other.data_ = nullptr;
            other.size_ = other.capacity_ = 0;
        }
        return *this;
    }
    compact_vector(const compact_vector&) = delete;
    compact_vector& operator=(const compact_vector&) = delete;
    ~compact_vector() {
        clear();
        ::operator delete(data_);
    }

    std::size_t size() const { return size_; }
    std::size_t capacity() const { return capacity_; }
    bool empty() const { return size_ == 0; }
    T* begin() { return data_; }
    T* end() { return data_ + size_; }
    const T* begin() const { return data_; }
    const T* end() const { return data_ + size_; }
    T& operator[](std::size_t i) { return data_[i]; }
    const T& operator[](std::size_t i) const { return data_[i]; }
    T& back() { return data_[size_ - 1]; }

    // Exactly n slots (never fewer than the elements held).
    void reserve(std::size_t n);
    void shrink_to_fit() { reserve(size_); }
    void push_back(T&& value) {
        if (size_ == capacity_) grow();
        new (data_ + size_) T(std::move(value));
        ++size_;
    }
    T* insert(T* at, T&& value);
    void erase(T* at);
    void truncate(std::size_t n) {
        while (size_ > n) data_[--size_].~T();
    }
    void clear() { truncate(0); }

  private:
    void grow();
    T* data_ = nullptr;
    std::uint32_t size_ = 0;
    std::uint32_t capacity_ = 0;
};

}  // namespace detail

// What iterating a map yields: the key and the borrowed value, like the
// std::pair of a std::map.
struct amf_map_entry {
    amf_string first;
    const amf0_data_type* second;
};

// The entries of an object or ECMA array, in ascending byte order of their
// keys. Keys "0", "1", ..., "n-1" (the decimal texts of a dense run of
// indices from 0) are held implicitly, one word per entry; every other key is
// held in a sorted array. Iteration yields amf_map_entry values.
class amf_map {
  public:
    class const_iterator {
      public:
        typedef std::forward_iterator_tag iterator_category;
        typedef amf_map_entry value_type;
        typedef std::ptrdiff_t difference_type;
        typedef amf_map_entry reference;
        struct pointer {
            amf_map_entry entry;
            const amf_map_entry* operator->() const { return &entry; }
        };

        const_iterator() = default;
        reference operator*() const {
            return amf_map_entry{amf_string(std::string(key())), value()};
        }
        pointer operator->() const { return pointer{**this}; }
        const_iterator& operator++();
        const_iterator operator++(int) {
            const_iterator before = *this;
            ++*this;
            return before;
        }
        bool operator==(const const_iterator& o) const {
            return index_ == o.index_ && named_ == o.named_;
        }
        bool operator!=(const const_iterator& o) const { return !(*this == o); }

        // The key without building an amf_string; valid until the iterator moves.
        std::string_view key() const;
        const amf0_data_type* value() const;

      private:
        friend class amf_map;
        static constexpr std::size_t kNoIndex = ~std::size_t(0);
        const_iterator(const amf_map* map, std::size_t index, std::size_t named);
        void settle();

        const amf_map* map_ = nullptr;
        std::size_t index_ = kNoIndex;  // next index key in key order, or kNoIndex
        std::size_t named_ = 0;         // next named entry
        bool at_index_ = false;
        char digits_[24] = {};
        std::size_t digit_count_ = 0;
    };
    typedef const_iterator iterator;
    typedef amf_map_entry value_type;

    amf_map() = default;
    amf_map(amf_map&&) noexcept = default;
    amf_map& operator=(amf_map&&) noexcept = default;
    amf_map(const amf_map& other) { copy_from(other); }
    amf_map& operator=(const amf_map& other) {
        if (this != &other) {
            clear();
            copy_from(other);
        }
        return *this;
    }

    std::size_t size() const { return indexed_.size() + named_.size(); }
    bool empty() const { return size() == 0; }
    const_iterator begin() const;
    const_iterator end() const;
    const_iterator find(std::string_view key) const;
    const_iterator find(const amf_string& key) const { return find(key.get_value()); }
    const_iterator find(const std::string& key) const { return find(std::string_view(key)); }
    const_iterator find(const char* key) const { return find(std::string_view(key)); }
    std::size_t count(std::string_view key) const { return get(key) != nullptr ? 1 : 0; }
    std::size_t count(const amf_string& key) const { return count(key.get_value()); }
    std::size_t count(const std::string& key) const { return count(std::string_view(key)); }
    std::size_t count(const char* key) const { return count(std::string_view(key)); }

    // Borrowed; null when absent.
    const amf0_data_type* get(std::string_view key) const;
    // Stores value under key, releasing what was there.
    void set(std::string_view key, detail::value_ref value);
    // False (and value released) when the key is present already.
    bool insert_new(std::string_view key, detail::value_ref value);
    // Removes the entry and hands its value over (null when absent).
    std::unique_ptr<amf0_data_type> take(std::string_view key);
    bool erase(std::string_view key);
    void clear();
    // Room for n named entries in all, so that adding them allocates once.
    void reserve(std::size_t n) { named_.reserve(n); }
    // Calls visit(key, value) for every entry in key order.
    template <class Visit>
    void for_each(Visit visit) const {
        for (const_iterator it = begin(), stop = end(); it != stop; ++it)
            visit(it.key(), it.value());
    }

  private:
    friend struct detail::codec;
    void copy_from(const amf_map& other);
    // Moves named entries "n", "n+1", ... into the index run after it grew to n.
    void absorb();
    // Takes decoded entries (in wire order, keys possibly repeated).
    void adopt(detail::compact_vector<detail::named_entry>&& entries);
    detail::named_entry* lower_bound(std::string_view key);
    const detail::named_entry* lower_bound(std::string_view key) const;

    detail::compact_vector<detail::value_ref> indexed_;  // keys "0" .. size-1
    // Sorted by key bytes; never the decimal text of an index <= indexed_.size().
    detail::compact_vector<detail::named_entry> named_;
};

void release_map(amf_map& m);
void clone_map(const amf_map& src, amf_map& dst);

// Shared by object and ECMA array: property access on an owned map.
class amf_property_map {
  public:
    // Borrowed pointer, valid until the entry is replaced or removed; null when absent.
    const amf0_data_type* get_property(const std::string& name) const { return map_.get(name); }
    // Stores a clone of value (which must not be null), replacing any earlier one.
    void set_property(const std::string& name, const amf0_data_type* value);
    // Stores value itself (ignored when null), replacing any earlier one.
    void set_property(const std::string& name, std::unique_ptr<amf0_data_type> value);
    // A short string up to 65532 bytes, a long string beyond.
    void set_string_property(const std::string& name, const std::string& text);
    // The same, taking the text over.
    void set_string_property(const std::string& name, std::string&& text);
    void set_numeric_property(const std::string& name, double value);
    void set_bool_property(const std::string& name, bool value);
    void remove_property(const std::string& name) { map_.erase(name); }
    // Room for n properties in all.
    void reserve_properties(std::size_t n) { map_.reserve(n); }
    // Removes the entry and hands its value to the caller; null when absent.
    std::unique_ptr<amf0_data_type> take_property(const std::string& name) {
        return map_.take(name);
    }
    // Takes ownership of value. When the key is present already the value is
    // released and false returned.
    bool add_property(const amf_string& key, amf0_data_type* value);
    const amf_map& get_value() const { return map_; }

  protected:
    friend struct detail::codec;
    std::size_t entries_size() const;
    bool encode_entries(unsigned char*& p, const unsigned char* end) const;
    std::string entries_to_string() const;
    amf_map map_;
};

class amf_object : public amf0_data_type_tmpl<AMF_OBJECT, 3>, public amf_property_map {
  public:
    amf_object() = default;
    bool encode_and_step(unsigned char*& p, const unsigned char* end) const override;
    bool decode_and_step(const unsigned char*& p, const unsigned char* end) override;
    amf0_data_type* clone() const override;
    std::size_t get_size() const override { return 3 + entries_size(); }
    std::string to_string() const override { return "{" + entries_to_string() + "}"; }
};

class amf_ecma_array : public amf0_data_type_tmpl<AMF_ECMA_ARRAY, 7>, public amf_property_map {
  public:
    amf_ecma_array() = default;
    bool encode_and_step(unsigned char*& p, const unsigned char* end) const override;
    bool decode_and_step(const unsigned char*& p, const unsigned char* end) override;
    amf0_data_type* clone() const override;
    std::size_t get_size() const override { return 7 + entries_size(); }
    std::string to_string() const override { return "[" + entries_to_string() + "]"; }

    // Stores a clone under the decimal text of the current entry count.
    void push_back(const amf0_data_type* value);
    // Stores value itself (ignored when null) the same way.
    void push_back(std::unique_ptr<amf0_data_type> value);
    void remove_all() { map_.clear(); }
    std::size_t get_count() const { return map_.size(); }
    amf_map::const_iterator begin() const { return map_.begin(); }
    amf_map::const_iterator end() const { return map_.end(); }
};

// The elements of a strict array, yielded as borrowed pointers.
class amf_value_list {
  public:
    class const_iterator {
      public:
        typedef std::random_access_iterator_tag iterator_category;
        typedef const amf0_data_type* value_type;
        typedef std::ptrdiff_t difference_type;
        typedef const amf0_data_type* reference;
        typedef const amf0_data_type* const* pointer;

        explicit const_iterator(const detail::value_ref* at = nullptr) : at_(at) {}
        reference operator*() const { return at_->get(); }
        reference operator[](difference_type n) const { return at_[n].get(); }
        const_iterator& operator++() {
            ++at_;
            return *this;
        }
        const_iterator operator++(int) { return const_iterator(at_++); }
        const_iterator& operator--() {
            --at_;
            return *this;
        }
        const_iterator& operator+=(difference_type n) {
            at_ += n;
            return *this;
        }
        const_iterator operator+(difference_type n) const { return const_iterator(at_ + n); }
        difference_type operator-(const const_iterator& o) const { return at_ - o.at_; }
        bool operator==(const const_iterator& o) const { return at_ == o.at_; }
        bool operator!=(const const_iterator& o) const { return at_ != o.at_; }
        bool operator<(const const_iterator& o) const { return at_ < o.at_; }

      private:
        const detail::value_ref* at_;
    };
    typedef const_iterator iterator;

    std::size_t size() const { return values_.size(); }
    bool empty() const { return values_.empty(); }
    const amf0_data_type* operator[](std::size_t i) const { return values_[i].get(); }
    const_iterator begin() const { return const_iterator(values_.begin()); }
    const_iterator end() const { return const_iterator(values_.end()); }

  private:
    friend class amf_strict_array;
    friend struct detail::codec;
    detail::compact_vector<detail::value_ref> values_;
};

class amf_strict_array : public amf0_data_type_tmpl<AMF_STRICT_ARRAY, 4> {
  public:
    amf_strict_array() = default;
    amf_strict_array(const amf_strict_array& other);
    amf_strict_array& operator=(const amf_strict_array&) = delete;
    bool encode_and_step(unsigned char*& p, const unsigned char* end) const override;
    bool decode_and_step(const unsigned char*& p, const unsigned char* end) override;
    amf0_data_type* clone() const override;
    std::size_t get_size() const override;
    std::string to_string() const override;

    // Stores a clone of value (which must not be null).
    void push_back(const amf0_data_type* value);
    const amf_value_list& get_value() const { return values_; }
    std::size_t get_count() const { return values_.size(); }

  private:
    friend struct detail::codec;
    amf_value_list values_;
};

// An ECMA array that encodes each value as it is added and keeps only the
// bytes: a long batch of records then costs one buffer per value instead of a
// tree of objects, and the values' own storage can go at once. It encodes to
// exactly the bytes an amf_ecma_array holding the same values would (index
// keys in ascending byte order). Encode-only: decoding it fails.
class amf_encoded_ecma_array : public amf0_data_type_tmpl<AMF_ECMA_ARRAY, 7> {
  public:
    bool encode_and_step(unsigned char*& p, const unsigned char* end) const override;
    bool decode_and_step(const unsigned char*& p, const unsigned char* end) override;
    amf0_data_type* clone() const override { return new amf_encoded_ecma_array(*this); }
    std::size_t get_size() const override;
    std::string to_string() const override;

    // Encodes value (ignored when null) under the next index. A value that
    // cannot be encoded makes the whole array fail to encode, as it would in
    // an amf_ecma_array.
    void push_back(const amf0_data_type* value);
    // The same for a value whose get_size() the caller has just taken.
    void push_back(const amf0_data_type* value, std::size_t size);
    // Appends a value already encoded by encode() (marker included) under the
    // next index, so that the encoding can happen on another thread.
    void push_encoded(std::string_view bytes);
    void remove_all();
    std::size_t get_count() const { return ends_.size(); }

  private:
    // Calls visit(index) for 0 .. count-1 in ascending order of their decimal texts.
    template <class Visit>
    void for_each_in_key_order(Visit visit) const;
    // The bytes of the value at index, marker included.
    std::string_view value_at(std::size_t index) const;

    // The values' bytes one after another (one buffer, not one per value),
    // and where each ends.
    std::string bytes_;
    std::vector<std::size_t> ends_;
    std::size_t entries_size_ = 0;  // keys and values, as entries_size() counts them
    bool failed_ = false;
};

// Encoded size with the marker; 0 for null. The exact buffer size encode needs.
std::size_t get_size(const amf0_data_type* v);
// Writes nothing when the buffer is too short.
bool encode(unsigned char* p, const unsigned char* end, const amf0_data_type* v);
// Advances p past the value; on failure p stays put, though bytes after it
// may have been written.
bool encode_and_step(unsigned char*& p, const unsigned char* end, const amf0_data_type* v);
// One complete value (marker and body), owned by the caller; null on failure.
// Trailing bytes are ignored.
amf0_data_type* decode(const unsigned char* p, const unsigned char* end);
amf0_data_type* decode_and_step(const unsigned char*& p, const unsigned char* end);

// Steps p past one complete value that decode would accept, without building
// it; false (p unchanged) when decode would fail on the bytes.
bool skip_value(const unsigned char*& p, const unsigned char* end);

// The most memory decoding may hold per encoded byte, transient work
// included; decode_bounded never lets a value take more than this factor
// times its input (plus kDecodeSlack), so a caller can reserve for a frame
// before reading it.
constexpr std::size_t kDecodeCostPerByte = 16;
constexpr std::size_t kDecodeSlack = 64 * 1024;

// Like decode_and_step, but fails once the memory the decoding holds (as the
// allocator counts it, transient work included) would pass
// min(max_bytes, kDecodeCostPerByte * (end - p) + kDecodeSlack). On success
// *held receives the memory the decoded value keeps.
amf0_data_type* decode_bounded(const unsigned char*& p, const unsigned char* end,
                               std::size_t max_bytes, std::size_t* held = nullptr);

}  // namespace amf

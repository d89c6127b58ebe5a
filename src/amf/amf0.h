// AMF0 value model and bounded binary codec.
//
// Values carry no locks: a finished value may be read from several threads at
// once, but building or modifying one is confined to a single thread.
// Containers own their children; every call that stores a value stores a deep
// copy, except those taking a std::unique_ptr or a raw pointer to adopt
// (add_property), which take ownership.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <string>
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
    amf_string(const std::string& v) : value_(v) {}    // NOLINT: implicit by design
    amf_string(const char* v) : value_(v ? v : "") {}  // NOLINT
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
    amf_long_string(const std::string& v) : value_(v) {}    // NOLINT
    amf_long_string(const char* v) : value_(v ? v : "") {}  // NOLINT
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
// Looks keys up by plain text without building an amf_string.
struct amf_key_less {
    typedef void is_transparent;
    bool operator()(const amf_string& a, const amf_string& b) const { return a < b; }
    bool operator()(const amf_string& a, const std::string& b) const { return a.get_value() < b; }
    bool operator()(const std::string& a, const amf_string& b) const { return a < b.get_value(); }
};
typedef std::map<amf_string, amf0_data_type*, amf_key_less> amf_map;

void release_map(amf_map& m);
void clone_map(const amf_map& src, amf_map& dst);

// Shared by object and ECMA array: property access on an owned map.
class amf_property_map {
  public:
    amf_property_map() = default;
    // Copies are deep; moves take the entries.
    amf_property_map(const amf_property_map& other) { clone_map(other.map_, map_); }
    amf_property_map(amf_property_map&& other) noexcept { map_.swap(other.map_); }
    amf_property_map& operator=(const amf_property_map& other) {
        if (this != &other) {
            release_map(map_);
            clone_map(other.map_, map_);
        }
        return *this;
    }
    amf_property_map& operator=(amf_property_map&& other) noexcept {
        map_.swap(other.map_);
        return *this;
    }
    ~amf_property_map() { release_map(map_); }

    // Borrowed pointer, valid until the entry is replaced or removed; null when absent.
    const amf0_data_type* get_property(const std::string& name) const;
    // Stores a clone of value (which must not be null), replacing any earlier one.
    void set_property(const std::string& name, const amf0_data_type* value);
    // Stores value itself (ignored when null), replacing any earlier one.
    void set_property(const std::string& name, std::unique_ptr<amf0_data_type> value);
    // A short string up to 65532 bytes, a long string beyond.
    void set_string_property(const std::string& name, const std::string& text);
    void set_numeric_property(const std::string& name, double value);
    void set_bool_property(const std::string& name, bool value);
    void remove_property(const std::string& name);
    // Takes ownership of value. When the key is present already the value is
    // released and false returned.
    bool add_property(const amf_string& key, amf0_data_type* value);
    const amf_map& get_value() const { return map_; }

  protected:
    void store(const std::string& name, std::unique_ptr<amf0_data_type> value);
    std::size_t entries_size() const;
    bool encode_entries(unsigned char*& p, const unsigned char* end) const;
    bool decode_entries(const unsigned char*& p, const unsigned char* end);
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
    void remove_all() { release_map(map_); }
    std::size_t get_count() const { return map_.size(); }
    amf_map::const_iterator begin() const { return map_.begin(); }
    amf_map::const_iterator end() const { return map_.end(); }
};

class amf_strict_array : public amf0_data_type_tmpl<AMF_STRICT_ARRAY, 4> {
  public:
    amf_strict_array() = default;
    amf_strict_array(const amf_strict_array& other);
    amf_strict_array& operator=(const amf_strict_array&) = delete;
    ~amf_strict_array() override;
    bool encode_and_step(unsigned char*& p, const unsigned char* end) const override;
    bool decode_and_step(const unsigned char*& p, const unsigned char* end) override;
    amf0_data_type* clone() const override;
    std::size_t get_size() const override;
    std::string to_string() const override;

    void push_back(const amf0_data_type* value) { values_.push_back(value->clone()); }
    const std::vector<amf0_data_type*>& get_value() const { return values_; }
    std::size_t get_count() const { return values_.size(); }

  private:
    std::vector<amf0_data_type*> values_;
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
    void remove_all();
    std::size_t get_count() const { return values_.size(); }

  private:
    // Calls visit(index) for 0 .. count-1 in ascending order of their decimal texts.
    template <class Visit>
    void for_each_in_key_order(Visit visit) const;

    std::vector<std::string> values_;  // each value's bytes, marker included
    std::size_t entries_size_ = 0;     // keys and values, as entries_size() counts them
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

}  // namespace amf

// Writing an AMF0 object's bytes straight into a string, without building
// the object first.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "amf/amf0.h"

namespace amf {

// Writes one object entry by entry, byte for byte as encode() writes an
// amf_object holding the same entries, provided the caller gives the keys in
// ascending byte order, each once (an amf_object's own order), and texts and
// keys of at most kMaxShortStringLength bytes (what set_string_property
// keeps as a short string). The string is sized up front to the sum of the
// entries' sizes and kFrameBytes; the writer checks none of this itself.
class object_writer {
  public:
    static std::size_t text_entry_size(std::string_view key, std::string_view text) {
        return 2 + key.size() + 3 + text.size();
    }
    static std::size_t number_entry_size(std::string_view key) { return 2 + key.size() + 9; }
    // The marker and the end of the entries.
    static constexpr std::size_t kFrameBytes = 4;

    object_writer(std::string& out, std::size_t size) : out_(out) {
        out_.resize(size);
        p_ = out_.data();
        *p_++ = static_cast<char>(AMF_OBJECT);
    }
    // Returns where the text starts in the string.
    std::size_t text(std::string_view key, std::string_view text) {
        put_text(key);
        *p_++ = static_cast<char>(AMF_STRING);
        put_text(text);
        return static_cast<std::size_t>(p_ - out_.data()) - text.size();
    }
    void number(std::string_view key, double value) {
        put_text(key);
        *p_++ = static_cast<char>(AMF_NUMBER);
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        for (int shift = 56; shift >= 0; shift -= 8) *p_++ = static_cast<char>(bits >> shift);
    }
    // True when the entries filled the string exactly.
    bool end() {
        *p_++ = 0;
        *p_++ = 0;
        *p_++ = static_cast<char>(AMF_OBJECT_END);
        return p_ == out_.data() + out_.size();
    }

  private:
    void put_text(std::string_view text) {
        *p_++ = static_cast<char>(text.size() >> 8);
        *p_++ = static_cast<char>(text.size());
        if (!text.empty()) std::memcpy(p_, text.data(), text.size());
        p_ += text.size();
    }

    std::string& out_;
    char* p_;
};

}  // namespace amf

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
// keeps as a short string). Checks none of that itself: see entry_size.
class object_writer {
  public:
    // The bytes of a text entry and of a number entry.
    static std::size_t text_entry_size(std::string_view key, std::string_view text) {
        return 2 + key.size() + 3 + text.size();
    }
    static std::size_t number_entry_size(std::string_view key) { return 2 + key.size() + 9; }
    // The marker and the end of the entries.
    static constexpr std::size_t kFrameBytes = 4;

    explicit object_writer(std::string& out) : out_(out) {
        out_.push_back(static_cast<char>(AMF_OBJECT));
    }
    // Returns where the text starts in the string.
    std::size_t text(std::string_view key, std::string_view text) {
        put_text(key);
        out_.push_back(static_cast<char>(AMF_STRING));
        put_text(text);
        return out_.size() - text.size();
    }
    void number(std::string_view key, double value) {
        put_text(key);
        out_.push_back(static_cast<char>(AMF_NUMBER));
        std::uint64_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        for (int shift = 56; shift >= 0; shift -= 8)
            out_.push_back(static_cast<char>(bits >> shift));
    }
    void end() { out_.append({'\0', '\0', static_cast<char>(AMF_OBJECT_END)}); }

  private:
    void put_text(std::string_view text) {
        out_.push_back(static_cast<char>(text.size() >> 8));
        out_.push_back(static_cast<char>(text.size()));
        out_.append(text);
    }

    std::string& out_;
};

}  // namespace amf

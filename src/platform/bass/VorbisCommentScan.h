#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/bass/MetadataCost.h"

namespace Ostra::bass {

// Follows a Vorbis comment block (vendor string, field count, then fields of
// KEY=value) the way FFmpeg's ff_vorbis_comment reads it, from bytes handed
// over in pieces as a walk finds them, and charges each field it would store
// to a dictionary. FLAC keeps the block in one metadata block, Ogg streams in
// a packet that may span many pages. Used by the one thread checking a file.
class VorbisCommentScan {
  public:
    VorbisCommentScan(MetadataCost& cost, MetadataCost::Dictionary& dictionary)
        : cost_(cost), dictionary_(dictionary) {}

    void feed(const uint8_t* data, size_t length);
    // The block ends here. A field cut short is not charged: FFmpeg stops
    // before it.
    void finish();

  private:
    enum class State { VendorLength, Vendor, Count, FieldLength, Key, Value, Done };

    // Collects a little-endian 32-bit number; true once all four bytes are in.
    bool number(const uint8_t*& data, size_t& length);
    void field(uint64_t keyLength, bool separated);

    MetadataCost& cost_;
    MetadataCost::Dictionary& dictionary_;
    State state_ = State::VendorLength;
    uint32_t number_ = 0;
    unsigned numberBytes_ = 0;
    uint64_t left_ = 0;  // bytes of the vendor string or the field still to come
    uint32_t fields_ = 0;
    uint32_t fieldLength_ = 0;
    uint64_t keyLength_ = 0;
    std::string key_;
    bool headerRead_ = false;
    bool finished_ = false;
};

}  // namespace Ostra::bass

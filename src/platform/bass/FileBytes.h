#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace Ostra::bass {

// The unsigned number in the `count` (at most 4) bytes at b, most significant
// first, as the ID3v2, FLAC, AIFF and MP4 headers store their fields.
inline uint32_t bigEndian(const uint8_t* b, unsigned count) {
    uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i) value = (value << 8) | b[i];
    return value;
}

// The same, least significant first, as WAV and the APE tag store them.
inline uint32_t littleEndian(const uint8_t* b, unsigned count) {
    uint32_t value = 0;
    for (unsigned i = count; i > 0; --i) value = (value << 8) | b[i - 1];
    return value;
}

inline uint64_t littleEndian64(const uint8_t* b) {
    return (uint64_t(littleEndian(b + 4, 4)) << 32) | littleEndian(b, 4);
}

// Reads one open file at chosen offsets with pread(), so the descriptor's own
// position, which FFmpeg's reads move, is left alone. Small reads are served
// from a block read ahead, as walks read one header after another. Used by
// the one thread checking the file.
class FileBytes {
  public:
    FileBytes(int fd, uint64_t size) : fd_(fd), size_(size) {}

    uint64_t size() const { return size_; }
    // Up to `count` bytes at `offset`: fewer at the end of the file or after
    // a read error.
    std::string read(uint64_t offset, size_t count) const;
    // Exactly `count` bytes at `offset`, or false.
    bool readExact(uint64_t offset, size_t count, uint8_t* out) const;

  private:
    std::string readDirect(uint64_t offset, size_t count) const;

    int fd_;
    uint64_t size_;
    mutable std::string block_;
    mutable uint64_t blockStart_ = 0;
};

// A forward walk over part of a file through a window of bounded size, for
// checks that must look at every byte of a region. Used by one thread.
class ByteCursor {
  public:
    ByteCursor(const FileBytes& file, uint64_t start, uint64_t end);

    uint64_t position() const { return position_; }
    bool atEnd() const { return position_ >= end_; }
    // The bytes from the position on that the window holds (at least one
    // unless at the end or after a read error), without moving.
    size_t peek(const uint8_t*& data);
    void skip(uint64_t count);

  private:
    const FileBytes& file_;
    uint64_t position_;
    uint64_t end_;
    std::vector<uint8_t> window_;
    uint64_t windowStart_ = 0;
    size_t windowLength_ = 0;
};

}  // namespace Ostra::bass

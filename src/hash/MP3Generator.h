#pragma once

#include <cstdint>

#include "hash/Generator.h"

namespace Ostra {
namespace FileHash {

// MP3 payload: from the end of a leading ID3v2 tag to the end of the file,
// less the 128-byte "TAG" blocks found at the end of the final chunk.
//
// Quirks the host's stored hashes rely on, kept on purpose: the 10-byte
// ID3v2.4 footer counts as payload; only the final chunk is searched for
// trailing "TAG" blocks, and never down to its last 128 bytes; the final
// chunk is at least 512 bytes whenever the payload has that many.
class MP3Generator : public Generator {
  public:
    MP3Generator() = default;
    ~MP3Generator() override;

    bool openFile(const std::string& path) override;
    bool readAudioData(unsigned long maxBytes, std::vector<unsigned char>& buffer) override;
    bool endOfData() override;
    bool closeFile() override;

  private:
    static constexpr std::uint64_t kClosed = ~std::uint64_t(0);

    FileHandle file_;
    // File offsets are 64-bit: files past 4 GiB hash whole.
    std::uint64_t audioStart_ = kClosed;
    std::uint64_t dataEnd_ = kClosed;
    std::uint64_t position_ = 0;
};

}  // namespace FileHash
}  // namespace Ostra

#pragma once

#include <cstdint>

#include "hash/Generator.h"

namespace Ostra {
namespace FileHash {

// M4A payload: the bodies of every top-level "mdat" box, in file order,
// without their headers. The box walk follows the MP4 family's size rules
// (a 64-bit size after the type when the size field is 1; to the end of the
// file when it is 0) and never descends into container boxes.
class M4AGenerator : public Generator {
  public:
    M4AGenerator() = default;
    ~M4AGenerator() override;

    bool openFile(const std::string& path) override;
    bool readAudioData(unsigned long maxBytes, std::vector<unsigned char>& buffer) override;
    bool endOfData() override;
    bool closeFile() override;

    // Walks top-level boxes from the current file position to the next
    // "mdat" and leaves the file at its first body byte. False once no
    // further "mdat" can be found; the walk then stays ended until the next
    // openFile, so it never resumes from the middle of a box.
    bool goToNextMDAT();

  private:
    FileHandle file_;
    std::uint64_t fileSize_ = 0;
    // Body bytes of the current "mdat" not read yet.
    std::uint64_t remaining_ = 0;
    bool walkEnded_ = false;
};

}  // namespace FileHash
}  // namespace Ostra

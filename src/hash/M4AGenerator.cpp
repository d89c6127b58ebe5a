#include "hash/M4AGenerator.h"

#include <sys/types.h>

#include <algorithm>
#include <cstring>

namespace Ostra {
namespace FileHash {

namespace {

constexpr std::uint64_t kBoxHeaderSize = 8;
constexpr std::uint64_t kLargeBoxHeaderSize = 16;

std::uint64_t readBigEndian(const unsigned char* bytes, int count) {
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i) value = (value << 8) | bytes[i];
    return value;
}

}  // namespace

M4AGenerator::~M4AGenerator() {
    closeFile();
}

bool M4AGenerator::goToNextMDAT() {
    if (!file_ || walkEnded_) return false;
    std::FILE* file = file_.get();
    // Every pass consumes a header and moves strictly forward, and every
    // target is checked against the file size, so the walk always ends.
    while (!std::feof(file) && !std::ferror(file)) {
        off_t offset = ftello(file);
        if (offset < 0) break;
        const std::uint64_t boxStart = static_cast<std::uint64_t>(offset);

        unsigned char header[kBoxHeaderSize];
        if (std::fread(header, 1, sizeof header, file) != sizeof header) break;
        const bool isMdat = std::memcmp(header + 4, "mdat", 4) == 0;
        const std::uint64_t sizeField = readBigEndian(header, 4);

        std::uint64_t headerSize = kBoxHeaderSize;
        std::uint64_t boxSize = 0;
        if (sizeField == 1) {
            unsigned char large[8];
            if (std::fread(large, 1, sizeof large, file) != sizeof large) break;
            headerSize = kLargeBoxHeaderSize;
            boxSize = readBigEndian(large, 8);
            if (boxSize < headerSize) break;
        } else if (sizeField == 0) {
            // The box runs to the end of the file: only an "mdat" has
            // anything left to give.
            if (!isMdat) break;
            boxSize = fileSize_ - boxStart;
        } else if (sizeField < kBoxHeaderSize) {
            break;
        } else {
            boxSize = sizeField;
        }

        const std::uint64_t bodySize = boxSize - headerSize;
        if (isMdat) {
            // A body that claims more bytes than the file holds is kept as
            // claimed: the short read then fails the hash.
            remaining_ = bodySize;
            return true;
        }
        const std::uint64_t bodyStart = boxStart + headerSize;
        if (bodyStart > fileSize_ || bodySize >= fileSize_ - bodyStart) break;
        if (fseeko(file, static_cast<off_t>(bodyStart + bodySize), SEEK_SET) != 0) break;
    }
    walkEnded_ = true;
    return false;
}

bool M4AGenerator::openFile(const std::string& path) {
    if (file_) closeFile();
    remaining_ = 0;
    walkEnded_ = false;
    file_ = openRegularFile(path, fileSize_);
    return file_ && goToNextMDAT();
}

bool M4AGenerator::readAudioData(unsigned long maxBytes, std::vector<unsigned char>& buffer) {
    if (!file_) return false;
    const std::uint64_t length = std::min<std::uint64_t>(remaining_, maxBytes);
    buffer.resize(static_cast<std::size_t>(length));
    const std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file_.get());
    remaining_ -= got;
    if (got < buffer.size()) return false;
    if (remaining_ == 0) goToNextMDAT();
    return true;
}

bool M4AGenerator::endOfData() {
    if (remaining_ != 0) return false;
    return !goToNextMDAT();
}

bool M4AGenerator::closeFile() {
    if (!file_) return true;
    return closeHandle(file_);
}

}  // namespace FileHash
}  // namespace Ostra

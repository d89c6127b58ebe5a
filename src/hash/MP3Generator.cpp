#include "hash/MP3Generator.h"

#include <sys/types.h>

#include <cstring>

namespace Ostra {
namespace FileHash {

namespace {

constexpr std::size_t kId3v2HeaderSize = 10;
constexpr std::size_t kId3v1BlockSize = 128;
// Bytes held back for the final chunk, so trailing "TAG" blocks are not
// split across two chunks.
constexpr std::uint64_t kTailReserve = 512;

}  // namespace

MP3Generator::~MP3Generator() {
    closeFile();
}

bool MP3Generator::openFile(const std::string& path) {
    if (file_) closeFile();
    std::uint64_t size = 0;
    file_ = openRegularFile(path, size);
    if (!file_) return false;

    audioStart_ = 0;
    unsigned char header[kId3v2HeaderSize];
    if (std::fread(header, 1, sizeof header, file_.get()) == sizeof header &&
        std::memcmp(header, "ID3", 3) == 0) {
        // Synchsafe size, 7 bits per byte. The high bits are not checked: a
        // malformed size still gives a bounded offset (below 2^30), and an
        // offset past the end of the file leaves an empty payload.
        std::uint64_t tagSize = header[6];
        tagSize = tagSize * 128 + header[7];
        tagSize = tagSize * 128 + header[8];
        tagSize = tagSize * 128 + header[9];
        audioStart_ = kId3v2HeaderSize + tagSize;
    }
    dataEnd_ = size;

    if (fseeko(file_.get(), static_cast<off_t>(audioStart_), SEEK_SET) != 0) {
        closeFile();
        return false;
    }
    position_ = audioStart_;
    return true;
}

bool MP3Generator::readAudioData(unsigned long maxBytes, std::vector<unsigned char>& buffer) {
    if (!file_) return false;

    const std::uint64_t wanted = maxBytes;
    const std::uint64_t left = position_ < dataEnd_ ? dataEnd_ - position_ : 0;
    bool finalChunk = false;
    std::uint64_t length = wanted;
    if (wanted > left) {
        finalChunk = true;
        length = left;
    } else if (wanted + kTailReserve > left && left > kTailReserve) {
        length = left - kTailReserve;
    }

    buffer.resize(static_cast<std::size_t>(length));
    std::size_t got = std::fread(buffer.data(), 1, buffer.size(), file_.get());
    if (got < buffer.size()) {
        if (std::ferror(file_.get())) return false;
        buffer.resize(got);
    }

    if (finalChunk) {
        while (buffer.size() > kId3v1BlockSize &&
               std::memcmp(buffer.data() + buffer.size() - kId3v1BlockSize, "TAG", 3) == 0) {
            buffer.resize(buffer.size() - kId3v1BlockSize);
            dataEnd_ -= kId3v1BlockSize;
        }
    }
    position_ += buffer.size();
    return true;
}

bool MP3Generator::endOfData() {
    return !file_ || std::feof(file_.get()) || position_ >= dataEnd_;
}

bool MP3Generator::closeFile() {
    if (!file_) return true;
    bool closed = closeHandle(file_);
    audioStart_ = kClosed;
    dataEnd_ = kClosed;
    return closed;
}

}  // namespace FileHash
}  // namespace Ostra

#include "platform/bass/FileBytes.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace Ostra::bass {

namespace {

// Large enough that a walk over a whole file costs few system calls.
constexpr size_t kWindowSize = 256 * 1024;
// Reads up to this size come from a block of kBlockSize read ahead: headers
// follow one another closely, and a walk that looks ahead and back (as
// FFmpeg's ID3v2 frame size guess does) rereads little.
constexpr size_t kCachedRead = 4096;
constexpr size_t kBlockSize = 16 * 1024;

}  // namespace

std::string FileBytes::read(uint64_t offset, size_t count) const {
    if (offset >= size_) return std::string();
    count = static_cast<size_t>(std::min<uint64_t>(count, size_ - offset));
    if (count <= kCachedRead) {
        if (offset < blockStart_ || offset + count > blockStart_ + block_.size()) {
            block_ = readDirect(offset, kBlockSize);
            blockStart_ = offset;
        }
        if (offset + count <= blockStart_ + block_.size())
            return block_.substr(static_cast<size_t>(offset - blockStart_), count);
    }
    return readDirect(offset, count);
}

std::string FileBytes::readDirect(uint64_t offset, size_t count) const {
    if (offset >= size_) return std::string();
    count = static_cast<size_t>(std::min<uint64_t>(count, size_ - offset));
    std::string out(count, '\0');
    size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd_, &out[done], count - done, static_cast<off_t>(offset + done));
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    out.resize(done);
    return out;
}

bool FileBytes::readExact(uint64_t offset, size_t count, uint8_t* out) const {
    const std::string bytes = read(offset, count);
    if (bytes.size() != count) return false;
    std::copy(bytes.begin(), bytes.end(), out);
    return true;
}

ByteCursor::ByteCursor(const FileBytes& file, uint64_t start, uint64_t end)
    : file_(file), position_(start), end_(std::min(end, file.size())) {}

size_t ByteCursor::peek(const uint8_t*& data) {
    if (atEnd()) return 0;
    if (position_ < windowStart_ || position_ >= windowStart_ + windowLength_) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kWindowSize, end_ - position_));
        const std::string bytes = file_.read(position_, want);
        window_.assign(bytes.begin(), bytes.end());
        windowStart_ = position_;
        windowLength_ = window_.size();
        if (windowLength_ == 0) {
            // A read error ends the walk where it stands.
            end_ = position_;
            return 0;
        }
    }
    const size_t offset = static_cast<size_t>(position_ - windowStart_);
    data = window_.data() + offset;
    return static_cast<size_t>(std::min<uint64_t>(windowLength_ - offset, end_ - position_));
}

void ByteCursor::skip(uint64_t count) {
    position_ = count > end_ - std::min(end_, position_) ? end_ : position_ + count;
}

}  // namespace Ostra::bass

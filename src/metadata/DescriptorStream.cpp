#include "metadata/DescriptorStream.h"

#include <taglib/id3v2header.h>
#include <unistd.h>

#include <algorithm>
#include <boost/thread/thread.hpp>
#include <cerrno>
#include <climits>
#include <utility>

#include "metadata/TagLimits.h"

namespace Ostra {

namespace {

// The type of a FLAC metadata block holding Vorbis comments.
constexpr unsigned kFlacCommentBlock = 4;
// An APE tag's footer.
constexpr unsigned kApeFooterSize = 32;

}  // namespace

DescriptorStream::DescriptorStream(int fd, std::string name, std::uint64_t size)
    : fd_(fd), name_(std::move(name)), size_(std::min<std::uint64_t>(size, LONG_MAX)) {}

TagLib::FileName DescriptorStream::name() const {
    return name_.c_str();
}

TagLib::ByteVector DescriptorStream::readAt(std::uint64_t offset, std::uint64_t length) {
    if (fd_ < 0 || offset >= size_) return TagLib::ByteVector();
    // A stop request ends the file here: TagLib walks a file in 1 KiB reads
    // looking for frames (a 5 GB file of zeros named .mp3 took minutes), and
    // nothing between its reads could stop it. The reader's caller then
    // meets the interruption.
    if (boost::this_thread::interruption_requested()) {
        interrupted_ = true;
        return TagLib::ByteVector();
    }
    // Never more than the file holds: TagLib asks for the sizes the file
    // declares, which may be anything.
    length = std::min<std::uint64_t>({length, size_ - offset, UINT_MAX});
    const bool small = length <= kSmallRead;
    if (length > kMaxBytesRead - bytesRead_ ||
        (small && length > kMaxSmallBytesRead - smallBytesRead_)) {
        refused_ = true;
        return TagLib::ByteVector();
    }
    TagLib::ByteVector block(static_cast<unsigned>(length), '\0');
    std::uint64_t got = 0;
    while (got < length) {
        const ssize_t n = ::pread(fd_, block.data() + got, static_cast<std::size_t>(length - got),
                                  static_cast<off_t>(offset + got));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<std::uint64_t>(n);
    }
    block.resize(static_cast<unsigned>(got));
    bytesRead_ += got;
    if (small) smallBytesRead_ += got;
    return block;
}

TagLib::ByteVector DescriptorStream::readBlock(unsigned long length) {
    const std::uint64_t offset = position_;
    const bool bodyOfPendingHeader =
        headerPending_ && offset == headerEnd_ && length == Id3v2BodySize(header_) && length != 0;
    headerPending_ = false;
    const bool commentOfPendingBlock =
        commentPending_ && offset == commentEnd_ && length == commentLength_ && length != 0;
    commentPending_ = false;

    TagLib::ByteVector block = readAt(offset, length);
    position_ = offset + block.size();

    const bool apeBody = apePending_ && offset == apeBodyOffset_ && length == apeBodyLength_;
    if (apeBody) apePending_ = false;
    if (apeBody && !ApeItemsWithinLimits(block, apeItems_)) {
        refused_ = true;
        return TagLib::ByteVector();
    }
    if (block.size() == kApeFooterSize && block.startsWith("APETAGEX")) {
        // TagLib seeks back from the footer to the items and reads them
        // whole: tagSize counts the footer but not a header.
        const std::uint64_t tagSize = block.toUInt(12, false);
        const std::uint64_t footerEnd = offset + kApeFooterSize;
        apePending_ = tagSize > kApeFooterSize && tagSize <= footerEnd;
        apeBodyOffset_ = footerEnd - tagSize;
        apeBodyLength_ = tagSize - kApeFooterSize;
        apeItems_ = block.toUInt(16, false);
    }
    if (commentOfPendingBlock && !XiphCommentWithinLimits(block)) {
        refused_ = true;
        // Short of the declared length: TagLib takes the file for broken.
        return TagLib::ByteVector();
    }
    if (block.size() == 4 && (static_cast<unsigned char>(block[0]) & 0x7f) == kFlacCommentBlock) {
        commentPending_ = true;
        commentEnd_ = position_;
        commentLength_ = block.toUInt(1, 3, true);
    }

    if (bodyOfPendingHeader && !Id3v2TagWithinLimits(header_, block)) {
        refused_ = true;
        // Padding only: TagLib reads it as a tag without frames.
        return TagLib::ByteVector(1, '\0');
    }
    if (block.size() == TagLib::ID3v2::Header::size() && Id3v2BodySize(block) != 0) {
        headerPending_ = true;
        headerEnd_ = position_;
        header_ = block;
    }
    return block;
}

void DescriptorStream::writeBlock(const TagLib::ByteVector&) {}

void DescriptorStream::insert(const TagLib::ByteVector&, unsigned long, unsigned long) {}

void DescriptorStream::removeBlock(unsigned long, unsigned long) {}

void DescriptorStream::seek(long offset, Position p) {
    headerPending_ = false;
    commentPending_ = false;
    long base = 0;
    if (p == Current) base = static_cast<long>(position_);
    if (p == End) base = static_cast<long>(size_);
    // Like fseek, a target before the start fails and leaves the position.
    if (offset < 0 ? base < LONG_MIN - offset || base + offset < 0 : base > LONG_MAX - offset) {
        return;
    }
    position_ = static_cast<std::uint64_t>(base + offset);
}

long DescriptorStream::tell() const {
    return static_cast<long>(std::min<std::uint64_t>(position_, LONG_MAX));
}

long DescriptorStream::length() {
    return static_cast<long>(size_);
}

void DescriptorStream::truncate(long) {}

}  // namespace Ostra

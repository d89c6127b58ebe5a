#include "platform/bass/FileInput.h"

#include <sys/stat.h>
#include <unistd.h>

#include <boost/thread/thread.hpp>
#include <cerrno>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace Ostra::bass {

namespace {

// FFmpeg's own file protocol reads in blocks of this size.
constexpr int kBufferSize = 64 * 1024;

}  // namespace

std::unique_ptr<FileInput> FileInput::open(const std::string& path) {
    // Regular files only: a FIFO would block the first read, and a device
    // such as /dev/urandom would decode without end.
    Ostra::util::RegularFile file = Ostra::util::RegularFile::open(path);
    if (!file.isOpen()) return nullptr;
    std::unique_ptr<FileInput> input(new FileInput(std::move(file)));
    auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferSize));
    if (buffer == nullptr) return nullptr;
    input->io_.reset(avio_alloc_context(buffer, kBufferSize, 0, input.get(), &FileInput::read,
                                        nullptr, &FileInput::seek));
    if (input->io_ == nullptr) {
        av_free(buffer);
        return nullptr;
    }
    return input;
}

FileInput::~FileInput() {
    io_.reset();
}

int FileInput::read(void* opaque, uint8_t* buffer, int size) {
    // A stop request ends the input here: FFmpeg may read a large file
    // without finding a frame to decode (5 GB of zeros named .mp3 kept a
    // probe busy for minutes), and nothing between its reads could stop it.
    if (boost::this_thread::interruption_requested()) return AVERROR_EXIT;
    auto* input = static_cast<FileInput*>(opaque);
    if (input->bounded_ && input->unproductive_ >= kMaxReadWithoutProgress) {
        return AVERROR_INVALIDDATA;
    }
    for (;;) {
        const ssize_t n = ::read(input->descriptor(), buffer, static_cast<size_t>(size));
        if (n > 0) {
            input->unproductive_ += static_cast<uint64_t>(n);
            return static_cast<int>(n);
        }
        if (n == 0) return AVERROR_EOF;
        if (errno != EINTR) return AVERROR(errno);
    }
}

int64_t FileInput::seek(void* opaque, int64_t offset, int whence) {
    const int fd = static_cast<FileInput*>(opaque)->descriptor();
    if (whence & AVSEEK_SIZE) {
        struct stat info;
        return ::fstat(fd, &info) == 0 ? static_cast<int64_t>(info.st_size) : AVERROR(errno);
    }
    const off_t position = ::lseek(fd, static_cast<off_t>(offset), whence & ~AVSEEK_FORCE);
    return position < 0 ? AVERROR(errno) : static_cast<int64_t>(position);
}

}  // namespace Ostra::bass

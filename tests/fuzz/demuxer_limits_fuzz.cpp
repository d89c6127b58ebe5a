// The checks made before FFmpeg opens a file, on arbitrary file contents. The
// first byte picks the demuxer they prepare for, the rest is the file; every
// answer is fine, a crash or an endless walk is not.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/bass/DemuxerLimits.h"

namespace {

// As FFmpeg names the demuxers we decode with.
const char* const kDemuxers[] = {
    "mp3", "flac", "ogg", "wav", "aiff", "aac", "mov,mp4,m4a,3gp,3g2,mj2"};

int inputFile() {
    static int fd = memfd_create("ostra_fuzz_demuxer", 0);
    if (fd < 0) std::abort();
    return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string demuxer = kDemuxers[data[0] % (sizeof kDemuxers / sizeof kDemuxers[0])];
    const int fd = inputFile();
    if (ftruncate(fd, 0) != 0) std::abort();
    size_t written = 0;
    while (written < size - 1) {
        const ssize_t n =
            pwrite(fd, data + 1 + written, size - 1 - written, static_cast<off_t>(written));
        if (n <= 0) std::abort();
        written += static_cast<size_t>(n);
    }
    Ostra::bass::demuxerInputWithinLimits(fd, size - 1, demuxer);
    return 0;
}

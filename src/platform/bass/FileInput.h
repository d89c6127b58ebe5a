#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "lib/ffmpeg/Owners.h"
#include "util/RegularFile.h"

namespace Ostra::bass {

// One audio file opened once, as a regular file, and the FFmpeg I/O context
// that reads it through that descriptor alone. Checking a name and then
// opening it again would let a symbolic link swapped in between (to a FIFO
// nobody writes, say) block the decoding thread for ever; here the file is
// opened the one way files are (util::RegularFile) and the checked
// descriptor is the one read. Used by the one thread that owns its stream.
class FileInput {
  public:
    // Null when the path cannot be opened for reading or is not a regular file.
    static std::unique_ptr<FileInput> open(const std::string& path);
    ~FileInput();
    FileInput(const FileInput&) = delete;
    FileInput& operator=(const FileInput&) = delete;

    // Owned here; must outlive every format context reading it.
    AVIOContext* context() const { return io_.get(); }
    // The fstat of the descriptor, taken at the open.
    const struct stat& status() const { return file_.status(); }
    // For reads at chosen offsets (pread) that leave FFmpeg's position alone.
    int descriptor() const { return file_.descriptor(); }
    // The size the file had when it was opened.
    uint64_t size() const { return file_.size(); }

    // The reader got something out of what it has read (the container is
    // open, a packet came out): from the first call on, reading more than
    // kMaxReadWithoutProgress bytes before the next call ends the input as
    // damaged. FFmpeg's parsers keep every byte they cannot frame, so a long
    // run of bytes without a frame (a file of zeros, a download that stopped
    // part way) would otherwise cost its whole size in memory and be read to
    // its end.
    void progress() {
        bounded_ = true;
        unproductive_ = 0;
    }
    static constexpr uint64_t kMaxReadWithoutProgress = 16u * 1024u * 1024u;

  private:
    explicit FileInput(Ostra::util::RegularFile file) : file_(std::move(file)) {}
    static int read(void* opaque, uint8_t* buffer, int size);
    static int64_t seek(void* opaque, int64_t offset, int whence);

    Ostra::util::RegularFile file_;
    Ostra::ffmpeg::IoContextPtr io_;  // reads file_: declared after it, so gone first
    bool bounded_ = false;
    uint64_t unproductive_ = 0;  // bytes read since the last progress()
};

}  // namespace Ostra::bass

#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace Ostra::util {

// A regular file open for reading, closed when the object dies. The open never
// blocks (a FIFO opened without O_NONBLOCK waits for a writer) and the type is
// checked with fstat on the descriptor itself, so the file checked is the file
// read: a name swapped for a FIFO or a device between a check and an open
// cannot reach a reader. Movable between threads; one thread uses it at a time.
class RegularFile {
  public:
    RegularFile() = default;
    ~RegularFile();
    RegularFile(RegularFile&& other) noexcept;
    RegularFile& operator=(RegularFile&& other) noexcept;
    RegularFile(const RegularFile&) = delete;
    RegularFile& operator=(const RegularFile&) = delete;

    // Opens the path, following symbolic links. Not open when the path is not
    // valid (IsValidPath), cannot be opened, or is not a regular file.
    static RegularFile open(const std::string& path);
    // Opens name inside the directory open as directory, following a link in
    // name itself; names of any length below the directory work, since the
    // path of the directory is never spelt out.
    static RegularFile openAt(int directory, const char* name);

    bool isOpen() const { return fd_ >= 0; }
    int descriptor() const { return fd_; }
    // The size fstat gave when the file was opened.
    std::uint64_t size() const { return size_; }
    // What that fstat gave, for the identity of what is read.
    const struct stat& status() const { return status_; }
    // errno of a failed open; 0 when the open succeeded (also when the file
    // then turned out not to be a regular file, which closes it again).
    int openError() const { return openError_; }
    void close();
    // Hands the descriptor over to the caller, who closes it from now on.
    int release();

  private:
    static RegularFile checked(int fd);

    int fd_ = -1;
    std::uint64_t size_ = 0;
    struct stat status_ = {};
    int openError_ = 0;
};

}  // namespace Ostra::util

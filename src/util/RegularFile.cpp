#include "util/RegularFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "util/PathUtils.h"

namespace Ostra::util {

namespace {

// O_NONBLOCK only matters for the open itself: reads of a regular file never
// block on it.
constexpr int kOpenFlags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;

}  // namespace

RegularFile::~RegularFile() {
    close();
}

RegularFile::RegularFile(RegularFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)),
      size_(other.size_),
      status_(other.status_),
      openError_(other.openError_) {}

RegularFile& RegularFile::operator=(RegularFile&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = std::exchange(other.fd_, -1);
        size_ = other.size_;
        status_ = other.status_;
        openError_ = other.openError_;
    }
    return *this;
}

void RegularFile::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

int RegularFile::release() {
    return std::exchange(fd_, -1);
}

RegularFile RegularFile::checked(int fd) {
    RegularFile file;
    if (fd < 0) {
        file.openError_ = errno;
        return file;
    }
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        ::close(fd);
        return file;
    }
    file.fd_ = fd;
    file.size_ = static_cast<std::uint64_t>(info.st_size);
    file.status_ = info;
    return file;
}

RegularFile RegularFile::open(const std::string& path) {
    if (path.empty() || !IsValidPath(path)) {
        RegularFile file;
        file.openError_ = ENOENT;
        return file;
    }
    return checked(::open(path.c_str(), kOpenFlags));
}

RegularFile RegularFile::openAt(int directory, const char* name) {
    return checked(::openat(directory, name, kOpenFlags));
}

}  // namespace Ostra::util

#include "host/FailureReason.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Ostra::host {

const char* const kUnsupportedAudio = "unsupported or damaged audio";

std::string failureReason(const std::string& path) {
    if (path.empty()) return std::strerror(ENOENT);
    struct stat info;
    if (stat(path.c_str(), &info) != 0) return std::strerror(errno);
    if (S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    if (!S_ISREG(info.st_mode)) return "not a regular file";
    // The helper runs as this user, so what this process may not read, it
    // could not read either.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    ::close(fd);
    return kUnsupportedAudio;
}

}  // namespace Ostra::host

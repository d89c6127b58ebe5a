#include "util/Trace.h"

#include <limits.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>

namespace Ostra {
namespace util {

namespace {

// How long a text waits for a host that has let the output fill up.
constexpr int kWaitMilliseconds = 100;

struct Output {
    std::mutex mutex;
    bool stalled = false;  // mutex: the last text found no room in time
};

// Never destroyed: records are still written by static destructors at exit.
Output& output(int fd) {
    static Output* const standardOutput = new Output();
    static Output* const standardError = new Output();
    return fd == STDERR_FILENO ? *standardError : *standardOutput;
}

void writeLine(int fd, const std::string& text) {
    Output& out = output(fd);
    std::lock_guard<std::mutex> lock(out.mutex);
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        pollfd ready{fd, POLLOUT, 0};
        const int n = ::poll(&ready, 1, out.stalled ? 0 : kWaitMilliseconds);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || (ready.revents & POLLOUT) == 0) {
            out.stalled = n == 0;
            return;
        }
        // A pipe that polls writable has room for PIPE_BUF bytes at least,
        // so a write of no more than that does not block.
        const ssize_t written = ::write(fd, p, std::min<std::size_t>(left, PIPE_BUF));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        out.stalled = false;
        p += written;
        left -= static_cast<std::size_t>(written);
    }
}

}  // namespace

void writeOutputLine(const std::string& text) {
    writeLine(STDOUT_FILENO, text);
}

void writeErrorLine(const std::string& text) {
    writeLine(STDERR_FILENO, text);
}

}  // namespace util
}  // namespace Ostra

#include "util/Trace.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>

namespace Ostra {
namespace util {

namespace {

// How long a text waits for a host that has let the output fill up.
constexpr int kWaitMilliseconds = 100;

struct Output {
    std::mutex mutex;
    bool stalled = false;  // mutex: the last text found no room in time
    bool opened = false;   // mutex: `twin` has been looked for
    int twin = -1;         // mutex: the same pipe or terminal, non-blocking
};

// A terminal that has stopped reading (or a pipe another writer fills at the
// same moment) can poll writable and still block a write of more than the
// little room it has; setting O_NONBLOCK on the descriptor itself would
// change it for the host and everyone else sharing it. So pipes and
// terminals are opened again, through /proc, as a description of our own
// that never blocks. -1 for anything else (files, sockets, no /proc), which
// is written as it is.
int openTwin(int fd) {
    struct stat info;
    if (::fstat(fd, &info) != 0 || !(S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode))) return -1;
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    return ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

// Never destroyed: records are still written by static destructors at exit.
Output& output(int fd) {
    static Output* const standardOutput = new Output();
    static Output* const standardError = new Output();
    return fd == STDERR_FILENO ? *standardError : *standardOutput;
}

void writeLine(int fd, const std::string& text) {
    Output& out = output(fd);
    std::lock_guard<std::mutex> lock(out.mutex);
    if (!out.opened) {
        out.opened = true;
        out.twin = openTwin(fd);
    }
    const int to = out.twin >= 0 ? out.twin : fd;
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(out.stalled ? 0 : kWaitMilliseconds);
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{to, POLLOUT, 0};
        const int n = ::poll(&ready, 1, std::max<int>(0, static_cast<int>(wait.count())));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || (ready.revents & POLLOUT) == 0) {
            out.stalled = n == 0;
            return;
        }
        // A pipe that polls writable has room for PIPE_BUF bytes at least,
        // so a write of no more than that does not block.
        const ssize_t written = ::write(to, p, std::min<std::size_t>(left, PIPE_BUF));
        if (written < 0 && errno == EINTR) continue;
        if (written < 0 && errno == EAGAIN) {
            // Writable by poll's measure, yet without room for this much (a
            // terminal): a moment's pause, then the same wait as before.
            if (std::chrono::steady_clock::now() >= deadline) {
                out.stalled = true;
                return;
            }
            ::poll(nullptr, 0, 1);
            continue;
        }
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

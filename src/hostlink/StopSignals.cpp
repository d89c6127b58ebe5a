#include "hostlink/StopSignals.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace Ostra {

namespace {

sigset_t stopSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGHUP);
    return set;
}

// The longest line the stop loop reads whole; getline(buffer, 256) stores at
// most 255 characters and fails on a longer line.
constexpr std::size_t kMaxLineLength = 255;

enum class LineStep { More, Stop };

// Feeds input bytes through the rules of the getline loop.
class StopLineReader {
  public:
    LineStep feed(char c) {
        if (c == '\n') {
            if (isStopWord()) return LineStep::Stop;
            line_.clear();
            return LineStep::More;
        }
        // A 256th character before the newline puts the stream in the
        // failed state, which ends the loop.
        if (line_.size() == kMaxLineLength) return LineStep::Stop;
        line_.push_back(c);
        return LineStep::More;
    }
    // At end of input the loop ends whatever the last line holds.

  private:
    // The buffer is compared as a C string, so the line ends at a NUL byte.
    bool isStopWord() const { return std::strcmp(line_.c_str(), "QUIT") == 0; }
    std::string line_;
};

}  // namespace

StopSignals::StopSignals() {
    const sigset_t set = stopSignalSet();
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return;
    fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) {
        pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
        fd_ = -1;
    }
}

// The signals stay blocked: one arriving during shutdown must not kill the
// process before it has finished stopping.
StopSignals::~StopSignals() {
    if (fd_ >= 0) close(fd_);
}

void waitForStop(int input, const StopSignals& signals) {
    StopLineReader reader;
    char buffer[4096];
    for (;;) {
        pollfd fds[2] = {{input, POLLIN, 0}, {signals.fd(), POLLIN, 0}};
        const int ready = poll(fds, signals.fd() >= 0 ? 2 : 1, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (signals.fd() >= 0 && (fds[1].revents & POLLIN) != 0) return;
        if (fds[0].revents == 0) continue;
        const ssize_t n = read(input, buffer, sizeof buffer);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) return;
        for (ssize_t i = 0; i < n; ++i)
            if (reader.feed(buffer[i]) == LineStep::Stop) return;
    }
}

}  // namespace Ostra

#include "host/ProcessSetup.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "host/GlobalOptions.h"
#include "host/Output.h"

namespace Ostra::host {

namespace {

bool pipeSignalDefault = true;

}  // namespace

void prepareProcess() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free number, which is this one.
        const int held = ::open("/dev/null", fd == STDIN_FILENO ? O_WRONLY : O_RDONLY);
        if (held >= 0 && held != fd) ::close(held);
    }
    struct sigaction current;
    if (sigaction(SIGPIPE, nullptr, &current) == 0)
        pipeSignalDefault = current.sa_handler != SIG_IGN;
}

bool pipeSignalWasDefault() {
    return pipeSignalDefault;
}

OutputError::OutputError(int error)
    : std::runtime_error(std::string("write error: ") + std::strerror(error)), error(error) {}

void flushOutput(std::ostream& out) {
    errno = 0;
    out.flush();
    if (out) return;
    const int error = errno != 0 ? errno : EIO;
    throw OutputError(error);
}

int statusAfterOutputError(const OutputError& e) {
    if (e.error == EPIPE && pipeSignalDefault) {
        signal(SIGPIPE, SIG_DFL);
        raise(SIGPIPE);
    }
    note(e.what());
    return kFailed;
}

}  // namespace Ostra::host

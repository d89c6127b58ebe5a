#pragma once

#include <ostream>
#include <stdexcept>
#include <string>

namespace Ostra::host {

// Run first in main: a standard stream that was closed when this process
// started is held open on /dev/null the wrong way round (reads and writes on
// it fail with EBADF), so that no socket or pipe of the helper's takes its
// number and receives what was meant for standard output. Also notes how
// SIGPIPE was set up, because the host client ignores it from then on.
void prepareProcess();

// Whether SIGPIPE had its default action when this process started: a
// command ostra-host runs gets it back, and so does this process when its
// reader goes away.
bool pipeSignalWasDefault();

// Standard output could not be written: `error` is the errno of the write.
struct OutputError : std::runtime_error {
    explicit OutputError(int error);
    int error;
};

// Flushes `out` (standard output) and throws OutputError when it cannot be
// written, so that `ostra-host ... | head -1` stops at once instead of
// working on for a reader that is gone.
void flushOutput(std::ostream& out);

// Ends the process the way a reader that went away ends a pipeline's writer,
// by SIGPIPE, when SIGPIPE had its default action at start; otherwise says
// "write error" on standard error and returns the exit status (1). Called
// once the helper is stopped.
int statusAfterOutputError(const OutputError& e);

}  // namespace Ostra::host

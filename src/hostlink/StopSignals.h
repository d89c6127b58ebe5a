#pragma once

namespace Ostra {

// Turns SIGTERM, SIGINT and SIGHUP into a readable descriptor: they are
// blocked in the constructing thread, and so in every thread started after
// it, and then wait in a signalfd instead of killing the process in the
// middle of a write. Constructed first thing in main, before any other
// thread exists; used by the main thread only.
class StopSignals {
  public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Readable once one of the signals is pending; -1 if none could be made
    // (the signals then keep their default action).
    int fd() const { return fd_; }

  private:
    int fd_ = -1;
};

// Blocks until the helper is told to stop: the line "QUIT", end of input, a
// read failure or a line of 256 characters or more on `input` (exactly what
// ends a loop of std::istream::getline(buffer, 256) compared with "QUIT"),
// or one of the stop signals.
void waitForStop(int input, const StopSignals& signals);

}  // namespace Ostra

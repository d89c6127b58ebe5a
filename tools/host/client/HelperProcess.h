#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace Ostra::host {

// Where the helper's standard output and standard error go. The helper prints
// start-up, exit and trace lines there; a host that shows JSON on its own
// standard output must not let them through.
enum class HelperOutput {
    Discard,          // both to /dev/null
    ToStandardError,  // both to this process's standard error
    ToFiles,          // captured, readable with out() and err()
};

// A helper process: started with posix_spawn, its standard input a pipe (the
// "QUIT" line goes there), its output discarded, passed on or captured. Used
// from one thread.
class HelperProcess {
  public:
    // Starts `args[0]` with `args`; the port argument is up to the caller.
    // `extraEnv` entries "NAME=value" replace NAME in the inherited
    // environment, "NAME=" alone removes it. Throws SessionError when the
    // program cannot be started.
    HelperProcess(const std::vector<std::string>& args,
                  const std::vector<std::string>& extraEnv = {},
                  HelperOutput output = HelperOutput::ToFiles);
    // Closes standard input (which stops a helper) and waits up to 10 s
    // before killing it, so a test that fails half-way leaves no process.
    ~HelperProcess();
    HelperProcess(const HelperProcess&) = delete;
    HelperProcess& operator=(const HelperProcess&) = delete;

    void writeStdin(const std::string& text);
    void closeStdin();
    // Waits for the exit; returns the exit status, or -1 when the process
    // ended by a signal or `timeout` passed (it is then killed).
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool running();
    // The signal that ended the process, or 0.
    int termSignal() const { return signal_; }
    // Captured standard output and error (HelperOutput::ToFiles only).
    std::string out() const;
    std::string err() const;
    pid_t pid() const { return pid_; }

  private:
    bool reap(int options);

    pid_t pid_ = -1;
    int stdin_ = -1;
    int status_ = -1;
    int signal_ = 0;
    bool reaped_ = false;
    std::string dir_;
};

}  // namespace Ostra::host

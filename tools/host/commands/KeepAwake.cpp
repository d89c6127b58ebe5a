#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "host/ProcessSetup.h"
#include "host/Session.h"
#include "host/SleepDiagnosis.h"
#include "host/commands/Subcommand.h"

extern char** environ;

namespace Ostra::host {

namespace {

using nlohmann::json;

std::atomic<pid_t> runningChild{0};

// A signal from the terminal (Ctrl-C, a hang-up) already reached the command,
// which shares this process group; only a signal sent to ostra-host alone
// (kill, a service manager) is passed on, so the command gets it once.
void forwardSignal(int signal, siginfo_t* info, void*) {
    if (info != nullptr && info->si_code == SI_KERNEL) return;
    const pid_t pid = runningChild.load();
    if (pid > 0) kill(pid, signal);
}

const int kForwardedSignals[] = {SIGINT, SIGTERM, SIGHUP};

// While alive, the signals above go to the command instead of ending this
// process, which must outlive the command to allow sleep again.
class SignalForwarding {
  public:
    explicit SignalForwarding(pid_t child) {
        runningChild.store(child);
        struct sigaction action;
        std::memset(&action, 0, sizeof action);
        action.sa_sigaction = forwardSignal;
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kForwardedSignals); ++i)
            sigaction(kForwardedSignals[i], &action, &previous_[i]);
    }
    ~SignalForwarding() {
        for (std::size_t i = 0; i < std::size(kForwardedSignals); ++i)
            sigaction(kForwardedSignals[i], &previous_[i], nullptr);
        runningChild.store(0);
    }
    SignalForwarding(const SignalForwarding&) = delete;
    SignalForwarding& operator=(const SignalForwarding&) = delete;

  private:
    struct sigaction previous_[std::size(kForwardedSignals)];
};

// Runs `command` and returns its exit status: 128 + the signal that ended
// it, 127 when it is not found, 126 when it cannot be run.
int runCommand(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    // Blocked around the spawn, so that no signal arrives before the command
    // can be named as its receiver.
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    for (int s : kForwardedSignals) sigaddset(&blocked, s);
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setsigmask(&attributes, &previous);
    short flags = POSIX_SPAWN_SETSIGMASK;
    // The host client ignores SIGPIPE for its socket; the command gets the
    // action it would have had without ostra-host, or `yes | head -1` inside
    // it would never end by the signal.
    sigset_t defaults;
    sigemptyset(&defaults);
    if (pipeSignalWasDefault()) {
        sigaddset(&defaults, SIGPIPE);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        flags |= POSIX_SPAWN_SETSIGDEF;
    }
    posix_spawnattr_setflags(&attributes, flags);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], nullptr, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        sigprocmask(SIG_SETMASK, &previous, nullptr);
        note("cannot run " + command[0] + ": " + std::strerror(rc));
        // As the shell has it: 127 for a command not found, 126 for one
        // found that cannot be run.
        return rc == ENOENT ? 127 : 126;
    }
    SignalForwarding forwarding(pid);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Keeps the machine awake while COMMAND runs: "preventSleep" first,
// "allowSleep" after; the helper stays up in between because the inhibition
// ends with it. Exits with the command's own status. Where sleep cannot be
// prevented (no login manager, a container) the command still runs after a
// warning that says why, unless --require is given.
class KeepAwakeCommand : public Subcommand {
  public:
    CLI::App* define(CLI::App& app) override {
        CLI::App* keepAwake = app.add_subcommand(
            "keep-awake",
            "Keep the machine awake while COMMAND runs (preventSleep, allowSleep); exits with "
            "COMMAND's status");
        // Everything from the command's first word on is the command's own:
        // the command line puts "--" before that word (normalizedArguments).
        keepAwake->add_option("command", command_, "The command and its arguments")
            ->required()
            ->type_name("COMMAND");
        keepAwake->add_flag("--require", require_,
                            "Do not run COMMAND (exit 1) when sleep cannot be prevented");
        return keepAwake;
    }

    int run(const GlobalOptions& options) override {
        Session session(options);
        const double id = session.send("preventSleep", nullptr);
        Response response;
        do {
            session.receive(response);
        } while (response.id != id || !response.done);
        const std::string error = errorText(response.data);
        const bool prevented = error.empty();
        if (!prevented) {
            const std::string why = error + ": " + sleepDiagnosis();
            if (require_) {
                note("sleep could not be prevented (" + why + ")");
                return kFailed;
            }
            note("warning: sleep could not be prevented (" + why + "); running the command anyway");
        } else if (options.verbose) {
            note("sleep prevented");
        }
        const int status = runCommand(command_);
        if (prevented) {
            // The helper may have been ended with the command; its end
            // allows sleep as well.
            try {
                exchange(session, "allowSleep", nullptr, [](const json&, bool) {});
                if (options.verbose) note("sleep allowed again");
            } catch (const HelperFailure&) {
            }
        }
        return status;
    }

  private:
    std::vector<std::string> command_;
    bool require_ = false;
};

}  // namespace

std::unique_ptr<Subcommand> makeKeepAwakeCommand() {
    return std::unique_ptr<Subcommand>(new KeepAwakeCommand());
}

}  // namespace Ostra::host

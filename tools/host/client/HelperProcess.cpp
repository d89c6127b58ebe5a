#include "host/client/HelperProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/client/SessionError.h"

extern char** environ;

namespace Ostra::host {

namespace {

std::string readWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// The inherited environment with `extraEnv` applied.
std::vector<std::string> environmentWith(const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    for (const auto& extra : extraEnv) {
        const std::string::size_type eq = extra.find('=');
        const std::string prefix = extra.substr(0, eq == std::string::npos ? eq : eq + 1);
        for (auto it = env.begin(); it != env.end();) {
            it = it->compare(0, prefix.size(), prefix) == 0 ? env.erase(it) : it + 1;
        }
        if (eq != std::string::npos && eq + 1 < extra.size()) env.push_back(extra);
    }
    return env;
}

// posix_spawn_file_actions_t released on every path out of the constructor.
class FileActions {
  public:
    FileActions() { posix_spawn_file_actions_init(&actions_); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    posix_spawn_file_actions_t* get() { return &actions_; }

  private:
    posix_spawn_file_actions_t actions_;
};

}  // namespace

HelperProcess::HelperProcess(const std::vector<std::string>& args,
                             const std::vector<std::string>& extraEnv, HelperOutput output) {
    if (args.empty())
        throw SessionError(SessionError::Kind::HelperDidNotStart, "no helper program named");
    FileActions actions;
    if (output == HelperOutput::ToFiles) {
        char pattern[] = "/tmp/ostra-helper-XXXXXX";
        if (mkdtemp(pattern) == nullptr)
            throw SessionError(SessionError::Kind::HelperDidNotStart,
                               std::string("cannot make a folder for the helper's output: ") +
                                   std::strerror(errno));
        dir_ = pattern;
        const std::string out = dir_ + "/stdout", err = dir_ + "/stderr";
        posix_spawn_file_actions_addopen(actions.get(), 1, out.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_addopen(actions.get(), 2, err.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
    } else if (output == HelperOutput::ToStandardError) {
        posix_spawn_file_actions_adddup2(actions.get(), 2, 1);
    } else {
        posix_spawn_file_actions_addopen(actions.get(), 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(actions.get(), 2, "/dev/null", O_WRONLY, 0);
    }
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        throw SessionError(SessionError::Kind::HelperDidNotStart,
                           std::string("pipe: ") + std::strerror(errno));
    // dup2 clears close-on-exec on the child's standard input only.
    posix_spawn_file_actions_adddup2(actions.get(), fds[0], 0);

    const std::vector<std::string> env = environmentWith(extraEnv);
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    // A process group of its own: Ctrl-C on the terminal is for the host,
    // which then stops the helper (or leaves it to see the end of its input).
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    const int rc =
        posix_spawn(&pid_, args[0].c_str(), actions.get(), &attributes, argv.data(), envp.data());
    posix_spawnattr_destroy(&attributes);
    ::close(fds[0]);
    stdin_ = fds[1];
    if (rc != 0) {
        ::close(stdin_);
        stdin_ = -1;
        pid_ = -1;
        throw SessionError(SessionError::Kind::HelperDidNotStart,
                           "cannot start " + args[0] + ": " + std::strerror(rc));
    }
}

HelperProcess::~HelperProcess() {
    closeStdin();
    if (pid_ > 0 && !reaped_ && wait(std::chrono::seconds(10)) == -1 && !reaped_) {
        kill(pid_, SIGKILL);
        reap(0);
    }
    if (!dir_.empty()) {
        unlink((dir_ + "/stdout").c_str());
        unlink((dir_ + "/stderr").c_str());
        rmdir(dir_.c_str());
    }
}

void HelperProcess::writeStdin(const std::string& text) {
    if (stdin_ < 0) return;
    // A helper that already exited must not take this process with it.
    signal(SIGPIPE, SIG_IGN);
    std::size_t written = 0;
    while (written < text.size()) {
        const ssize_t n = ::write(stdin_, text.data() + written, text.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        written += static_cast<std::size_t>(n);
    }
}

void HelperProcess::closeStdin() {
    if (stdin_ >= 0) ::close(stdin_);
    stdin_ = -1;
}

bool HelperProcess::reap(int options) {
    if (reaped_) return true;
    int status = 0;
    pid_t r;
    do {
        r = waitpid(pid_, &status, options);
    } while (r < 0 && errno == EINTR);
    if (r != pid_) return false;
    reaped_ = true;
    if (WIFEXITED(status)) {
        status_ = WEXITSTATUS(status);
    } else {
        status_ = -1;
        signal_ = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return true;
}

int HelperProcess::wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!reap(WNOHANG)) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            reap(0);
            status_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
}

bool HelperProcess::running() {
    return pid_ > 0 && !reap(WNOHANG);
}

std::string HelperProcess::out() const {
    return dir_.empty() ? std::string() : readWhole(dir_ + "/stdout");
}

std::string HelperProcess::err() const {
    return dir_.empty() ? std::string() : readWhole(dir_ + "/stderr");
}

}  // namespace Ostra::host

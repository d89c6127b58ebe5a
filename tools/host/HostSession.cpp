#include "host/HostSession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

extern char** environ;

namespace ostrahost {

namespace asio = boost::asio;
using asio::ip::tcp;

// Frames from the helper are bounded like frames to it.
constexpr std::uint32_t kMaxFrame = 64u * 1024u * 1024u;

HostSession::HostSession(const std::string& helperPath, unsigned short port, bool verbose)
    : helperPath_(helperPath),
      verbose_(verbose),
      acceptor_(service_),
      socket_(service_),
      ownsHelper_(port == 0) {
    tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(1);
    port_ = acceptor_.local_endpoint().port();
}

HostSession::~HostSession() {
    if (ownsHelper_ && pid_ > 0 && !reaped_) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    if (helperStdin_ >= 0) ::close(helperStdin_);
}

bool HostSession::spawnHelper() {
    int fds[2];
    if (pipe(fds) != 0) return false;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[0], 0);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    // The helper's own lines would mix with the JSON on standard output.
    if (verbose_) {
        posix_spawn_file_actions_adddup2(&actions, 2, 1);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    }
    std::string port = std::to_string(port_);
    char* argv[] = {const_cast<char*>(helperPath_.c_str()), const_cast<char*>(port.c_str()),
                    nullptr};
    int rc = posix_spawn(&pid_, helperPath_.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[0]);
    helperStdin_ = fds[1];
    fcntl(helperStdin_, F_SETFD, FD_CLOEXEC);
    if (rc != 0) {
        pid_ = -1;
        return false;
    }
    return true;
}

bool HostSession::helperAlive() {
    if (!ownsHelper_) return true;
    if (pid_ <= 0 || reaped_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

bool HostSession::open(std::chrono::milliseconds timeout) {
    signal(SIGPIPE, SIG_IGN);
    if (ownsHelper_ && !spawnHelper()) {
        error_ = SessionError::HelperDidNotStart;
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        pollfd fd{acceptor_.native_handle(), POLLIN, 0};
        int r = poll(&fd, 1, 20);
        if (r > 0) break;
        if (!helperAlive() || (ownsHelper_ && std::chrono::steady_clock::now() > deadline)) {
            error_ = SessionError::HelperDidNotStart;
            return false;
        }
    }
    boost::system::error_code ec;
    acceptor_.accept(socket_, ec);
    if (ec) {
        error_ = SessionError::HelperDidNotStart;
        return false;
    }
    socket_.set_option(tcp::no_delay(true), ec);
    return true;
}

bool HostSession::send(const std::string& command, double id, const amf::amf0_data_type* arg) {
    amf::amf_object request;
    request.set_string_property("cmd", command);
    request.set_numeric_property("id", id);
    if (arg != nullptr) request.set_property("arg", arg);
    std::string bytes(4 + amf::get_size(&request), '\0');
    auto* body = reinterpret_cast<unsigned char*>(&bytes[4]);
    if (!amf::encode(body, body + bytes.size() - 4, &request)) return false;
    std::uint32_t n = static_cast<std::uint32_t>(bytes.size() - 4);
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    boost::system::error_code ec;
    asio::write(socket_, asio::buffer(bytes), ec);
    if (ec) error_ = SessionError::HelperDied;
    return !ec;
}

std::unique_ptr<amf::amf0_data_type> HostSession::receive(std::chrono::milliseconds timeout) {
    const bool bounded = timeout != std::chrono::milliseconds::max();
    const auto deadline = std::chrono::steady_clock::now() + (bounded ? timeout : timeout.zero());
    bool timedOut = false;
    // Only the wait for a frame's first byte may time out; a frame that has
    // begun is read to its end.
    auto readExactly = [&](unsigned char* out, std::size_t n, bool mayTimeOut) {
        std::size_t got = 0;
        while (got < n) {
            pollfd fd{socket_.native_handle(), POLLIN, 0};
            int r = poll(&fd, 1, 100);
            if (r < 0 && errno != EINTR) return false;
            if (r <= 0) {
                if (!helperAlive()) return false;
                if (mayTimeOut && got == 0 && bounded &&
                    std::chrono::steady_clock::now() >= deadline) {
                    timedOut = true;
                    return false;
                }
                continue;
            }
            ssize_t k = ::recv(socket_.native_handle(), out + got, n - got, 0);
            if (k <= 0) return false;
            got += static_cast<std::size_t>(k);
        }
        return true;
    };
    unsigned char header[4];
    if (!readExactly(header, 4, true)) {
        if (timedOut) return nullptr;
        error_ = SessionError::HelperDied;
        return nullptr;
    }
    std::uint32_t n = header[0] | header[1] << 8 | header[2] << 16 | std::uint32_t(header[3]) << 24;
    if (n > kMaxFrame) {
        error_ = SessionError::HelperDied;
        return nullptr;
    }
    std::vector<unsigned char> body(n);
    if (n > 0 && !readExactly(body.data(), n, false)) {
        error_ = SessionError::HelperDied;
        return nullptr;
    }
    return std::unique_ptr<amf::amf0_data_type>(
        amf::decode(body.data(), body.data() + body.size()));
}

void HostSession::writeHelperInput(const std::string& line) {
    if (helperStdin_ < 0) return;
    ssize_t ignored = write(helperStdin_, line.data(), line.size());
    (void)ignored;
}

int HostSession::close() {
    boost::system::error_code ec;
    socket_.close(ec);
    if (!ownsHelper_) return 0;
    writeHelperInput("QUIT\n");
    if (helperStdin_ >= 0) ::close(helperStdin_);
    helperStdin_ = -1;
    if (!reaped_ && pid_ > 0) {
        int status = 0;
        waitpid(pid_, &status, 0);
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return status_;
}

}  // namespace ostrahost

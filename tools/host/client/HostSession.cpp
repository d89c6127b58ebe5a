#include "host/client/HostSession.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>

#include <cerrno>
#include <thread>

#include "amf/access.h"
#include "host/client/Frame.h"
#include "host/client/JsonAmf.h"
#include "host/client/SessionError.h"

namespace Ostra::host {

namespace asio = boost::asio;
using asio::ip::tcp;

namespace {

// Asio opens its sockets without close-on-exec: a program started later (the
// helper, keep-awake's command) would hold the port and the helper's
// connection open after this process is gone.
void closeOnExec(int fd) {
    const int flags = fcntl(fd, F_GETFD);
    if (flags >= 0) fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

}  // namespace

HostSession::HostSession(unsigned short port)
    : acceptor_(service_), socket_(service_), log_(RecordLog::fromEnvironment()) {
    // A helper that dies while we write must not take this process with it.
    signal(SIGPIPE, SIG_IGN);
    const tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port);
    try {
        acceptor_.open(endpoint.protocol());
        closeOnExec(acceptor_.native_handle());
        acceptor_.set_option(tcp::acceptor::reuse_address(true));
        acceptor_.bind(endpoint);
        acceptor_.listen(1);
        port_ = acceptor_.local_endpoint().port();
    } catch (const boost::system::system_error& e) {
        throw SessionError(
            SessionError::Kind::HelperDidNotStart,
            "cannot listen on 127.0.0.1:" + std::to_string(port) + " (" + e.code().message() + ")");
    }
}

HostSession::~HostSession() {
    if (helper_ && helper_->running()) helper_->writeStdin("QUIT\n");
}

void HostSession::startHelper(const std::string& helperPath,
                              const std::vector<std::string>& extraEnv, HelperOutput output,
                              std::chrono::milliseconds timeout) {
    helper_.reset(new HelperProcess({helperPath, std::to_string(port_)}, extraEnv, output));
    accept(timeout);
}

void HostSession::accept(std::chrono::milliseconds timeout) {
    const bool bounded = timeout != std::chrono::milliseconds::max();
    const auto deadline = std::chrono::steady_clock::now() + (bounded ? timeout : timeout.zero());
    for (;;) {
        pollfd fd{acceptor_.native_handle(), POLLIN, 0};
        const int r = poll(&fd, 1, 20);
        if (r > 0) break;
        if (r < 0 && errno != EINTR)
            throw SessionError(SessionError::Kind::HelperDidNotStart, "poll failed");
        if (helper_ && !helper_->running()) {
            throw SessionError(SessionError::Kind::HelperDidNotStart,
                               "the helper exited before it connected (status " +
                                   std::to_string(helper_->wait()) + ")");
        }
        if (bounded && std::chrono::steady_clock::now() > deadline)
            throw SessionError(SessionError::Kind::HelperDidNotStart,
                               "no helper connected to port " + std::to_string(port_));
    }
    boost::system::error_code ec;
    acceptor_.accept(socket_, ec);
    if (ec) throw SessionError(SessionError::Kind::HelperDidNotStart, "accept: " + ec.message());
    closeOnExec(socket_.native_handle());
    socket_.set_option(tcp::no_delay(true), ec);
}

void HostSession::sendRaw(const std::string& bytes) {
    boost::system::error_code ec;
    asio::write(socket_, asio::buffer(bytes), ec);
    if (ec)
        throw SessionError(SessionError::Kind::ConnectionLost,
                           "the helper closed the connection (" + ec.message() + ")");
}

void HostSession::send(const std::string& command, double id, const amf::amf0_data_type* arg) {
    const amf::amf_object request = makeRequest(command, id, arg);
    if (log_) {
        commands_[id] = command;
        if (logRequests_) log_->append("request", nullptr, toJson(&request));
    }
    sendRaw(frame(request));
}

double HostSession::request(const std::string& command, const amf::amf0_data_type* arg) {
    const double id = nextId_++;
    send(command, id, arg);
    return id;
}

bool HostSession::readExactly(unsigned char* out, std::size_t n, bool mayTimeOut,
                              std::chrono::steady_clock::time_point deadline, bool bounded) {
    std::size_t got = 0;
    while (got < n) {
        int wait = -1;
        if (bounded && mayTimeOut && got == 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) {
                lastRead_ = ReadResult::Timeout;
                return false;
            }
            wait = static_cast<int>(std::min<long long>(left.count(), 1000 * 1000));
        }
        pollfd fd{socket_.native_handle(), POLLIN, 0};
        const int r = poll(&fd, 1, wait);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            lastRead_ = ReadResult::Closed;
            return false;
        }
        if (r == 0) continue;
        const ssize_t k = ::recv(socket_.native_handle(), out + got, n - got, 0);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) {
            lastRead_ = ReadResult::Closed;
            return false;
        }
        got += static_cast<std::size_t>(k);
    }
    return true;
}

ReadResult HostSession::readFrame(std::string& body, std::chrono::milliseconds timeout) {
    const bool bounded = timeout != std::chrono::milliseconds::max();
    const auto deadline = std::chrono::steady_clock::now() + (bounded ? timeout : timeout.zero());
    unsigned char header[4];
    if (!readExactly(header, 4, true, deadline, bounded)) return lastRead_;
    const std::uint32_t n = frameLength(header);
    if (n > kMaxFrameBytes) return lastRead_ = ReadResult::TooLarge;
    body.assign(n, '\0');
    if (n > 0 &&
        !readExactly(reinterpret_cast<unsigned char*>(&body[0]), n, false, deadline, bounded))
        return lastRead_;
    if (log_) logResponse(body);
    return lastRead_ = ReadResult::Frame;
}

void HostSession::logResponse(const std::string& body) {
    const auto* p = reinterpret_cast<const unsigned char*>(body.data());
    const Value value(amf::decode(p, p + body.size()));
    if (!value) return;
    const nlohmann::json envelope = toJson(value.get());
    const std::string* command = nullptr;
    if (envelope.is_object() && envelope.contains("id") && envelope["id"].is_number()) {
        auto it = commands_.find(envelope["id"].get<double>());
        if (it != commands_.end()) command = &it->second;
    }
    log_->append("response", command, envelope);
}

Value HostSession::readResponse(std::chrono::milliseconds timeout) {
    // A buffer of a rare large frame is not held on to.
    constexpr std::size_t kKeptFrameBytes = 1 << 20;
    if (frame_.capacity() > kKeptFrameBytes) std::string().swap(frame_);
    if (readFrame(frame_, timeout) != ReadResult::Frame) return nullptr;
    const auto* p = reinterpret_cast<const unsigned char*>(frame_.data());
    return Value(amf::decode(p, p + frame_.size()));
}

std::vector<Value> HostSession::call(const std::string& command, const amf::amf0_data_type* arg,
                                     std::chrono::milliseconds timeout) {
    const double id = request(command, arg);
    std::vector<Value> responses;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        Value response = readResponse(left);
        if (!response) break;
        const amf::amf_object* envelope = amf::asObject(response.get());
        if (envelope == nullptr || amf::getNumber(*envelope, "id") != id) continue;
        const bool last = amf::getBool(*envelope, "done").value_or(false);
        responses.push_back(std::move(response));
        if (last) break;
    }
    return responses;
}

void HostSession::closeConnection() {
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

int HostSession::quit(std::chrono::milliseconds timeout) {
    if (!helper_) return 0;
    helper_->writeStdin("QUIT\n");
    helper_->closeStdin();
    return helper_->wait(timeout);
}

}  // namespace Ostra::host

#include "LoopbackRequest.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <stdexcept>

namespace scantest {

namespace asio = boost::asio;
using asio::ip::tcp;
using testsupport::prop;
using testsupport::str;

LoopbackRequest::LoopbackRequest()
    : acceptor_(service_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)), socket_(service_) {
    messenger_.reset(new Ostra::Messenger(acceptor_.local_endpoint().port(), nullptr));
    messenger_->start();
    acceptor_.accept(socket_);
    request_.reset(new Ostra::Request(*messenger_));
    request_->work_started();
}

LoopbackRequest::~LoopbackRequest() {
    request_.reset();
    messenger_->stop();
}

namespace {

bool readExactly(int fd, char* out, std::size_t n, std::chrono::steady_clock::time_point deadline) {
    std::size_t got = 0;
    while (got < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left.count()));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        ssize_t k = ::recv(fd, out + got, n - got, 0);
        if (k <= 0) return false;
        got += static_cast<std::size_t>(k);
    }
    return true;
}

}  // namespace

std::vector<Value> LoopbackRequest::responsesUntilDone(std::chrono::milliseconds timeout) {
    std::vector<Value> responses;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        unsigned char header[4];
        if (!readExactly(socket_.native_handle(), reinterpret_cast<char*>(header), 4, deadline))
            break;
        std::uint32_t n =
            header[0] | (header[1] << 8) | (header[2] << 16) | (std::uint32_t(header[3]) << 24);
        std::string body(n, '\0');
        if (n > 0 && !readExactly(socket_.native_handle(), &body[0], n, deadline)) break;
        auto* p = reinterpret_cast<const unsigned char*>(body.data());
        Value response(amf::decode(p, p + body.size()));
        if (!response) throw std::runtime_error("undecodable response");
        const bool done = testsupport::isDone(response);
        responses.push_back(std::move(response));
        if (done) break;
    }
    return responses;
}

std::vector<const amf::amf0_data_type*> allEntries(const std::vector<Value>& responses) {
    std::vector<const amf::amf0_data_type*> out;
    for (const auto& response : responses) {
        for (const auto* entry : testsupport::items(prop(response, "data"))) out.push_back(entry);
    }
    return out;
}

std::vector<const amf::amf0_data_type*> entriesOfType(const std::vector<Value>& responses,
                                                      const std::string& objectType) {
    std::vector<const amf::amf0_data_type*> out;
    for (const auto* entry : allEntries(responses)) {
        if (str(prop(entry, "objectType")) == objectType) out.push_back(entry);
    }
    return out;
}

const amf::amf0_data_type* reportOf(const std::vector<Value>& responses) {
    auto reports = entriesOfType(responses, "report");
    return reports.size() == 1 ? reports[0] : nullptr;
}

}  // namespace scantest

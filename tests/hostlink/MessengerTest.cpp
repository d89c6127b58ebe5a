#include "hostlink/Messenger.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "support/TestHost.h"

namespace {

using boost::asio::ip::tcp;
using testsupport::frameOfBody;

// Collects delivered bodies on connection threads; reads while `admit` is set.
class Collector : public Ostra::MessageHandler {
  public:
    void handleMessageReceived(const Ostra::Message& m) override {
        std::lock_guard<std::mutex> lock(mutex_);
        bodies_.emplace_back(reinterpret_cast<const char*>(m.data()), m.getSize());
        changed_.notify_all();
    }
    bool reserveFrame(std::uint32_t) override { return admit; }
    std::atomic<bool> admit{true};
    std::vector<std::string> waitFor(std::size_t n,
                                     std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return bodies_.size() >= n; });
        return bodies_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> bodies_;
};

Ostra::Message message(const std::string& body) {
    Ostra::Message m(body.size());
    std::copy(body.begin(), body.end(), m.data());
    return m;
}

struct Link {
    boost::asio::io_service service;
    tcp::acceptor acceptor{service, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0)};
    tcp::socket socket{service};
    Collector collector;
    Ostra::Messenger messenger{acceptor.local_endpoint().port(), &collector};

    Link() {
        EXPECT_TRUE(messenger.start());
        acceptor.accept(socket);
        socket.set_option(tcp::no_delay(true));
    }
    void write(const std::string& bytes) { boost::asio::write(socket, boost::asio::buffer(bytes)); }
    // The body of the next frame the helper side sent.
    std::string readBody() {
        unsigned char header[4];
        boost::asio::read(socket, boost::asio::buffer(header));
        std::string body(
            header[0] | header[1] << 8 | header[2] << 16 | std::uint32_t(header[3]) << 24, '\0');
        boost::asio::read(socket, boost::asio::buffer(&body[0], body.size()));
        return body;
    }
};

// The bound is inclusive: a body of exactly the bound is delivered, one byte
// more closes the connection before anything is read.
TEST(Messenger, FrameLengthBoundIsInclusive) {
    for (const std::uint32_t length : {Ostra::kMaxFrameLength, Ostra::kMaxFrameLength + 1}) {
        SCOPED_TRACE(length);
        Link link;
        const std::string header(reinterpret_cast<const char*>(&length), 4);
        if (length == Ostra::kMaxFrameLength) {
            link.write(header + std::string(length, 'b'));
            const auto bodies = link.collector.waitFor(1);
            ASSERT_EQ(bodies.size(), 1u);
            EXPECT_EQ(bodies[0].size(), length);
        } else {
            link.write(header + "abc");
            char c;
            boost::system::error_code error;  // the helper side closes the connection
            link.socket.read_some(boost::asio::buffer(&c, 1), error);
            EXPECT_TRUE(error == boost::asio::error::eof ||
                        error == boost::asio::error::connection_reset);
            EXPECT_TRUE(link.collector.waitFor(1, std::chrono::milliseconds(200)).empty());
        }
        link.messenger.stop();
    }
}

// A host that reads nothing: senders wait once the 64 MiB queue is full
// instead of piling up frames, frames go out whole and in order as the host
// drains them, and stop() returns at once, releasing a sender still waiting.
TEST(Messenger, SendersWaitForTheHostAndStopReleasesThem) {
    Link link;
    const int total = 200;  // 200 MiB: well past the queue and the socket buffers
    std::atomic<int> queued{0};
    std::thread sender([&] {
        for (int i = 0; i < total; ++i) {
            link.messenger.sendMessage(
                message(std::to_string(i) + ":" + std::string(1 << 20, 'x')));
            ++queued;
        }
    });
    // Until the sender stops making progress.
    auto settle = [&] {
        int seen = -1;
        for (int i = 0; i < 100 && queued.load() != seen; ++i) {
            seen = queued.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
        }
        return queued.load();
    };
    const int stalled = settle();
    EXPECT_LT(stalled, 120) << "senders did not wait for the host";
    for (int i = 0; i < 30; ++i) {
        const std::string body = link.readBody();
        ASSERT_EQ(body.substr(0, body.find(':')), std::to_string(i));
        ASSERT_EQ(body.size(), std::to_string(i).size() + 1 + (1u << 20));
    }
    const int resumed = settle();
    EXPECT_GT(resumed, stalled) << "reading did not make room";
    EXPECT_LT(resumed, total);
    auto stopped = std::async(std::launch::async, [&] { link.messenger.stop(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    sender.join();
}

}  // namespace

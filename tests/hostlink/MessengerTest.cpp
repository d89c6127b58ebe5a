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

// Collects delivered bodies; called on connection threads. Reading goes on
// only while `admit` is set.
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
                                     std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait_for(lock, timeout, [&] { return bodies_.size() >= n; });
        return bodies_;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> bodies_;
};

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
    // True when the helper side closed the connection.
    bool peerClosed() {
        char c;
        boost::system::error_code error;
        socket.read_some(boost::asio::buffer(&c, 1), error);
        return error == boost::asio::error::eof || error == boost::asio::error::connection_reset;
    }
};

TEST(Messenger, DeliversFramesWholeAcrossSplitAndMergedSegments) {
    Link link;
    std::string a = testsupport::frameOfBody("hello");
    std::string empty = testsupport::frameOfBody("");
    std::string big = testsupport::frameOfBody(std::string(200000, 'x'));
    std::string all = a + empty + big + a;
    // Byte by byte for the first frames, then the rest in one write.
    for (std::size_t i = 0; i < a.size() + empty.size(); ++i) {
        link.write(all.substr(i, 1));
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    link.write(all.substr(a.size() + empty.size()));
    auto bodies = link.collector.waitFor(4);
    ASSERT_EQ(bodies.size(), 4u);
    EXPECT_EQ(bodies[0], "hello");
    EXPECT_EQ(bodies[1], "");
    EXPECT_EQ(bodies[2].size(), 200000u);
    EXPECT_EQ(bodies[3], "hello");
    link.messenger.stop();
}

// The bound is inclusive: a body of exactly the bound is delivered, one byte
// more closes the connection before anything is read.
TEST(Messenger, FrameLengthBoundIsInclusive) {
    const struct {
        std::uint32_t length;
        bool delivered;
    } rows[] = {{Ostra::kMaxFrameLength, true}, {Ostra::kMaxFrameLength + 1, false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.length);
        Link link;
        std::string header(reinterpret_cast<const char*>(&row.length), 4);
        if (row.delivered) {
            link.write(header + std::string(row.length, 'b'));
            auto bodies = link.collector.waitFor(1, std::chrono::seconds(60));
            ASSERT_EQ(bodies.size(), 1u);
            EXPECT_EQ(bodies[0].size(), row.length);
        } else {
            link.write(header + "abc");
            EXPECT_TRUE(link.peerClosed());
            EXPECT_TRUE(link.collector.waitFor(1, std::chrono::milliseconds(200)).empty());
        }
        link.messenger.stop();
    }
}

TEST(Messenger, ARefusedReservationHoldsReadingUntilResumed) {
    Link link;
    link.collector.admit = false;
    link.write(testsupport::frameOfBody("held") + testsupport::frameOfBody("next"));
    EXPECT_TRUE(link.collector.waitFor(1, std::chrono::milliseconds(300)).empty());
    link.collector.admit = true;
    link.messenger.resumeReading();
    EXPECT_EQ(link.collector.waitFor(2), (std::vector<std::string>{"held", "next"}));
    link.messenger.stop();
}

// A host that reads nothing: senders wait once the queue is full instead of
// piling up frames, frames go out whole and in order as the host drains
// them, and stop() returns at once, releasing a sender still waiting.
TEST(Messenger, SendersWaitForTheHostAndStopReleasesThem) {
    Link link;
    const int total = 400;  // 400 MiB: far past the queue and the socket buffers
    std::atomic<int> queued{0};
    std::thread sender([&] {
        for (int i = 0; i < total; ++i) {
            std::string body = std::to_string(i) + ":" + std::string(1 << 20, 'x');
            Ostra::Message m(body.size());
            std::copy(body.begin(), body.end(), m.data());
            link.messenger.sendMessage(std::move(m));
            ++queued;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const int stalled = queued;
    EXPECT_LT(stalled, 200) << "senders did not wait for the host";
    for (int i = 0; i < 100; ++i) {
        const std::string body = link.readBody();
        ASSERT_EQ(body.substr(0, body.find(':')), std::to_string(i));
        ASSERT_EQ(body.size(), std::to_string(i).size() + 1 + (1u << 20));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (queued.load() <= stalled && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GT(queued.load(), stalled) << "reading did not make room";
    EXPECT_LT(queued.load(), total);
    auto stopped = std::async(std::launch::async, [&] { link.messenger.stop(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    sender.join();
}

TEST(Messenger, PartialBodyIsDiscardedWhenTheHostCloses) {
    Link link;
    link.write(testsupport::frameOfBody("whole") +
               testsupport::frameOfBody("partial").substr(0, 7));
    link.collector.waitFor(1);
    link.socket.close();
    link.messenger.stop();
    EXPECT_EQ(link.collector.waitFor(2, std::chrono::milliseconds(200)).size(), 1u);
}

TEST(Messenger, ConcurrentSendsArriveAsWholeFramesInPerThreadOrder) {
    Link link;
    const int threads = 4, perThread = 200;
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i) {
                std::string body =
                    std::to_string(t) + ":" + std::to_string(i) + std::string(1000 * t, '.');
                Ostra::Message m(body.size());
                std::copy(body.begin(), body.end(), m.data());
                link.messenger.sendMessage(m);
            }
        });
    }
    for (auto& s : senders) s.join();
    std::vector<int> next(threads, 0);
    for (int k = 0; k < threads * perThread; ++k) {
        const std::string body = link.readBody();
        int t = std::stoi(body.substr(0, body.find(':')));
        int i = std::stoi(body.substr(body.find(':') + 1));
        ASSERT_EQ(i, next[t]++);
        ASSERT_EQ(body.size(),
                  body.find('.') == std::string::npos ? body.size() : body.find('.') + 1000 * t);
    }
    link.messenger.stop();
}

TEST(Messenger, NoHostListeningStopsPromptlyAndCannotRestart) {
    unsigned short port;
    {
        boost::asio::io_service s;
        tcp::acceptor a(s, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
        port = a.local_endpoint().port();
    }
    Collector collector;
    Ostra::Messenger messenger(port, &collector);
    messenger.stop();
    EXPECT_TRUE(messenger.start());
    EXPECT_FALSE(messenger.start());
    Ostra::Message m(3);
    messenger.sendMessage(m);
    messenger.stop();
    messenger.stop();
    EXPECT_FALSE(messenger.start());
}

}  // namespace

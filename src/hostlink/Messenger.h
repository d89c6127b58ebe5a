#pragma once

#include <boost/asio.hpp>
#include <boost/thread.hpp>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "hostlink/Message.h"

namespace Ostra {

// Frame bodies longer than this close the connection like a read error; the
// helper never allocates a hostile 4 GiB body. The helper sends nothing
// longer either, as the host applies the same bound.
constexpr std::uint32_t kMaxFrameLength = 64u * 1024u * 1024u;

// Responses waiting for the host to read them. Past this many bytes a worker
// that sends waits until the host has drained some (back-pressure instead of
// memory), and no further request is read.
constexpr std::size_t kMaxQueuedBytes = 64u * 1024u * 1024u;

// Owns the one TCP connection to the host and its two threads. Socket
// operations (connect completion, reads, writes, close) run on the strand,
// one at a time and never blocking, so a host that stops reading holds up
// neither reading nor stop(). sendMessage and resumeReading may be called
// from any thread; the send queue is guarded by queueMutex_.
class Messenger {
  public:
    Messenger(unsigned short port, MessageHandler* handler);
    Messenger(const Messenger&) = delete;
    Messenger& operator=(const Messenger&) = delete;
    ~Messenger();

    void setHandler(MessageHandler* handler) { handler_ = handler; }
    // Connects asynchronously and starts the connection threads. False when
    // they were started before (a stopped messenger is not restarted).
    bool start();
    // Closes the connection at once, drops the responses not yet written,
    // releases waiting senders and joins the connection threads.
    void stop();
    bool isStarted();
    // Queues the message; frames leave whole and in the order they were
    // queued. While the queue is full, a caller other than a connection
    // thread waits for room; the wait is a boost::thread interruption point.
    // Without a connection (not yet started, closed, failed) the message is
    // dropped.
    void sendMessage(const Message& message);
    void sendMessage(Message&& message);
    // Tries again to read the frame the handler refused to reserve.
    void resumeReading();

  private:
    enum class LinkState { Idle, Connecting, Open, Closed };

    void handle_connect(const boost::system::error_code& error);
    void do_read_header();
    void handle_header_read(const boost::system::error_code& error);
    void try_read_body();  // strand only
    void handle_body_read(const boost::system::error_code& error);
    void do_write();  // strand only
    void handle_write(const boost::system::error_code& error);
    void do_close();  // strand only
    // Marks the link closed, drops the queue and wakes waiting senders.
    void close_queue();

    unsigned short port_;
    boost::asio::io_service service_;
    boost::asio::io_service::strand strand_;
    boost::asio::ip::tcp::socket socket_;
    std::unique_ptr<boost::asio::io_service::work> work_;  // start() and stop() only
    boost::thread_group threads_;
    MessageHandler* handler_;

    std::uint32_t header_ = 0;                    // strand only
    std::uint32_t pending_ = 0;                   // strand only: length of the body to read next
    bool readPaused_ = false;                     // strand only
    Message body_;                                // strand only
    std::vector<Message> inFlight_;               // strand only: frames being written
    std::vector<std::uint32_t> inFlightHeaders_;  // strand only
    std::size_t inFlightBytes_ = 0;               // strand only

    boost::mutex queueMutex_;
    boost::condition_variable queueRoom_;  // signalled as frames are written or dropped
    std::deque<Message> queue_;            // queueMutex_
    std::size_t queuedBytes_ = 0;          // queueMutex_: queue_ and inFlight_
    bool writing_ = false;                 // queueMutex_: a write chain is running
    LinkState state_ = LinkState::Idle;    // queueMutex_
};

}  // namespace Ostra

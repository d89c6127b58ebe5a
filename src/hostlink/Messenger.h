#pragma once

#include <boost/asio.hpp>
#include <boost/thread.hpp>
#include <cstdint>

#include "hostlink/Message.h"

namespace Ostra {

// Frames bodies longer than this close the connection like a read error; the
// helper never allocates a hostile 4 GiB body.
constexpr std::uint32_t kMaxFrameLength = 64u * 1024u * 1024u;

// Owns the one TCP connection to the host and its two threads. Every socket
// operation (connect completion, reads, sends, close) runs on the strand, so
// the socket is never touched by two threads at once. sendMessage may be
// called from any thread.
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
    // Closes the connection and joins the connection threads.
    void stop();
    bool isStarted();
    // Queues a copy of the message; frames leave whole and in posting order.
    void sendMessage(const Message& message);
    void sendMessage(Message&& message);

  private:
    void handle_connect(const boost::system::error_code& error);
    void do_read_header();
    void handle_header_read(const boost::system::error_code& error);
    void do_read_body();
    void handle_body_read(const boost::system::error_code& error);
    void do_send_message(const Message& message);
    void do_close();

    unsigned short port_;
    boost::asio::io_service service_;
    boost::asio::io_service::strand strand_;
    boost::asio::ip::tcp::socket socket_;
    boost::thread_group threads_;
    MessageHandler* handler_;
    std::uint32_t header_ = 0;  // strand only
    Message body_;              // strand only
};

}  // namespace Ostra

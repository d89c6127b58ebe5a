#include "hostlink/Messenger.h"

#include <boost/bind/bind.hpp>
#include <boost/endian/conversion.hpp>
#include <iostream>

namespace Ostra {

namespace asio = boost::asio;

Messenger::Messenger(unsigned short port, MessageHandler* handler)
    : port_(port), strand_(service_), socket_(service_), handler_(handler) {}

Messenger::~Messenger() {
    stop();
}

bool Messenger::start() {
    if (threads_.size() != 0) return false;
    asio::ip::tcp::endpoint endpoint(asio::ip::address_v4::loopback(), port_);
    socket_.async_connect(endpoint,
                          asio::bind_executor(strand_, boost::bind(&Messenger::handle_connect, this,
                                                                   asio::placeholders::error)));
    for (int i = 0; i < 2; ++i) {
        threads_.create_thread([this] {
            // A failing handler must not take the connection thread down.
            for (;;) {
                try {
                    service_.run();
                    return;
                } catch (const std::exception& e) {
                    std::cerr << "Exception: " << e.what() << std::endl;
                }
            }
        });
    }
    return true;
}

void Messenger::stop() {
    if (threads_.size() == 0) return;
    strand_.post(boost::bind(&Messenger::do_close, this));
    threads_.join_all();
}

bool Messenger::isStarted() {
    return !service_.stopped();
}

void Messenger::sendMessage(const Message& message) {
    strand_.post([this, message] { do_send_message(message); });
}

void Messenger::sendMessage(Message&& message) {
    strand_.post([this, message = std::move(message)] { do_send_message(message); });
}

void Messenger::handle_connect(const boost::system::error_code& error) {
    if (error) return;
    // Frames are written whole; without this a large frame's last segment
    // waits for the host's delayed acknowledgement.
    boost::system::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    do_read_header();
}

// Read completions are bound to the strand as their executor rather than
// wrapped: with a wrapped handler, the composed read's completion could be
// lost while sends were being posted to the same strand, leaving the
// connection silent with data waiting.
void Messenger::do_read_header() {
    asio::async_read(socket_, asio::buffer(&header_, sizeof header_),
                     asio::bind_executor(strand_, boost::bind(&Messenger::handle_header_read, this,
                                                              asio::placeholders::error)));
}

void Messenger::handle_header_read(const boost::system::error_code& error) {
    if (error) return do_close();
    boost::endian::little_to_native_inplace(header_);
    if (header_ > kMaxFrameLength) return do_close();
    do_read_body();
}

void Messenger::do_read_body() {
    body_.setSize(header_);
    asio::async_read(socket_, asio::buffer(body_.data(), body_.getSize()),
                     asio::bind_executor(strand_, boost::bind(&Messenger::handle_body_read, this,
                                                              asio::placeholders::error)));
}

void Messenger::handle_body_read(const boost::system::error_code& error) {
    if (error) return do_close();
    if (handler_ != nullptr) {
        MessageHandler* handler = handler_;
        asio::post(service_, [handler, copy = body_] { handler->handleMessageReceived(copy); });
    }
    do_read_header();
}

void Messenger::do_send_message(const Message& message) {
    if (!socket_.is_open()) return;
    std::uint32_t length =
        boost::endian::native_to_little(static_cast<std::uint32_t>(message.getSize()));
    std::array<asio::const_buffer, 2> buffers = {asio::buffer(&length, sizeof length),
                                                 asio::buffer(message.data(), message.getSize())};
    boost::system::error_code error;
    asio::write(socket_, buffers, error);
    // A connection that failed a write is unusable: close it and carry on as
    // after a read error.
    if (error) do_close();
}

void Messenger::do_close() {
    boost::system::error_code ignored;
    if (socket_.is_open()) socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

}  // namespace Ostra

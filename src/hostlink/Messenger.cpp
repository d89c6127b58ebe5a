#include "hostlink/Messenger.h"

#include <boost/bind/bind.hpp>
#include <boost/endian/conversion.hpp>
#include <string>

#include "util/Trace.h"

namespace Ostra {

namespace asio = boost::asio;

namespace {

// Frames gathered into one write: enough to make a burst of small replies
// cheap, few enough to keep each write's buffer list short.
constexpr std::size_t kFramesPerWrite = 32;

std::size_t frameBytes(const Message& message) {
    return 4 + message.getSize();
}

}  // namespace

Messenger::Messenger(unsigned short port, MessageHandler* handler)
    : port_(port), strand_(service_), socket_(service_), handler_(handler) {}

Messenger::~Messenger() {
    stop();
}

bool Messenger::start() {
    if (threads_.size() != 0) return false;
    {
        boost::lock_guard<boost::mutex> lock(queueMutex_);
        state_ = LinkState::Connecting;
    }
    // Reading may pause with no operation outstanding; the threads must
    // still be there to resume it.
    work_.reset(new asio::io_service::work(service_));
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
                    util::writeErrorLine(std::string("Exception: ") + e.what() + "\n");
                }
            }
        });
    }
    return true;
}

// The queue is closed first, so that nothing more is accepted and no sender
// keeps waiting; the socket is then closed on the strand, which never waits
// on the host, so the threads end promptly whatever the host does.
void Messenger::stop() {
    if (threads_.size() == 0) return;
    close_queue();
    asio::post(strand_, [this] { do_close(); });
    work_.reset();
    threads_.join_all();
}

bool Messenger::isStarted() {
    return !service_.stopped();
}

void Messenger::sendMessage(const Message& message) {
    sendMessage(Message(message));
}

void Messenger::sendMessage(Message&& message) {
    // A length that does not fit the frame bound (or would wrap the 32-bit
    // length field) is never written.
    if (message.getSize() > kMaxFrameLength) return;
    // A connection thread must not wait: it is what drains the queue.
    const bool mayWait = !service_.get_executor().running_in_this_thread();
    const std::size_t size = frameBytes(message);
    boost::unique_lock<boost::mutex> lock(queueMutex_);
    const auto live = [this] {
        return state_ == LinkState::Connecting || state_ == LinkState::Open;
    };
    while (mayWait && live() && queuedBytes_ > 0 && queuedBytes_ + size > kMaxQueuedBytes)
        queueRoom_.wait(lock);
    if (!live()) return;
    queuedBytes_ += size;
    queue_.push_back(std::move(message));
    if (state_ == LinkState::Open && !writing_) {
        writing_ = true;
        asio::post(strand_, [this] { do_write(); });
    }
}

void Messenger::resumeReading() {
    asio::post(strand_, [this] {
        if (readPaused_) try_read_body();
    });
}

void Messenger::handle_connect(const boost::system::error_code& error) {
    if (error) return do_close();
    // Frames are written whole; without this a large frame's last segment
    // waits for the host's delayed acknowledgement.
    boost::system::error_code ignored;
    socket_.set_option(asio::ip::tcp::no_delay(true), ignored);
    bool write = false;
    {
        boost::lock_guard<boost::mutex> lock(queueMutex_);
        if (state_ != LinkState::Connecting) return;  // stopped meanwhile
        state_ = LinkState::Open;
        if (!queue_.empty() && !writing_) write = writing_ = true;
    }
    if (write) do_write();
    do_read_header();
}

// Completions are bound to the strand as their executor rather than wrapped:
// with a wrapped handler, the composed read's completion could be lost while
// writes were being posted to the same strand, leaving the connection silent
// with data waiting.
void Messenger::do_read_header() {
    asio::async_read(socket_, asio::buffer(&header_, sizeof header_),
                     asio::bind_executor(strand_, boost::bind(&Messenger::handle_header_read, this,
                                                              asio::placeholders::error)));
}

void Messenger::handle_header_read(const boost::system::error_code& error) {
    if (error) return do_close();
    boost::endian::little_to_native_inplace(header_);
    if (header_ > kMaxFrameLength) return do_close();
    pending_ = header_;
    try_read_body();
}

// The body is read only while the host drains the responses and the handler
// has room for the request, so neither side can make the helper pile up
// memory; reading resumes from handle_write or resumeReading.
void Messenger::try_read_body() {
    readPaused_ = false;
    {
        boost::lock_guard<boost::mutex> lock(queueMutex_);
        if (state_ != LinkState::Open) return;
        if (queuedBytes_ >= kMaxQueuedBytes) {
            readPaused_ = true;
            return;
        }
    }
    if (handler_ != nullptr && !handler_->reserveFrame(pending_)) {
        readPaused_ = true;
        return;
    }
    body_ = Message(pending_);
    asio::async_read(socket_, asio::buffer(body_.data(), body_.getSize()),
                     asio::bind_executor(strand_, boost::bind(&Messenger::handle_body_read, this,
                                                              asio::placeholders::error)));
}

void Messenger::handle_body_read(const boost::system::error_code& error) {
    if (error) {
        if (handler_ != nullptr) handler_->cancelFrame(pending_);
        return do_close();
    }
    if (handler_ != nullptr) {
        // The body moves on with the call, so no buffer of the largest frame
        // ever read stays behind.
        MessageHandler* handler = handler_;
        auto body = std::make_shared<Message>(std::move(body_));
        asio::post(service_, [handler, body] { handler->handleMessageReceived(*body); });
    }
    body_ = Message();
    do_read_header();
}

void Messenger::do_write() {
    {
        boost::lock_guard<boost::mutex> lock(queueMutex_);
        if (state_ != LinkState::Open || queue_.empty()) {
            writing_ = false;
            return;
        }
        while (!queue_.empty() && inFlight_.size() < kFramesPerWrite) {
            inFlightBytes_ += frameBytes(queue_.front());
            inFlight_.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
    }
    std::vector<asio::const_buffer> buffers;
    buffers.reserve(2 * inFlight_.size());
    inFlightHeaders_.resize(inFlight_.size());
    for (std::size_t i = 0; i < inFlight_.size(); ++i) {
        inFlightHeaders_[i] =
            boost::endian::native_to_little(static_cast<std::uint32_t>(inFlight_[i].getSize()));
        buffers.push_back(asio::buffer(&inFlightHeaders_[i], sizeof inFlightHeaders_[i]));
        buffers.push_back(asio::buffer(inFlight_[i].data(), inFlight_[i].getSize()));
    }
    asio::async_write(socket_, buffers,
                      asio::bind_executor(strand_, boost::bind(&Messenger::handle_write, this,
                                                               asio::placeholders::error)));
}

void Messenger::handle_write(const boost::system::error_code& error) {
    {
        boost::lock_guard<boost::mutex> lock(queueMutex_);
        queuedBytes_ -= inFlightBytes_;
    }
    queueRoom_.notify_all();
    inFlight_.clear();
    inFlightHeaders_.clear();
    inFlightBytes_ = 0;
    // A connection that failed a write is unusable: close it and carry on as
    // after a read error.
    if (error) return do_close();
    if (readPaused_) try_read_body();
    do_write();
}

void Messenger::close_queue() {
    {
        boost::lock_guard<boost::mutex> lock(queueMutex_);
        state_ = LinkState::Closed;
        for (const Message& message : queue_) queuedBytes_ -= frameBytes(message);
        queue_.clear();
    }
    queueRoom_.notify_all();
}

void Messenger::do_close() {
    close_queue();
    readPaused_ = false;
    boost::system::error_code ignored;
    if (socket_.is_open()) socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

}  // namespace Ostra

#pragma once

#include <boost/asio.hpp>
#include <string>
#include <unordered_map>

#include "hostlink/Message.h"
#include "hostlink/Messenger.h"
#include "hostlink/RequestBudget.h"
#include "hostlink/RequestHandler.h"
#include "hostlink/WorkerPool.h"

namespace Ostra {

// The memory requests may hold between being read and being finished,
// queued ones and running ones together: room for a request of the largest
// admitted size (a full frame plus its largest decoded form) beside small
// ones, so that a long command with a small argument never holds it back.
constexpr std::size_t kMaxRequestMemory =
    kMaxFrameLength + kMaxDecodedRequestBytes + 32u * 1024u * 1024u;

// Owns the connection, the worker pool and every registered handler. Handlers
// are registered on the main thread before start(); afterwards the table is
// only read (handleMessageReceived runs on both connection threads).
class Dispatcher : public MessageHandler {
  public:
    explicit Dispatcher(unsigned short port);
    ~Dispatcher() override;

    void handleMessageReceived(const Message& message) override;
    bool reserveFrame(std::uint32_t length) override;
    void cancelFrame(std::uint32_t length) override;
    // Takes ownership when Setup() succeeds; false on refusal or a name clash.
    virtual bool registerHandler(RequestHandler* handler);
    virtual void unregisterHandlers();
    virtual bool start();
    virtual void stop();

    // What reading a frame of `length` bytes and decoding it may hold at most.
    static std::size_t frameReservation(std::size_t length);

  private:
    // Declared first: request copies destroyed with the pool give back to it.
    RequestBudget budget_;
    Messenger messenger_;
    WorkerPool pool_;
    boost::asio::io_service::strand strand_;
    std::unordered_map<std::string, RequestHandler*> table_;
};

}  // namespace Ostra

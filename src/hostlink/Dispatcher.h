#pragma once

#include <boost/asio.hpp>
#include <string>
#include <unordered_map>

#include "hostlink/Message.h"
#include "hostlink/Messenger.h"
#include "hostlink/RequestHandler.h"
#include "hostlink/WorkerPool.h"

namespace Ostra {

// Owns the connection, the worker pool and every registered handler. Handlers
// are registered on the main thread before start(); afterwards the table is
// only read (handleMessageReceived runs on both connection threads).
class Dispatcher : public MessageHandler {
  public:
    explicit Dispatcher(unsigned short port);
    ~Dispatcher() override;

    void handleMessageReceived(const Message& message) override;
    // Takes ownership when Setup() succeeds; false on refusal or a name clash.
    virtual bool registerHandler(RequestHandler* handler);
    virtual void unregisterHandlers();
    virtual bool start();
    virtual void stop();

  private:
    Messenger messenger_;
    WorkerPool pool_;
    boost::asio::io_service::strand strand_;
    std::unordered_map<std::string, RequestHandler*> table_;
};

}  // namespace Ostra

#include "hostlink/Dispatcher.h"

#include <boost/bind/bind.hpp>
#include <limits>
#include <unordered_set>

namespace Ostra {

Dispatcher::Dispatcher(unsigned short port)
    : messenger_(port, nullptr), strand_(pool_.service()), table_(100) {
    messenger_.setHandler(this);
}

Dispatcher::~Dispatcher() {
    // Threads still running would use handlers about to be deleted: stop them
    // first (stopping twice is harmless).
    stop();
    unregisterHandlers();
}

bool Dispatcher::registerHandler(RequestHandler* handler) {
    if (handler == nullptr || !handler->Setup()) return false;
    for (unsigned long i = 0; i < handler->getNumCommandNames(); ++i) {
        if (!table_.emplace(handler->getCommandName(i), handler).second) return false;
    }
    return true;
}

void Dispatcher::unregisterHandlers() {
    std::unordered_set<RequestHandler*> handlers;
    for (const auto& entry : table_) handlers.insert(entry.second);
    table_.clear();
    for (RequestHandler* handler : handlers) {
        handler->Teardown();
        delete handler;
    }
}

bool Dispatcher::start() {
    pool_.start(std::numeric_limits<unsigned long>::max());
    return messenger_.start();
}

void Dispatcher::stop() {
    messenger_.stop();
    pool_.stop();
}

void Dispatcher::handleMessageReceived(const Message& message) {
    Request request(messenger_);
    if (!request.parseMessage(message)) return;
    auto found = table_.find(request.CommandName());
    if (found == table_.end()) {
        amf::amf_string reply("Error: Unknown command \"" + std::string(request.CommandName()) +
                              "\"");
        request.SendResponseData(&reply, true);
        return;
    }
    RequestHandler* handler = found->second;
    auto work = [handler, request]() mutable { handler->startProcessingRequest(request); };
    if (handler->mustSerialize()) {
        boost::asio::post(pool_.service(), strand_.wrap(std::move(work)));
    } else {
        boost::asio::post(pool_.service(), std::move(work));
    }
}

}  // namespace Ostra

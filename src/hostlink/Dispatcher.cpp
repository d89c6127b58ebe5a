#include "hostlink/Dispatcher.h"

#include <algorithm>
#include <boost/bind/bind.hpp>
#include <limits>
#include <unordered_set>

namespace Ostra {

Dispatcher::Dispatcher(unsigned short port)
    : budget_(kMaxRequestMemory), messenger_(port, nullptr), strand_(pool_.service()), table_(100) {
    messenger_.setHandler(this);
    budget_.setWakeUp([this] { messenger_.resumeReading(); });
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

std::size_t Dispatcher::frameReservation(std::size_t length) {
    return length +
           std::min(amf::kDecodeCostPerByte * length + amf::kDecodeSlack, kMaxDecodedRequestBytes);
}

bool Dispatcher::reserveFrame(std::uint32_t length) {
    return budget_.tryTake(frameReservation(length));
}

void Dispatcher::cancelFrame(std::uint32_t length) {
    budget_.give(frameReservation(length));
}

void Dispatcher::handleMessageReceived(const Message& message) {
    Request request(messenger_);
    const bool parsed = request.parseMessage(message);
    // What the request really holds replaces the reservation made for it.
    if (parsed) request.holdWhileAlive(budget_.hold(request.decodedBytes()));
    budget_.give(frameReservation(message.getSize()));
    if (!parsed) {
        if (request.refusedAsTooLarge()) request.SendErrorResponse("request too large to decode");
        return;
    }
    // The whole name is looked up: "version" followed by a NUL byte and more
    // is not "version".
    auto found = table_.find(request.commandText());
    if (found == table_.end()) {
        amf::amf_string reply("Error: Unknown command \"" + request.commandText() + "\"");
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

// A real Request whose Messenger is connected over loopback TCP to a socket
// the test reads, so processors and scanners run unchanged in-process.
#pragma once

#include <boost/asio.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "hostlink/Messenger.h"
#include "hostlink/Request.h"
#include "support/TestHost.h"

namespace scantest {

using testsupport::Value;

class LoopbackRequest {
  public:
    LoopbackRequest();
    ~LoopbackRequest();

    Ostra::Request& request() { return *request_; }
    // Responses up to and including the first with "done" true.
    std::vector<Value> responsesUntilDone(
        std::chrono::milliseconds timeout = std::chrono::seconds(30));

  private:
    boost::asio::io_service service_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::socket socket_;
    std::unique_ptr<Ostra::Messenger> messenger_;
    std::unique_ptr<Ostra::Request> request_;
};

// The "data" entries of every response, in order, all batches run together.
std::vector<const amf::amf0_data_type*> allEntries(const std::vector<Value>& responses);
// Entries whose "objectType" is the given text.
std::vector<const amf::amf0_data_type*> entriesOfType(const std::vector<Value>& responses,
                                                      const std::string& objectType);
const amf::amf0_data_type* reportOf(const std::vector<Value>& responses);

}  // namespace scantest

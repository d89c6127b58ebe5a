// A real Request whose Messenger is connected over loopback TCP to a test
// host, so processors and scanners run unchanged in-process.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "hostlink/Messenger.h"
#include "hostlink/Request.h"
#include "support/TestHost.h"

namespace scantest {

using testsupport::Value;
typedef std::vector<std::string> Texts;

class LoopbackRequest {
  public:
    LoopbackRequest();
    ~LoopbackRequest();

    Ostra::Request& request() { return *request_; }
    // Responses up to and including the first with "done" true.
    std::vector<Value> responsesUntilDone();

  private:
    testsupport::TestHost host_;
    std::unique_ptr<Ostra::Messenger> messenger_;
    std::unique_ptr<Ostra::Request> request_;
};

// The "data" entries of every response, in order, all batches run together.
std::vector<const amf::amf0_data_type*> allEntries(const std::vector<Value>& responses);
// Entries whose "objectType" is the given text.
std::vector<const amf::amf0_data_type*> entriesOfType(const std::vector<Value>& responses,
                                                      const std::string& objectType);
const amf::amf0_data_type* reportOf(const std::vector<Value>& responses);
// The song ids a playlist record names, in order.
Texts songsOf(const amf::amf0_data_type* playlist);

}  // namespace scantest

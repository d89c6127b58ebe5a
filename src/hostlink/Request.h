#pragma once

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/shared_ptr.hpp>
#include <string>

#include "amf/amf0.h"
#include "hostlink/Message.h"

namespace Ostra {

class Messenger;

// One command from the host and the only way a handler answers it. A value
// type: the dispatcher copies it into the queued work item, and copies share
// the parsed parameter, which nobody modifies after parsing. One request is
// used by one thread at a time.
class Request {
  public:
    explicit Request(Messenger& messenger);

    // False when the body is not an object with a string "cmd" and a numeric "id".
    bool parseMessage(const Message& message);
    const char* CommandName() const { return command_.c_str(); }
    double Id() const { return id_; }
    // Borrowed; null when the request carried no "arg".
    const amf::amf0_data_type* Parameter() const { return parameter_.get(); }
    void work_started();

    // Sends {"data": copy of data (null when data is null), "done", "duration", "id"}.
    void SendResponseData(const amf::amf0_data_type* data, bool done);
    // Sends {"error": message} with done true.
    void SendErrorResponse(const std::string& message);

  private:
    bool encodeAndSend(const amf::amf0_data_type* data, bool done, double duration);

    Messenger* messenger_;
    std::string command_;
    double id_ = 0;
    boost::shared_ptr<amf::amf0_data_type> parameter_;
    boost::posix_time::ptime start_;
};

}  // namespace Ostra

#pragma once

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cstddef>
#include <memory>
#include <string>

#include "amf/amf0.h"
#include "hostlink/Message.h"

namespace Ostra {

class Messenger;

// The most memory a decoded request may hold. A frame within the frame bound
// whose decoded form would take more (only frames past about 20 MiB of the
// most fragmented shapes can) is answered with an error instead.
constexpr std::size_t kMaxDecodedRequestBytes = 256u * 1024u * 1024u;

// One command from the host and the only way a handler answers it. A value
// type: the dispatcher copies it into the queued work item, and copies share
// the parsed parameter, which nobody modifies after parsing. One request is
// used by one thread at a time.
class Request {
  public:
    explicit Request(Messenger& messenger);

    // False when the body is not an object with a string "cmd" and a numeric
    // "id", or when decoding it would take more than maxDecoded bytes
    // (refusedAsTooLarge() then tells a valid envelope from garbage).
    bool parseMessage(const Message& message, std::size_t maxDecoded = kMaxDecodedRequestBytes);
    const char* CommandName() const { return command_.c_str(); }
    // The whole name: a NUL byte in it is part of the name, not its end.
    const std::string& commandText() const { return command_; }
    double Id() const { return id_; }
    // Borrowed; null when the request carried no "arg".
    const amf::amf0_data_type* Parameter() const { return parameter_.get(); }
    // The memory the decoded parameter holds.
    std::size_t decodedBytes() const { return decoded_; }
    // A valid envelope whose parameter was too large to decode; its name and
    // id are set, so it can still be answered.
    bool refusedAsTooLarge() const { return tooLarge_; }
    // Keeps token alive until the last copy of this request is gone.
    void holdWhileAlive(std::shared_ptr<void> token) { hold_ = std::move(token); }
    void work_started();

    // Sends {"data": copy of data (null when data is null), "done", "duration", "id"}.
    void SendResponseData(const amf::amf0_data_type* data, bool done);
    // Sends {"error": message} with done true.
    void SendErrorResponse(const std::string& message);

  private:
    bool readEnvelopeOnly(const Message& message);
    bool encodeAndSend(const amf::amf0_data_type* data, bool done, double duration);

    Messenger* messenger_;
    std::string command_;
    double id_ = 0;
    bool tooLarge_ = false;
    std::size_t decoded_ = 0;
    // Declared before the parameter, so the last copy releases the
    // parameter first and then what holds its memory in the budget.
    std::shared_ptr<void> hold_;
    std::shared_ptr<const amf::amf0_data_type> parameter_;
    boost::posix_time::ptime start_;
};

}  // namespace Ostra

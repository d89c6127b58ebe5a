#include "hostlink/Request.h"

#include <memory>

#include "hostlink/Messenger.h"

namespace Ostra {

namespace pt = boost::posix_time;

Request::Request(Messenger& messenger) : messenger_(&messenger), start_(pt::not_a_date_time) {}

bool Request::parseMessage(const Message& message) {
    std::unique_ptr<amf::amf0_data_type> root(amf::decode(message.data(), message.end()));
    if (!root || root->get_type() != amf::AMF_OBJECT) return false;
    const auto* envelope = static_cast<const amf::amf_object*>(root.get());
    const amf::amf0_data_type* cmd = envelope->get_property("cmd");
    if (cmd == nullptr || cmd->get_type() != amf::AMF_STRING) return false;
    const amf::amf0_data_type* id = envelope->get_property("id");
    if (id == nullptr || id->get_type() != amf::AMF_NUMBER) return false;
    command_ = static_cast<const amf::amf_string*>(cmd)->get_value();
    id_ = static_cast<const amf::amf_numeric*>(id)->get_value();
    const amf::amf0_data_type* arg = envelope->get_property("arg");
    parameter_.reset(arg ? arg->clone() : nullptr);
    return true;
}

void Request::work_started() {
    start_ = pt::microsec_clock::local_time();
}

void Request::SendResponseData(const amf::amf0_data_type* data, bool done) {
    amf::amf_object envelope;
    envelope.set_bool_property("done", done);
    envelope.set_numeric_property("id", id_);
    amf::amf_null null;
    envelope.set_property("data", data ? data : &null);
    double duration = 0;
    if (!start_.is_special()) {
        pt::time_duration elapsed = pt::microsec_clock::local_time() - start_;
        duration = static_cast<double>(elapsed.total_microseconds() / 1000);
    }
    envelope.set_numeric_property("duration", duration);
    if (encodeAndSend(envelope)) return;

    // The payload cannot be encoded (a short string past its limit): the host
    // still gets a decodable final answer for this id.
    amf::amf_object error;
    error.set_string_property("error", "response could not be encoded");
    envelope.set_property("data", &error);
    envelope.set_bool_property("done", true);
    encodeAndSend(envelope);
}

void Request::SendErrorResponse(const std::string& message) {
    amf::amf_object error;
    error.set_string_property("error", message);
    SendResponseData(&error, true);
}

bool Request::encodeAndSend(const amf::amf_object& envelope) {
    Message frame(amf::get_size(&envelope));
    if (!amf::encode(frame.data(), frame.end(), &envelope)) return false;
    messenger_->sendMessage(frame);
    return true;
}

}  // namespace Ostra

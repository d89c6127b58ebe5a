#include "hostlink/Request.h"

#include <memory>
#include <optional>

#include "amf/access.h"
#include "hostlink/Messenger.h"

namespace Ostra {

namespace pt = boost::posix_time;

Request::Request(Messenger& messenger) : messenger_(&messenger), start_(pt::not_a_date_time) {}

bool Request::parseMessage(const Message& message, std::size_t maxDecoded) {
    tooLarge_ = false;
    const unsigned char* p = message.data();
    std::size_t held = 0;
    std::unique_ptr<amf::amf0_data_type> root(
        amf::decode_bounded(p, message.end(), maxDecoded, &held));
    if (!root) {
        tooLarge_ = readEnvelopeOnly(message);
        return false;
    }
    if (amf::asObject(root.get()) == nullptr) return false;
    auto* envelope = static_cast<amf::amf_object*>(root.get());
    const std::string* cmd = amf::getString(*envelope, "cmd");
    const std::optional<double> id = amf::getNumber(*envelope, "id");
    if (cmd == nullptr || !id) return false;
    command_ = *cmd;
    id_ = *id;
    // Taken out of the envelope rather than copied, so a large parameter is
    // never held twice.
    parameter_ = envelope->take_property("arg");
    decoded_ = held;
    return true;
}

// Finds "cmd" and "id" in an envelope without building its values; true when
// the body is a valid envelope.
bool Request::readEnvelopeOnly(const Message& message) {
    const unsigned char* p = message.data();
    const unsigned char* end = message.end();
    // The whole body first, with the nesting counted from the envelope as
    // decoding counts it: an argument too deep inside it does not decode at
    // any size, and is no envelope refused for its size.
    const unsigned char* whole = p;
    if (!amf::skip_value(whole, end)) return false;
    if (message.getSize() == 0 || *p++ != amf::AMF_OBJECT) return false;
    bool haveCmd = false, haveId = false;
    for (;;) {
        if (end - p < 2) return false;
        const std::size_t length = (std::size_t(p[0]) << 8) | p[1];
        p += 2;
        if (static_cast<std::size_t>(end - p) < length + (length == 0 ? 1 : 0)) return false;
        if (length == 0) {
            if (*p != amf::AMF_OBJECT_END) return false;
            break;
        }
        const std::string key(reinterpret_cast<const char*>(p), length);
        p += length;
        const unsigned char* value = p;
        if (!amf::skip_value(p, end)) return false;
        if ((key == "cmd" && *value == amf::AMF_STRING) ||
            (key == "id" && *value == amf::AMF_NUMBER)) {
            std::unique_ptr<amf::amf0_data_type> small(amf::decode(value, p));
            if (!small) return false;
            if (key == "cmd") {
                command_ = static_cast<const amf::amf_string*>(small.get())->get_value();
                haveCmd = true;
            } else {
                id_ = static_cast<const amf::amf_numeric*>(small.get())->get_value();
                haveId = true;
            }
        } else if (key == "cmd") {
            haveCmd = false;
        } else if (key == "id") {
            haveId = false;
        }
    }
    return haveCmd && haveId;
}

void Request::work_started() {
    start_ = pt::microsec_clock::local_time();
}

void Request::SendResponseData(const amf::amf0_data_type* data, bool done) {
    double duration = 0;
    if (!start_.is_special()) {
        pt::time_duration elapsed = pt::microsec_clock::local_time() - start_;
        duration = static_cast<double>(elapsed.total_microseconds() / 1000);
    }
    amf::amf_null null;
    if (encodeAndSend(data ? data : &null, done, duration)) return;

    // The payload cannot be encoded (a short string past its limit): the host
    // still gets a decodable final answer for this id.
    amf::amf_object error;
    error.set_string_property("error", "response could not be encoded");
    encodeAndSend(&error, true, duration);
}

void Request::SendErrorResponse(const std::string& message) {
    amf::amf_object error;
    error.set_string_property("error", message);
    SendResponseData(&error, true);
}

// The envelope {"data", "done", "duration", "id"} is written directly around
// the caller's payload, in the key order an amf_object would use, so a large
// batch is encoded once instead of being deep-copied into an envelope first.
bool Request::encodeAndSend(const amf::amf0_data_type* data, bool done, double duration) {
    const amf::amf_boolean doneValue(done);
    const amf::amf_numeric durationValue(duration);
    const amf::amf_numeric idValue(id_);
    const std::pair<const char*, const amf::amf0_data_type*> entries[] = {
        {"data", data}, {"done", &doneValue}, {"duration", &durationValue}, {"id", &idValue}};
    std::size_t size = 1 + 3;
    for (const auto& entry : entries)
        size += 2 + std::char_traits<char>::length(entry.first) + amf::get_size(entry.second);
    // The host refuses longer frames, and the 32-bit length would wrap.
    if (size > kMaxFrameLength) return false;
    Message frame(size);
    unsigned char* p = frame.data();
    const unsigned char* end = frame.end();
    *p++ = amf::AMF_OBJECT;
    for (const auto& entry : entries) {
        std::size_t keyLength = std::char_traits<char>::length(entry.first);
        *p++ = 0;
        *p++ = static_cast<unsigned char>(keyLength);
        std::copy(entry.first, entry.first + keyLength, p);
        p += keyLength;
        if (!amf::encode_and_step(p, end, entry.second)) return false;
    }
    *p++ = 0;
    *p++ = 0;
    *p++ = amf::AMF_OBJECT_END;
    messenger_->sendMessage(std::move(frame));
    return true;
}

}  // namespace Ostra

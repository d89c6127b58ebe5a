#include "host/client/Frame.h"

#include <stdexcept>

namespace Ostra::host {

std::string encodeValue(const amf::amf0_data_type& value) {
    std::string body(amf::get_size(&value), '\0');
    auto* p = reinterpret_cast<unsigned char*>(&body[0]);
    if (!amf::encode(p, p + body.size(), &value))
        throw std::runtime_error("the value cannot be encoded as AMF0");
    return body;
}

std::string frameOfBody(const std::string& body) {
    std::string out(4, '\0');
    const auto n = static_cast<std::uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    return out + body;
}

std::string frame(const amf::amf0_data_type& value) {
    return frameOfBody(encodeValue(value));
}

std::uint32_t frameLength(const unsigned char header[4]) {
    return header[0] | header[1] << 8 | header[2] << 16 | std::uint32_t(header[3]) << 24;
}

amf::amf_object makeRequest(const std::string& command, double id, const amf::amf0_data_type* arg) {
    amf::amf_object request;
    request.set_string_property("cmd", command);
    request.set_numeric_property("id", id);
    if (arg != nullptr) request.set_property("arg", arg);
    return request;
}

amf::amf_ecma_array stringArray(const std::vector<std::string>& items) {
    amf::amf_ecma_array array;
    for (const auto& item : items) {
        amf::amf_string text(item);
        array.push_back(&text);
    }
    return array;
}

}  // namespace Ostra::host

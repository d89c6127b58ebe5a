// AMF0 decoding and request parsing on arbitrary bytes. Whatever decodes must
// encode again to bytes that decode to the same value.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "amf/amf0.h"
#include "hostlink/Messenger.h"
#include "hostlink/Request.h"

namespace {

bool holdsOverlongShortString(const amf::amf0_data_type* v) {
    switch (v->get_type()) {
        case amf::AMF_STRING:
            return static_cast<const amf::amf_string*>(v)->get_value().size() >
                   amf::kMaxShortStringLength;
        case amf::AMF_OBJECT:
        case amf::AMF_ECMA_ARRAY: {
            const amf::amf_map& m = v->get_type() == amf::AMF_OBJECT
                                        ? static_cast<const amf::amf_object*>(v)->get_value()
                                        : static_cast<const amf::amf_ecma_array*>(v)->get_value();
            for (const auto& e : m) {
                if (e.first.get_value().size() > amf::kMaxShortStringLength ||
                    holdsOverlongShortString(e.second))
                    return true;
            }
            return false;
        }
        case amf::AMF_STRICT_ARRAY:
            for (const auto* e : static_cast<const amf::amf_strict_array*>(v)->get_value())
                if (holdsOverlongShortString(e)) return true;
            return false;
        default:
            return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::unique_ptr<amf::amf0_data_type> value(amf::decode(data, data + size));
    // Whatever decodes does so within the memory bound the request budget
    // relies on, and skip_value accepts exactly what decode accepts.
    const unsigned char* bounded = data;
    std::unique_ptr<amf::amf0_data_type> again(
        amf::decode_bounded(bounded, data + size, std::numeric_limits<std::size_t>::max()));
    const unsigned char* skipped = data;
    if (!value != !again || !value != !amf::skip_value(skipped, data + size)) std::abort();
    if (value) {
        std::vector<unsigned char> out(amf::get_size(value.get()));
        bool encoded = amf::encode(out.data(), out.data() + out.size(), value.get());
        if (encoded == holdsOverlongShortString(value.get())) std::abort();
        if (encoded) {
            std::unique_ptr<amf::amf0_data_type> again(
                amf::decode(out.data(), out.data() + out.size()));
            if (!again) std::abort();
            std::vector<unsigned char> twice(amf::get_size(again.get()));
            if (!amf::encode(twice.data(), twice.data() + twice.size(), again.get()) ||
                twice != out)
                std::abort();
        }
    }
    static Ostra::Messenger messenger(1, nullptr);
    Ostra::Message message(size);
    if (size) std::copy(data, data + size, message.data());
    Ostra::Request request(messenger);
    request.parseMessage(message);
    return 0;
}

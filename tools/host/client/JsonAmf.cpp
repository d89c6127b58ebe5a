#include "host/client/JsonAmf.h"

#include <cmath>

namespace Ostra::host {

std::unique_ptr<amf::amf0_data_type> toAmf(const nlohmann::json& value) {
    switch (value.type()) {
        case nlohmann::json::value_t::object: {
            std::unique_ptr<amf::amf_object> object(new amf::amf_object());
            for (const auto& item : value.items()) {
                object->add_property(amf::amf_string(item.key()), toAmf(item.value()).release());
            }
            return object;
        }
        case nlohmann::json::value_t::array: {
            std::unique_ptr<amf::amf_ecma_array> array(new amf::amf_ecma_array());
            for (const auto& item : value) array->push_back(toAmf(item).get());
            return array;
        }
        case nlohmann::json::value_t::string: {
            const std::string& text = value.get_ref<const std::string&>();
            if (text.size() > amf::kMaxShortStringLength)
                return std::unique_ptr<amf::amf0_data_type>(new amf::amf_long_string(text));
            return std::unique_ptr<amf::amf0_data_type>(new amf::amf_string(text));
        }
        case nlohmann::json::value_t::boolean:
            return std::unique_ptr<amf::amf0_data_type>(new amf::amf_boolean(value.get<bool>()));
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
        case nlohmann::json::value_t::number_float:
            return std::unique_ptr<amf::amf0_data_type>(new amf::amf_numeric(value.get<double>()));
        default:
            return std::unique_ptr<amf::amf0_data_type>(new amf::amf_null());
    }
}

namespace {

nlohmann::json mapToJson(const amf::amf_map& map, bool maybeList) {
    // Every list the helper sends is an ECMA array, the empty one too.
    if (maybeList && map.empty()) return nlohmann::json::array();
    if (maybeList) {
        std::size_t i = 0;
        bool dense = true;
        for (const auto& entry : map) {
            (void)entry;
            if (map.count(amf::amf_string(std::to_string(i++))) == 0) {
                dense = false;
                break;
            }
        }
        if (dense) {
            nlohmann::json list = nlohmann::json::array();
            for (std::size_t k = 0; k < map.size(); ++k)
                list.push_back(toJson(map.find(amf::amf_string(std::to_string(k)))->second));
            return list;
        }
    }
    nlohmann::json object = nlohmann::json::object();
    for (const auto& entry : map) object[entry.first.get_value()] = toJson(entry.second);
    return object;
}

}  // namespace

nlohmann::json toJson(const amf::amf0_data_type* value) {
    if (value == nullptr) return nullptr;
    switch (value->get_type()) {
        case amf::AMF_NUMBER: {
            double d = static_cast<const amf::amf_numeric*>(value)->get_value();
            if (std::isfinite(d) && std::trunc(d) == d && std::fabs(d) < 9007199254740992.0)
                return static_cast<long long>(d);
            if (!std::isfinite(d)) return nullptr;
            return d;
        }
        case amf::AMF_BOOLEAN:
            return static_cast<const amf::amf_boolean*>(value)->get_value();
        case amf::AMF_STRING:
            return static_cast<const amf::amf_string*>(value)->get_value();
        case amf::AMF_LONG_STRING:
            return static_cast<const amf::amf_long_string*>(value)->get_value();
        case amf::AMF_OBJECT:
            return mapToJson(static_cast<const amf::amf_object*>(value)->get_value(), false);
        case amf::AMF_ECMA_ARRAY:
            return mapToJson(static_cast<const amf::amf_ecma_array*>(value)->get_value(), true);
        case amf::AMF_STRICT_ARRAY: {
            nlohmann::json list = nlohmann::json::array();
            for (const auto* v : static_cast<const amf::amf_strict_array*>(value)->get_value())
                list.push_back(toJson(v));
            return list;
        }
        default:
            return nullptr;
    }
}

std::string dumpLine(const nlohmann::json& value) {
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace Ostra::host

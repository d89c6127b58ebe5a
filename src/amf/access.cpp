#include "amf/access.h"

namespace amf {

namespace {

template <class T, AMF_TYPE Type>
const T* as(const amf0_data_type* value) {
    return value != nullptr && value->get_type() == Type ? static_cast<const T*>(value) : nullptr;
}

}  // namespace

const amf_object* asObject(const amf0_data_type* value) {
    return as<amf_object, AMF_OBJECT>(value);
}

const amf_ecma_array* asEcmaArray(const amf0_data_type* value) {
    // Not by the marker alone: an encode-only array shares it.
    return dynamic_cast<const amf_ecma_array*>(value);
}

const amf_strict_array* asStrictArray(const amf0_data_type* value) {
    return as<amf_strict_array, AMF_STRICT_ARRAY>(value);
}

const std::string* getString(const amf0_data_type* value) {
    const amf_string* text = as<amf_string, AMF_STRING>(value);
    return text != nullptr ? &text->get_value() : nullptr;
}

std::optional<double> getNumber(const amf0_data_type* value) {
    const amf_numeric* number = as<amf_numeric, AMF_NUMBER>(value);
    if (number == nullptr) return std::nullopt;
    return number->get_value();
}

std::optional<bool> getBool(const amf0_data_type* value) {
    const amf_boolean* flag = as<amf_boolean, AMF_BOOLEAN>(value);
    if (flag == nullptr) return std::nullopt;
    return flag->get_value();
}

const amf_object* asObject(const amf_property_map& map, const std::string& name) {
    return asObject(map.get_property(name));
}

const amf_ecma_array* asEcmaArray(const amf_property_map& map, const std::string& name) {
    return asEcmaArray(map.get_property(name));
}

const std::string* getString(const amf_property_map& map, const std::string& name) {
    return getString(map.get_property(name));
}

std::optional<double> getNumber(const amf_property_map& map, const std::string& name) {
    return getNumber(map.get_property(name));
}

std::optional<bool> getBool(const amf_property_map& map, const std::string& name) {
    return getBool(map.get_property(name));
}

}  // namespace amf

// Typed reads of AMF0 values. Each answers null (or nothing) when the value
// is absent or of another type, never throws, so a caller checks once
// instead of testing the marker and casting.
#pragma once

#include <optional>
#include <string>

#include "amf/amf0.h"

namespace amf {

const amf_object* asObject(const amf0_data_type* value);
const amf_ecma_array* asEcmaArray(const amf0_data_type* value);
const amf_strict_array* asStrictArray(const amf0_data_type* value);
// The text of a short string. A long string is not taken: the host sends
// its texts as short strings, and the commands read nothing else.
const std::string* getString(const amf0_data_type* value);
std::optional<double> getNumber(const amf0_data_type* value);
std::optional<bool> getBool(const amf0_data_type* value);

// The same, for the property `name` of an object or ECMA array.
const amf_object* asObject(const amf_property_map& map, const std::string& name);
const amf_ecma_array* asEcmaArray(const amf_property_map& map, const std::string& name);
const std::string* getString(const amf_property_map& map, const std::string& name);
std::optional<double> getNumber(const amf_property_map& map, const std::string& name);
std::optional<bool> getBool(const amf_property_map& map, const std::string& name);

}  // namespace amf

#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "amf/amf0.h"

namespace Ostra::host {

// JSON objects become AMF0 objects, arrays ECMA arrays keyed "0", "1", ...;
// texts past the short-string limit become long strings.
std::unique_ptr<amf::amf0_data_type> toAmf(const nlohmann::json& value);
// ECMA arrays whose keys are exactly "0".."n-1" (the empty one included) print
// as JSON arrays, other ECMA arrays as objects; integral numbers print without
// a fraction; numbers that are not finite print as null.
nlohmann::json toJson(const amf::amf0_data_type* value);
// One line of JSON; invalid UTF-8 in AMF0 texts is replaced, never fatal.
std::string dumpLine(const nlohmann::json& value);

}  // namespace Ostra::host

#pragma once

#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/GlobalOptions.h"
#include "host/Output.h"

namespace Ostra::host {

// Runs a command that answers once ("getSupportedExtensions", "systemInfo",
// "deviceId") and prints its data with `print`.
int runSingleAnswer(const GlobalOptions& options, const std::string& command,
                    const std::function<void(RecordWriter&, const nlohmann::json&)>& print,
                    std::vector<std::string> columns = {});

}  // namespace Ostra::host

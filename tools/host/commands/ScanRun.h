#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "host/Output.h"
#include "host/Session.h"

namespace Ostra::host {

// What one scan request ended with.
struct ScanOutcome {
    int status = kSuccess;
    nlohmann::json report;  // the report object; null when none arrived
};

// Runs one "scanDirectory" or "scanMediaLibs" request: records go to `out` as
// they arrive and advance `progress`; "scanMediaLibs" opens with the list of
// libraries, printed as a summary {"libraries": [...]}; the report object is
// returned, not printed, so that the caller can label it. `about` names the
// folder in an error message (the walk's error text does not).
ScanOutcome runScanRequest(Session& session, const std::string& command, const nlohmann::json& arg,
                           RecordWriter& out, ProgressLine& progress,
                           const std::string& about = {});

// Table columns of the scan records.
const std::vector<std::string>& scanColumns();

}  // namespace Ostra::host

#include "host/commands/ScanRun.h"

namespace Ostra::host {

using nlohmann::json;

const std::vector<std::string>& scanColumns() {
    static const std::vector<std::string> columns = {"objectType", "title", "artist",      "album",
                                                     "path",       "type",  "duplicateOf", "name"};
    return columns;
}

ScanOutcome runScanRequest(Session& session, const std::string& command, const json& arg,
                           RecordWriter& out, ProgressLine& progress, const std::string& about) {
    ScanOutcome outcome;
    bool first = true;
    outcome.status = exchange(
        session, command, &arg,
        [&](const json& data, bool) {
            // "scanMediaLibs" opens with the names of the libraries it found.
            if (first && command == "scanMediaLibs") {
                first = false;
                out.summary(json{{"libraries", data.is_array() ? data : json::array()}});
                return;
            }
            first = false;
            const auto visit = [&](const json& entry) {
                if (entry.is_object() && entry.value("objectType", "") == "report") {
                    outcome.report = entry;
                } else {
                    out.record(entry);
                    progress.advance(1);
                }
            };
            if (data.is_array()) {
                for (const auto& entry : data) visit(entry);
            } else if (data.is_object()) {
                // An ECMA array whose keys are not exactly "0".."n-1" prints
                // as an object; its values are still the entries.
                for (const auto& item : data.items()) visit(item.value());
            }
        },
        true, about);
    return outcome;
}

}  // namespace Ostra::host

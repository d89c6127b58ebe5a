#include "host/commands/ListRun.h"

#include "host/FailureReason.h"
#include "host/Output.h"

namespace Ostra::host {

namespace {

using nlohmann::json;

// A list of any length stays far below the frame bound (64 MiB), and the
// helper still gets enough files per request to keep its readers busy.
constexpr std::size_t kFilesPerRequest = 1000;
constexpr std::size_t kPathBytesPerRequest = 8u * 1024u * 1024u;

}  // namespace

int runFileListRequests(Session& session, const std::string& command,
                        const std::vector<std::string>& files, const json& extraArg, int batch,
                        const std::function<void(const json&, Chunk)>& onEntry,
                        const std::function<void(Chunk)>& onChunkEnd, std::int64_t& count) {
    count = 0;
    std::size_t begin = 0;
    while (begin < files.size()) {
        Chunk chunk{begin, begin};
        std::size_t bytes = 0;
        while (chunk.end < files.size() && chunk.end - begin < kFilesPerRequest &&
               (chunk.end == begin || bytes + files[chunk.end].size() <= kPathBytesPerRequest)) {
            bytes += files[chunk.end].size();
            ++chunk.end;
        }
        json arg = extraArg.is_object() ? extraArg : json::object();
        arg["filePaths"] =
            std::vector<std::string>(files.begin() + static_cast<std::ptrdiff_t>(chunk.begin),
                                     files.begin() + static_cast<std::ptrdiff_t>(chunk.end));
        if (batch > 0) arg["batchSize"] = batch;
        const int status = exchange(session, command, &arg, [&](const json& data, bool done) {
            if (done && data.is_object() && data.contains("count")) {
                // Whole numbers only: a double past the range would not convert.
                if (data["count"].is_number_integer()) count += data["count"].get<std::int64_t>();
                return;
            }
            if (data.is_array()) {
                for (const auto& entry : data) onEntry(entry, chunk);
            } else if (data.is_object()) {
                for (const auto& item : data.items()) onEntry(item.value(), chunk);
            }
        });
        if (status != kSuccess) return status;
        onChunkEnd(chunk);
        begin = chunk.end;
    }
    return kSuccess;
}

int reportFailures(std::size_t failed, std::size_t total) {
    if (failed == 0) return kSuccess;
    note(std::to_string(failed) + " of " + std::to_string(total) +
         (total == 1 ? " file" : " files") + " failed");
    return kFailed;
}

json failureRecord(const std::string& path, const json& error) {
    json record = {{"path", path}};
    if (!error.is_null()) record["error"] = error;
    record["reason"] = failureReason(path);
    return record;
}

}  // namespace Ostra::host

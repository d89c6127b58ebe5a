#pragma once

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "host/Session.h"

namespace Ostra::host {

// The part of the file list one request carries: files [begin, end).
struct Chunk {
    std::size_t begin;
    std::size_t end;
};

// Runs a file-list command ("extractMetadataFromFiles", "audioHash",
// "fingerprints") over `files`: requests of at most a thousand files, one
// after another, each {"filePaths": [...], "batchSize": batch} plus the keys
// of `extraArg`. Every entry of the answers goes to `onEntry` with its chunk,
// and `onChunkEnd` runs once each request's final {"count"} arrived; the
// counts add up in `count`. Returns kFailed when the helper answered an
// error (the rest of the list is then not sent), else kSuccess.
int runFileListRequests(Session& session, const std::string& command,
                        const std::vector<std::string>& files, const nlohmann::json& extraArg,
                        int batch, const std::function<void(const nlohmann::json&, Chunk)>& onEntry,
                        const std::function<void(Chunk)>& onChunkEnd, std::int64_t& count);

// "N of M files failed" on standard error when N > 0; returns the exit status.
int reportFailures(std::size_t failed, std::size_t total);

// A record for a file the helper could not use: its path, the helper's own
// text (when it gave one) and the reason this process finds.
nlohmann::json failureRecord(const std::string& path, const nlohmann::json& error);

}  // namespace Ostra::host

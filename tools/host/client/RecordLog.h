#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>

namespace Ostra::host {

// The environment variable that names the record log.
constexpr const char* kRecordLogVariable = "OSTRA_RECORD_LOG";

// An opt-in log of what host sessions exchange, so that a check after the
// test suite can hold every record against the JSON Schemas in schemas/. One
// JSON object a line:
//   {"session": "<program>:<pid>:<n>", "direction": "request" | "response",
//    "command": name or null, "envelope": the envelope as JSON}
// Several processes append to one file at once: each line is one write(2) to
// a descriptor opened with O_APPEND, so lines never interleave. Used from the
// thread of its session.
class RecordLog {
  public:
    // The log OSTRA_RECORD_LOG names, or null when it is unset or empty.
    static std::unique_ptr<RecordLog> fromEnvironment();
    // Warns on standard error (once) when the file cannot be opened; the
    // session then goes on without a log.
    explicit RecordLog(const std::string& path);
    ~RecordLog();
    RecordLog(const RecordLog&) = delete;
    RecordLog& operator=(const RecordLog&) = delete;

    // `command` null: a response to an id this session did not send.
    void append(const char* direction, const std::string* command, const nlohmann::json& envelope);

  private:
    int fd_ = -1;
    std::string session_;
};

}  // namespace Ostra::host

#pragma once

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>

#include "host/GlobalOptions.h"
#include "host/client/HostSession.h"

namespace Ostra::host {

// The helper cannot be found or started, or died; main maps it to exit 3.
struct HelperFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A decoded response envelope.
struct Response {
    double id = 0;
    bool done = false;
    nlohmann::json data;
    nlohmann::json envelope;
};

// One helper for the life of a subcommand: found, started (or awaited on
// --port), sent JSON requests, and stopped with "QUIT" at the end. Used from
// one thread.
class Session {
  public:
    // `checkedRequests`: the requests are built by this tool, not typed by a
    // user, so the record log may hold them against the request schemas.
    explicit Session(const GlobalOptions& options, bool checkedRequests = true);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Sends `command` with `arg` (none when null); returns the request's id.
    double send(const std::string& command, const nlohmann::json* arg);
    // The next response; false only when `timeout` passed first. Throws
    // HelperFailure when the connection ends or a frame is not an envelope.
    bool receive(Response& response,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds::max());

  private:
    HostSession session_;
};

// The text of an error response, or empty when `data` is ordinary data.
// Errors are {"error": text} objects; an unknown command is answered with a
// plain string instead.
std::string errorText(const nlohmann::json& data);
// Reports an error response on standard error; `about` (a file or folder)
// says what it was about when the text does not.
void reportHelperError(const std::string& text, const std::string& about = {});

// Sends one request and hands every response's data to `onData` until the
// final one. Returns kFailed when an error response arrived, else kSuccess.
// The scan commands keep sending after an error from their walk (the final
// batch with the report follows), so for them `scan` waits for that batch
// too; their parameter errors end the request like any other.
int exchange(Session& session, const std::string& command, const nlohmann::json* arg,
             const std::function<void(const nlohmann::json& data, bool done)>& onData,
             bool scan = false, const std::string& about = {});

}  // namespace Ostra::host

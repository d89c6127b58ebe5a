#include "host/Session.h"

#include <iostream>

#include "host/HelperLocator.h"
#include "host/client/JsonAmf.h"
#include "host/client/SessionError.h"

namespace Ostra::host {

namespace {

using nlohmann::json;

// A walk error is followed by the final batch at once; this only bounds the
// wait for a helper that breaks that promise.
constexpr std::chrono::seconds kReportAfterErrorWait(10);

// Parameter errors of the scan commands start with this; they end the
// request, unlike errors of the walk.
constexpr const char* kScanParameterErrorPrefix = "MediaScanHandler:";

}  // namespace

// The whole constructor is the try block: listening on the port can fail
// before the body runs.
Session::Session(const GlobalOptions& options, bool checkedRequests) try : session_(options.port) {
    if (options.port != 0) {
        note("waiting for a helper on port " + std::to_string(session_.port()));
        session_.accept(std::chrono::milliseconds::max());
    } else {
        session_.startHelper(
            locateHelper(options.helper), {},
            options.verbose ? HelperOutput::ToStandardError : HelperOutput::Discard,
            std::chrono::seconds(30));
    }
    session_.logRequests(checkedRequests);
} catch (const SessionError& e) {
    throw HelperFailure(e.what());
}

Session::~Session() {
    session_.closeConnection();
    session_.quit();
}

double Session::send(const std::string& command, const json* arg) {
    std::unique_ptr<amf::amf0_data_type> value;
    if (arg != nullptr) value = toAmf(*arg);
    try {
        return session_.request(command, value.get());
    } catch (const SessionError& e) {
        throw HelperFailure(e.what());
    }
}

bool Session::receive(Response& response, std::chrono::milliseconds timeout) {
    std::string body;
    switch (session_.readFrame(body, timeout)) {
        case ReadResult::Timeout:
            return false;
        case ReadResult::Closed:
            throw HelperFailure("the helper died before its final response");
        case ReadResult::TooLarge:
            throw HelperFailure("the helper sent a frame longer than 64 MiB");
        case ReadResult::Frame:
            break;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(body.data());
    const Value frame(amf::decode(p, p + body.size()));
    if (!frame) throw HelperFailure("the helper sent a frame that does not decode");
    response.envelope = toJson(frame.get());
    if (!response.envelope.is_object())
        throw HelperFailure("the helper sent a frame that is not a response envelope");
    response.id = response.envelope.value("id", 0.0);
    auto done = response.envelope.find("done");
    response.done = done != response.envelope.end() && done->is_boolean() && done->get<bool>();
    auto data = response.envelope.find("data");
    response.data = data == response.envelope.end() ? json() : *data;
    return true;
}

std::string errorText(const json& data) {
    if (data.is_object() && data.size() == 1 && data.contains("error")) {
        const json& text = data["error"];
        return text.is_string() ? text.get<std::string>() : text.dump();
    }
    if (data.is_string()) {
        const std::string& text = data.get_ref<const std::string&>();
        if (text.rfind("Error: Unknown command ", 0) == 0) return text;
    }
    return {};
}

void reportHelperError(const std::string& text, const std::string& about) {
    note("the helper answered an error" + (about.empty() ? std::string() : " for " + about) + ": " +
         text);
}

int exchange(Session& session, const std::string& command, const json* arg,
             const std::function<void(const json& data, bool done)>& onData, bool scan,
             const std::string& about) {
    const double id = session.send(command, arg);
    int result = kSuccess;
    bool reportFollows = false;
    Response response;
    for (;;) {
        if (result == kFailed && !reportFollows) break;
        if (reportFollows) {
            if (!session.receive(response, kReportAfterErrorWait)) break;
        } else {
            session.receive(response);
        }
        if (response.id != id) continue;
        const std::string error = errorText(response.data);
        if (!error.empty()) {
            reportHelperError(error, about);
            result = kFailed;
            reportFollows = scan && error.rfind(kScanParameterErrorPrefix, 0) != 0;
            continue;
        }
        onData(response.data, response.done);
        if (response.done) break;
    }
    return result;
}

}  // namespace Ostra::host

// ostra-host: drives the helper from a shell. Sends one request, prints every
// response as one JSON line and stops the helper.
#include <limits.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>

#include "host/HostSession.h"
#include "host/JsonAmf.h"

namespace {

enum ExitCode { kDone = 0, kHelperError = 1, kUsage = 2, kHelperFailed = 3 };

// The helper beside this executable, else the one on PATH.
std::string defaultHelperPath() {
    if (const char* env = std::getenv("OSTRA_NATIVE")) return env;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<std::size_t>(n));
        dir = dir.substr(0, dir.rfind('/'));
        std::string beside = dir + "/ostra-native";
        if (access(beside.c_str(), X_OK) == 0) return beside;
    }
    return "ostra-native";
}

bool isErrorResponse(const amf::amf0_data_type* response) {
    if (response == nullptr || response->get_type() != amf::AMF_OBJECT) return false;
    const auto* data = static_cast<const amf::amf_object*>(response)->get_property("data");
    if (data == nullptr) return false;
    if (data->get_type() == amf::AMF_OBJECT)
        return static_cast<const amf::amf_object*>(data)->get_property("error") != nullptr;
    if (data->get_type() == amf::AMF_STRING)
        return static_cast<const amf::amf_string*>(data)->get_value().rfind(
                   "Error: Unknown command ", 0) == 0;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Drive the OstraNative helper: send one command and print its responses as JSON Lines."};
    std::string helper = defaultHelperPath();
    unsigned short port = 0;
    bool verbose = false;
    std::string command, argJson;
    app.add_option("--helper", helper, "Path of the helper binary");
    app.add_option("--port", port, "Listen on this port and wait for a helper started by hand");
    app.add_flag("-v,--verbose", verbose, "Show the helper's own output on standard error");
    app.add_option("command", command, "Command name, e.g. version, echo, scanDirectory")
        ->required();
    app.add_option("arg", argJson, "The command's argument as JSON");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? kDone : kUsage;
    }

    std::unique_ptr<amf::amf0_data_type> arg;
    if (!argJson.empty()) {
        try {
            arg = ostrahost::toAmf(nlohmann::json::parse(argJson));
        } catch (const nlohmann::json::exception& e) {
            std::cerr << "ostra-host: the argument is not JSON: " << e.what() << "\n";
            return kUsage;
        }
    }

    try {
        ostrahost::HostSession session(helper, port, verbose);
        if (port != 0)
            std::cerr << "ostra-host: waiting for a helper on port " << session.port() << "\n";
        if (!session.open()) {
            std::cerr << "ostra-host: the helper did not start (" << helper << ")\n";
            return kHelperFailed;
        }
        const double id = 1;
        if (!session.send(command, id, arg.get())) {
            std::cerr << "ostra-host: the helper closed the connection\n";
            return kHelperFailed;
        }
        bool lastWasError = false;
        for (;;) {
            auto response = session.receive();
            if (!response) {
                std::cerr << "ostra-host: the helper died before the final response\n";
                session.close();
                return kHelperFailed;
            }
            std::cout << ostrahost::dumpLine(ostrahost::toJson(response.get())) << "\n"
                      << std::flush;
            lastWasError = isErrorResponse(response.get());
            const auto* done =
                static_cast<const amf::amf_object*>(response.get())->get_property("done");
            if (done != nullptr && done->get_type() == amf::AMF_BOOLEAN &&
                static_cast<const amf::amf_boolean*>(done)->get_value())
                break;
        }
        session.close();
        return lastWasError ? kHelperError : kDone;
    } catch (const std::exception& e) {
        std::cerr << "ostra-host: " << e.what() << "\n";
        return kHelperFailed;
    }
}

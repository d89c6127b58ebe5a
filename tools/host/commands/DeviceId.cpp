#include <CLI/CLI.hpp>

#include "host/commands/SingleAnswer.h"
#include "host/commands/Subcommand.h"

namespace Ostra::host {

namespace {

class DeviceIdCommand : public Subcommand {
  public:
    CLI::App* define(CLI::App& app) override {
        return app.add_subcommand("device-id", "The machine's stable identifier (deviceId)");
    }

    int run(const GlobalOptions& options) override {
        return runSingleAnswer(options, "deviceId",
                               [](RecordWriter& out, const nlohmann::json& data) {
                                   out.summary(nlohmann::json{{"deviceId", data}});
                               });
    }
};

}  // namespace

std::unique_ptr<Subcommand> makeDeviceIdCommand() {
    return std::unique_ptr<Subcommand>(new DeviceIdCommand());
}

}  // namespace Ostra::host

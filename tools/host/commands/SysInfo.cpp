#include <CLI/CLI.hpp>

#include "host/commands/SingleAnswer.h"
#include "host/commands/Subcommand.h"

namespace Ostra::host {

namespace {

class SysInfoCommand : public Subcommand {
  public:
    CLI::App* define(CLI::App& app) override {
        return app.add_subcommand("sysinfo", "OS, processor and memory facts (systemInfo)");
    }

    int run(const GlobalOptions& options) override {
        return runSingleAnswer(
            options, "systemInfo",
            [](RecordWriter& out, const nlohmann::json& data) { out.summary(data); });
    }
};

}  // namespace

std::unique_ptr<Subcommand> makeSysInfoCommand() {
    return std::unique_ptr<Subcommand>(new SysInfoCommand());
}

}  // namespace Ostra::host

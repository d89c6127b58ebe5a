#include <CLI/CLI.hpp>

#include "host/commands/SingleAnswer.h"
#include "host/commands/Subcommand.h"

namespace Ostra::host {

namespace {

class ExtensionsCommand : public Subcommand {
  public:
    CLI::App* define(CLI::App& app) override {
        return app.add_subcommand("extensions",
                                  "File extensions the helper can decode (getSupportedExtensions)");
    }

    int run(const GlobalOptions& options) override {
        return runSingleAnswer(options, "getSupportedExtensions",
                               [](RecordWriter& out, const nlohmann::json& data) {
                                   if (!data.is_array()) return out.summary(data);
                                   for (const auto& extension : data)
                                       out.record({{"extension", extension}});
                               },
                               {"extension"});
    }
};

}  // namespace

std::unique_ptr<Subcommand> makeExtensionsCommand() {
    return std::unique_ptr<Subcommand>(new ExtensionsCommand());
}

}  // namespace Ostra::host

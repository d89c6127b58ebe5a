#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/GlobalOptions.h"

namespace CLI {
class App;
}

namespace Ostra::host {

// One ostra-host subcommand: its flags and arguments, and what it does with
// the helper. main defines every subcommand, parses, and runs the one named.
class Subcommand {
  public:
    virtual ~Subcommand() = default;
    // Adds the subcommand with its flags to `app` and returns it.
    virtual CLI::App* define(CLI::App& app) = 0;
    // Runs after a successful parse; returns the exit status.
    virtual int run(const GlobalOptions& options) = 0;
};

std::unique_ptr<Subcommand> makeScanCommand();
std::unique_ptr<Subcommand> makeITunesCommand();
std::unique_ptr<Subcommand> makeTagsCommand();
std::unique_ptr<Subcommand> makeHashCommand();
std::unique_ptr<Subcommand> makeWavCommand();
std::unique_ptr<Subcommand> makeFingerprintCommand();
std::unique_ptr<Subcommand> makeExtensionsCommand();
std::unique_ptr<Subcommand> makeSysInfoCommand();
std::unique_ptr<Subcommand> makeDeviceIdCommand();
std::unique_ptr<Subcommand> makeKeepAwakeCommand();
std::unique_ptr<Subcommand> makeRawCommand();
std::unique_ptr<Subcommand> makeCacheCommand();

}  // namespace Ostra::host

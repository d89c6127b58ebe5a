// ostra-host: drives the helper from a shell. A subcommand per helper command
// turns flags and file arguments into requests, prints the answers as JSON
// Lines (or a table) and stops the helper; "raw" sends any command with a JSON
// argument and prints the response envelopes themselves. This file is the
// composition root: the only one that knows every subcommand.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <iostream>

#include "host/CliDocs.h"
#include "host/CommandLine.h"
#include "host/GlobalOptions.h"
#include "host/Output.h"
#include "host/ProcessSetup.h"
#include "host/Session.h"
#include "host/UsageError.h"
#include "host/commands/Subcommand.h"

namespace {

using namespace Ostra::host;

const char* const kDescription =
    "Drive the OstraNative helper from a shell: each subcommand starts the helper (ostra-native, "
    "found beside ostra-host or on PATH), sends its requests, prints the answers as JSON Lines "
    "(or --format table) and stops the helper. A first word that is a helper command name is "
    "sent raw: `ostra-host version` is `ostra-host raw version`.";

void defineGlobalOptions(CLI::App& app, GlobalOptions& options) {
    app.add_option("--helper", options.helper,
                   "The helper program: a path, or a name looked up on PATH (default: "
                   "ostra-native beside ostra-host, else on PATH)")
        ->envname("OSTRA_NATIVE")
        ->type_name("FILE");
    app.add_option("--port", options.port,
                   "Listen on this port and wait for a helper started by hand (ostra-native "
                   "PORT)");
    app.add_flag("-v,--verbose", options.verbose, "Show the helper's own output on standard error");
    withChoices(app.add_option("--format", options.format, "Output: json (JSON Lines) or table")
                    ->check(CLI::IsMember(formatNames()))
                    ->capture_default_str(),
                formatNames());
    app.add_flag("--no-progress", options.noProgress,
                 "No progress line (it is only drawn when standard error is a terminal)");
    app.set_version_flag("--version", std::string("ostra-host (OstraNative) ") + OSTRA_VERSION,
                         "Print the version and exit");
}

}  // namespace

int main(int argc, char** argv) {
    prepareProcess();
    std::vector<std::unique_ptr<Subcommand>> subcommands;
    subcommands.push_back(makeScanCommand());
    subcommands.push_back(makeITunesCommand());
    subcommands.push_back(makeTagsCommand());
    subcommands.push_back(makeHashCommand());
    subcommands.push_back(makeWavCommand());
    subcommands.push_back(makeFingerprintCommand());
    subcommands.push_back(makeExtensionsCommand());
    subcommands.push_back(makeSysInfoCommand());
    subcommands.push_back(makeDeviceIdCommand());
    subcommands.push_back(makeKeepAwakeCommand());
    subcommands.push_back(makeRawCommand());
    subcommands.push_back(makeCacheCommand());

    CLI::App app{kDescription, "ostra-host"};
    app.fallthrough();
    app.require_subcommand(1);
    GlobalOptions options;
    defineGlobalOptions(app, options);
    std::vector<std::pair<CLI::App*, Subcommand*>> defined;
    for (auto& subcommand : subcommands)
        defined.emplace_back(subcommand->define(app), subcommand.get());

    std::vector<std::string> args(argv + 1, argv + argc);
    // The build writes the man page and the completion script with these.
    if (args.size() == 1 && args[0] == "--help-man") {
        std::cout << manPage(app, OSTRA_VERSION);
        return kSuccess;
    }
    if (args.size() == 1 && args[0] == "--bash-completion") {
        std::cout << bashCompletion(app);
        return kSuccess;
    }

    try {
        args = normalizedArguments(app, args);
    } catch (const UsageError& e) {
        std::cerr << "ostra-host: " << e.what() << "\n";
        return kUsage;
    }
    std::reverse(args.begin(), args.end());
    try {
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        return app.exit(e) == 0 ? kSuccess : kUsage;
    }

    for (const auto& [command, subcommand] : defined) {
        if (!command->parsed()) continue;
        try {
            return subcommand->run(options);
        } catch (const UsageError& e) {
            note(e.what());
            return kUsage;
        } catch (const HelperFailure& e) {
            note(e.what());
            return kHelperFailed;
        } catch (const OutputError& e) {
            return statusAfterOutputError(e);
        } catch (const nlohmann::json::exception& e) {
            // A value of another type than the helper's answers have.
            note(std::string("the helper sent an answer of an unexpected form (") + e.what() + ")");
            return kHelperFailed;
        } catch (const std::exception& e) {
            note(e.what());
            return kHelperFailed;
        }
    }
    return kUsage;
}

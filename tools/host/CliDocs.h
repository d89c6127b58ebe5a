#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
class Option;
}  // namespace CLI

namespace Ostra::host {

// Records the values `option` takes, for the man page and the completion;
// `list`: a comma-separated list of them. Returns `option`.
CLI::Option* withChoices(CLI::Option* option, std::vector<std::string> choices, bool list = false);

// The roff source of ostra-host(1), written from the option definitions of
// `app` (every subcommand with its flags, defaults and environment
// variables) and the fixed sections that no option says (exit status,
// examples).
std::string manPage(const CLI::App& app, const std::string& version);

// A bash completion script for ostra-host from the same definitions: the
// subcommands, every flag, the values of flags with choices, folders for a
// DIR, files for a FILE, commands after keep-awake.
std::string bashCompletion(const CLI::App& app);

}  // namespace Ostra::host

#pragma once

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace Ostra::host {

// The helper's command names, which may be given bare: `ostra-host version`
// is `ostra-host raw version`.
const std::vector<std::string>& helperCommandNames();

// The arguments after the program name, with "raw" put in before a bare
// helper command name. Throws UsageError for a first word that is neither a
// subcommand of `app` nor a helper command, suggesting the closest name.
std::vector<std::string> normalizedArguments(const CLI::App& app,
                                             const std::vector<std::string>& args);

// The subcommand or helper command closest to `word` (case aside, one or two
// letters changed, added, dropped or swapped), or empty.
std::string closestName(const std::string& word, const std::vector<std::string>& names);

}  // namespace Ostra::host

#pragma once

#include <string>
#include <vector>

#include "host/Output.h"

namespace Ostra::host {

// Exit statuses, as sha1sum has them: 0 only when every item succeeded.
enum ExitStatus {
    kSuccess = 0,
    kFailed = 1,        // an item failed, or the helper answered an error
    kUsage = 2,         // the command line is wrong
    kHelperFailed = 3,  // the helper could not be found, did not start, or died
};

// The output formats --format accepts.
const std::vector<std::string>& formatNames();

// The flags every subcommand takes, before or after its name.
struct GlobalOptions {
    std::string helper;  // --helper or OSTRA_NATIVE; empty: look for ostra-native
    unsigned short port = 0;
    bool verbose = false;
    std::string format = "json";
    bool noProgress = false;

    // The progress line is drawn only where someone watches it.
    bool progress() const;
    OutputFormat outputFormat() const;
};

}  // namespace Ostra::host

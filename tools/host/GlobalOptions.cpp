#include "host/GlobalOptions.h"

#include <unistd.h>

namespace Ostra::host {

const std::vector<std::string>& formatNames() {
    static const std::vector<std::string> names = {"json", "table"};
    return names;
}

bool GlobalOptions::progress() const {
    return !noProgress && isatty(STDERR_FILENO) == 1;
}

OutputFormat GlobalOptions::outputFormat() const {
    return format == "table" ? OutputFormat::Table : OutputFormat::JsonLines;
}

}  // namespace Ostra::host

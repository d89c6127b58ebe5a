#pragma once

#include <stdexcept>

namespace Ostra::host {

// A command line that names no work or cannot be read; main maps it to exit 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

}  // namespace Ostra::host

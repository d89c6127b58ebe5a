#pragma once

#include <string>

namespace Ostra::host {

// The helper program to start. `requested` (from --helper or OSTRA_NATIVE)
// is taken as it is when it holds a slash and looked up on PATH otherwise;
// empty means ostra-native beside this executable, else on PATH. Throws
// HelperFailure naming every place tried when none holds an executable.
std::string locateHelper(const std::string& requested);

}  // namespace Ostra::host

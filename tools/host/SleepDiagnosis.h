#pragma once

#include <string>

namespace Ostra::host {

// Why the helper could not keep the machine awake, as far as this process
// can see from the same buses the helper uses: it holds a logind inhibitor
// lock on the system bus, or reports activity to a screen saver on the
// session bus. For example "no logind on the system bus; no session bus
// (No such file or directory)".
std::string sleepDiagnosis();

}  // namespace Ostra::host

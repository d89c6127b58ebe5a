// Process cost read from /proc, shared by the benchmark drivers.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace benchsupport {

// User plus system CPU seconds the process has used so far, -1 when
// unreadable. On a shared machine wall time depends on the neighbours; CPU
// time much less.
inline double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const std::string::size_type paren = line.rfind(')');
    if (paren == std::string::npos) return -1;
    // After the command name: state is field 3; utime and stime are 14 and 15.
    std::istringstream fields(line.substr(paren + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stol(field);
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace benchsupport

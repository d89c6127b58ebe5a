// Process cost read from /proc, shared by the benchmark drivers.
#pragma once

#include <dirent.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

namespace benchsupport {

// User plus system CPU seconds the process has used so far, -1 when
// unreadable. On a shared machine wall time depends on the neighbours; CPU
// time much less.
inline double cpuSecondsOf(const std::string& statPath) {
    std::ifstream stat(statPath);
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

inline double cpuSeconds(pid_t pid) {
    return cpuSecondsOf("/proc/" + std::to_string(pid) + "/stat");
}

// CPU seconds of the process's threads named `name` (their comm), so far.
// The helper names its file workers: their share of a request's CPU time is
// the part that runs in parallel, which a loaded machine cannot blur.
inline double threadCpuSeconds(pid_t pid, const std::string& name) {
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    double total = 0;
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) return -1;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const std::string task = tasks + "/" + entry->d_name;
        std::ifstream comm(task + "/comm");
        std::string threadName;
        std::getline(comm, threadName);
        if (threadName == name) total += cpuSecondsOf(task + "/stat");
    }
    ::closedir(dir);
    return total;
}

// The file workers' share of what the helper spent between two readings of
// (process seconds, file-worker seconds), and the speedup a pipeline with
// that serial share reaches on `cores` processors against one: the request's
// own thread works beside the workers, so it bounds the rate only once the
// workers' part divided by the cores is smaller than it.
inline void printParallelShare(const std::string& prefix, double processSeconds,
                               double workerSeconds) {
    if (processSeconds <= 0 || workerSeconds < 0) return;
    const double share = workerSeconds / processSeconds;
    const double serial = 1 - share;
    std::cout << prefix << "_file_worker_cpu_share " << share << " (of " << processSeconds
              << " helper cpu-s)\n";
    for (int cores : {2, 4, 8}) {
        const double bound = std::max(serial, 1.0 / cores);
        std::cout << prefix << "_bound_on_" << cores << "_cores_from_cpu_share: speedup "
                  << 1 / bound << "\n";
    }
}

}  // namespace benchsupport

// "audioHash" throughput end to end: the real helper over loopback TCP, one
// request over every listed file, then (unless ONE_ONLY is "one") two such
// requests in flight at once. The helper inherits the environment, so
// OSTRA_FILE_WORKERS sets its file workers.
// Usage: hash_bench LIST_FILE [ROUNDS [ONE_ONLY]]; LIST_FILE holds one path a line.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/ListRequests.h"
#include "common/ProcessCpu.h"
#include "support/TestHost.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::Value;

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: hash_bench LIST_FILE [ROUNDS]\n";
        return 2;
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const bool oneOnly = argc > 3 && std::string(argv[3]) == "one";
    std::vector<std::string> paths;
    double bytes = 0;
    std::ifstream list(argv[1]);
    for (std::string line; std::getline(list, line);) {
        if (line.empty()) continue;
        struct stat info;
        if (::stat(line.c_str(), &info) != 0) {
            std::cerr << "missing " << line << "\n";
            return 2;
        }
        paths.push_back(line);
        bytes += static_cast<double>(info.st_size);
    }
    amf::amf_ecma_array filePaths = testsupport::stringArray(paths);
    amf::amf_object arg;
    arg.set_property("filePaths", &filePaths);
    arg.set_numeric_property("batchSize", 10);

    testsupport::TestHost host;
    host.startHelper();
    double id = 0;
    const long expected = static_cast<long>(paths.size());
    if (benchsupport::countAll(host, "audioHash", arg, {++id}) != expected) {
        std::cerr << "warm-up request did not hash every file\n";
        return 3;
    }

    const pid_t helper = host.helper().pid();
    double best1 = 1e300, best2 = 1e300, cpu1 = 1e300;
    const double processBefore = benchsupport::cpuSeconds(helper);
    const double workersBefore = benchsupport::threadCpuSeconds(helper, "file worker");
    for (int r = 0; r < rounds; ++r) {
        const double cpuStart = benchsupport::cpuSeconds(helper);
        auto start = Clock::now();
        if (benchsupport::countAll(host, "audioHash", arg, {++id}) != expected) return 3;
        best1 = std::min(best1, std::chrono::duration<double>(Clock::now() - start).count());
        cpu1 = std::min(cpu1, benchsupport::cpuSeconds(helper) - cpuStart);
    }
    const double processSpent = benchsupport::cpuSeconds(helper) - processBefore;
    const double workersSpent =
        benchsupport::threadCpuSeconds(helper, "file worker") - workersBefore;
    for (int r = 0; r < rounds && !oneOnly; ++r) {
        auto start = Clock::now();
        const double a = ++id, b = ++id;
        if (benchsupport::countAll(host, "audioHash", arg, {a, b}) != 2 * expected) return 3;
        best2 = std::min(best2, std::chrono::duration<double>(Clock::now() - start).count());
    }
    host.quit();

    const double mb = bytes / 1e6;
    std::cout << "files " << paths.size() << ", " << static_cast<long>(mb) << " MB\n"
              << "audiohash_one_request_MBps " << mb / best1 << " (" << best1 << " s)\n"
              << "audiohash_one_request_MB_per_cpu_s " << mb / cpu1 << " (" << cpu1 << " s)\n";
    benchsupport::printParallelShare("audiohash", processSpent, workersSpent);
    if (!oneOnly) {
        std::cout << "audiohash_two_requests_MBps " << 2 * mb / best2 << " (" << best2 << " s)\n"
                  << "two_request_scaling " << (2 * mb / best2) / (mb / best1) << "\n";
    }
    return 0;
}

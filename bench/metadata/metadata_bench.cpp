// "extractMetadataFromFiles" throughput end to end: the real helper over
// loopback TCP, one request over every listed file (batches of 100). The
// helper inherits the environment, so OSTRA_FILE_WORKERS sets its file
// workers.
// Usage: metadata_bench LIST_FILE [ROUNDS]; LIST_FILE holds one path a line.
#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "common/ListRequests.h"
#include "common/ProcessCpu.h"
#include "support/TestHost.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: metadata_bench LIST_FILE [ROUNDS]\n";
        return 2;
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    std::vector<std::string> paths;
    std::ifstream list(argv[1]);
    for (std::string line; std::getline(list, line);) {
        if (!line.empty()) paths.push_back(line);
    }
    amf::amf_ecma_array filePaths = testsupport::stringArray(paths);
    amf::amf_object arg;
    arg.set_property("filePaths", &filePaths);
    arg.set_numeric_property("batchSize", 100);

    testsupport::TestHost host;
    host.startHelper();
    double id = 0;
    // Unreadable files are left out, so the warm-up run says how many count.
    const long expected = benchsupport::countAll(host, "extractMetadataFromFiles", arg, {++id});
    if (expected <= 0) {
        std::cerr << "warm-up request read no file\n";
        return 3;
    }
    const pid_t helper = host.helper().pid();
    double wall = 1e300, cpu = 1e300;
    const double processBefore = benchsupport::cpuSeconds(helper);
    const double workersBefore = benchsupport::threadCpuSeconds(helper, "file worker");
    for (int r = 0; r < rounds; ++r) {
        const double cpuStart = benchsupport::cpuSeconds(helper);
        const auto start = std::chrono::steady_clock::now();
        if (benchsupport::countAll(host, "extractMetadataFromFiles", arg, {++id}) != expected)
            return 3;
        wall = std::min(
            wall, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpu = std::min(cpu, benchsupport::cpuSeconds(helper) - cpuStart);
    }
    const double processSpent = benchsupport::cpuSeconds(helper) - processBefore;
    const double workersSpent =
        benchsupport::threadCpuSeconds(helper, "file worker") - workersBefore;
    host.quit();
    const double n = static_cast<double>(paths.size());
    std::cout << "files " << paths.size() << ", read " << expected << "\n"
              << "tags_one_request_files_per_s " << n / wall << " (" << wall << " s)\n"
              << "tags_one_request_files_per_cpu_s " << n / cpu << " (" << cpu << " s)\n";
    benchsupport::printParallelShare("tags", processSpent, workersSpent);
    return 0;
}

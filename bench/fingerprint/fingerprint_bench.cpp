// "fingerprints" throughput end to end: the real helper over loopback TCP.
// Figures: ["CMX"] over every listed file in one request, two such requests in
// flight at once, and ["MICRO"] alone against ["CMX"] over the files longer
// than two minutes.
// Usage: fingerprint_bench LIST_FILE LONG_LIST_FILE [ROUNDS [ONE_ONLY]]; each
// list holds one path a line; ONE_ONLY "one" measures the one request only.
// The helper inherits the environment (OSTRA_FILE_WORKERS).
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

std::vector<std::string> readList(const char* file) {
    std::vector<std::string> paths;
    std::ifstream list(file);
    for (std::string line; std::getline(list, line);) {
        if (!line.empty()) paths.push_back(line);
    }
    return paths;
}

amf::amf_object request(const std::vector<std::string>& paths, const std::string& type) {
    amf::amf_object arg;
    amf::amf_ecma_array types = testsupport::stringArray({type});
    amf::amf_ecma_array filePaths = testsupport::stringArray(paths);
    arg.set_property("fingerprintTypes", &types);
    arg.set_property("filePaths", &filePaths);
    arg.set_numeric_property("batchSize", 10);
    return arg;
}

struct Timing {
    double wall = 1e300;
    double cpu = 1e300;
};

// Best wall and CPU time of `rounds` runs of the requests.
bool measure(testsupport::TestHost& host, const amf::amf_object& arg, int parallel, long expected,
             int rounds, double& id, Timing& timing) {
    for (int r = 0; r < rounds; ++r) {
        std::vector<double> ids;
        for (int i = 0; i < parallel; ++i) ids.push_back(++id);
        const double cpuStart = benchsupport::cpuSeconds(host.helper().pid());
        auto start = Clock::now();
        if (benchsupport::countAll(host, "fingerprints", arg, ids) != expected * parallel)
            return false;
        timing.wall =
            std::min(timing.wall, std::chrono::duration<double>(Clock::now() - start).count());
        timing.cpu = std::min(timing.cpu, benchsupport::cpuSeconds(host.helper().pid()) - cpuStart);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: fingerprint_bench LIST_FILE LONG_LIST_FILE [ROUNDS]\n";
        return 2;
    }
    const std::vector<std::string> all = readList(argv[1]);
    const std::vector<std::string> longFiles = readList(argv[2]);
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
    const bool oneOnly = argc > 4 && std::string(argv[4]) == "one";
    const long n = static_cast<long>(all.size());
    const long nLong = static_cast<long>(longFiles.size());

    testsupport::TestHost host;
    host.startHelper();
    double id = 0;
    amf::amf_object cmx = request(all, "CMX");
    if (benchsupport::countAll(host, "fingerprints", cmx, {++id}) != n) {
        std::cerr << "warm-up request did not fingerprint every file\n";
        return 3;
    }
    Timing one, two, longCmx, longMicro;
    const pid_t helper = host.helper().pid();
    const double processBefore = benchsupport::cpuSeconds(helper);
    const double workersBefore = benchsupport::threadCpuSeconds(helper, "file worker");
    bool oneDone = measure(host, cmx, 1, n, rounds, id, one);
    const double processSpent = benchsupport::cpuSeconds(helper) - processBefore;
    const double workersSpent =
        benchsupport::threadCpuSeconds(helper, "file worker") - workersBefore;
    amf::amf_object cmxLong = request(longFiles, "CMX");
    amf::amf_object microLong = request(longFiles, "MICRO");
    if (!oneDone || (!oneOnly && (!measure(host, cmx, 2, n, rounds, id, two) ||
                                  !measure(host, cmxLong, 1, nLong, rounds, id, longCmx) ||
                                  !measure(host, microLong, 1, nLong, rounds, id, longMicro)))) {
        std::cerr << "a request did not fingerprint every file\n";
        return 3;
    }
    host.quit();

    std::cout << "files " << n << ", longer than two minutes " << nLong << "\n"
              << "cmx_one_request_files_per_s " << n / one.wall << " (" << one.wall << " s, "
              << one.cpu << " cpu-s)\n"
              << "cmx_one_request_files_per_cpu_s " << n / one.cpu << "\n";
    benchsupport::printParallelShare("cmx", processSpent, workersSpent);
    if (oneOnly) return 0;
    std::cout << "cmx_two_requests_files_per_s " << 2 * n / two.wall << " (" << two.wall << " s, "
              << two.cpu << " cpu-s)\n"
              << "long_cmx_files_per_s " << nLong / longCmx.wall << " (" << longCmx.wall << " s, "
              << longCmx.cpu << " cpu-s)\n"
              << "long_micro_files_per_s " << nLong / longMicro.wall << " (" << longMicro.wall
              << " s, " << longMicro.cpu << " cpu-s)\n"
              << "micro_vs_cmx_on_long_files " << longCmx.wall / longMicro.wall
              << " (goal 3), per cpu-second " << longCmx.cpu / longMicro.cpu << "\n";
    return 0;
}

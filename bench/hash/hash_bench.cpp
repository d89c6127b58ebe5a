// "audioHash" throughput end to end: the real helper over loopback TCP, one
// request over every listed file, then two such requests in flight at once.
// Usage: hash_bench LIST_FILE [ROUNDS]; LIST_FILE holds one path a line.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "support/TestHost.h"

namespace {

using Clock = std::chrono::steady_clock;
using testsupport::Value;

// Sends one request per id and waits until every one has answered "done";
// returns the number of files hashed, summed, or -1 on a failed exchange.
long hashAll(testsupport::TestHost& host, const amf::amf_object& arg,
             const std::vector<double>& ids) {
    for (double id : ids) host.send("audioHash", id, &arg);
    long hashed = 0;
    std::size_t done = 0;
    while (done < ids.size()) {
        Value response = host.readResponse(std::chrono::seconds(600));
        if (!response) return -1;
        if (!testsupport::isDone(response)) continue;
        ++done;
        const amf::amf0_data_type* data = testsupport::prop(response, "data");
        if (!data || data->get_type() != amf::AMF_OBJECT) return -1;
        hashed += static_cast<long>(testsupport::num(testsupport::prop(data, "count")));
    }
    return hashed;
}

// User plus system CPU seconds the process has used so far. On a shared
// machine wall time depends on the neighbours; CPU time much less.
double cpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    std::istringstream fields(line.substr(line.rfind(')') + 2));
    std::string field;
    long ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stol(field);
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::cerr << "usage: hash_bench LIST_FILE [ROUNDS]\n";
        return 2;
    }
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
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
    if (hashAll(host, arg, {++id}) != expected) {
        std::cerr << "warm-up request did not hash every file\n";
        return 3;
    }

    const pid_t helper = host.helper().pid();
    double best1 = 1e300, best2 = 1e300, cpu1 = 1e300;
    for (int r = 0; r < rounds; ++r) {
        const double cpuStart = cpuSeconds(helper);
        auto start = Clock::now();
        if (hashAll(host, arg, {++id}) != expected) return 3;
        best1 = std::min(best1, std::chrono::duration<double>(Clock::now() - start).count());
        cpu1 = std::min(cpu1, cpuSeconds(helper) - cpuStart);
    }
    for (int r = 0; r < rounds; ++r) {
        auto start = Clock::now();
        const double a = ++id, b = ++id;
        if (hashAll(host, arg, {a, b}) != 2 * expected) return 3;
        best2 = std::min(best2, std::chrono::duration<double>(Clock::now() - start).count());
    }
    host.quit();

    const double mb = bytes / 1e6;
    std::cout << "files " << paths.size() << ", " << static_cast<long>(mb) << " MB\n"
              << "audiohash_one_request_MBps " << mb / best1 << " (" << best1 << " s)\n"
              << "audiohash_one_request_MB_per_cpu_s " << mb / cpu1 << " (" << cpu1 << " s)\n"
              << "audiohash_two_requests_MBps " << 2 * mb / best2 << " (" << best2 << " s)\n"
              << "two_request_scaling " << (2 * mb / best2) / (mb / best1) << "\n";
    return 0;
}

// Echo round trips over loopback with the host's framing: latency with one
// request in flight, throughput with 64 in flight, and what an idle helper
// costs (CPU time and voluntary context switches from /proc).
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>
#include <vector>

#include "common/ProcessCpu.h"
#include "host/client/HostSession.h"
#include "host/client/SessionError.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ProcessCost {
    double cpuSeconds = 0;
    long voluntarySwitches = 0;
};

ProcessCost costOf(pid_t pid) {
    ProcessCost cost;
    cost.cpuSeconds = benchsupport::cpuSeconds(pid);
    std::string line;
    boost::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (const auto& task : boost::filesystem::directory_iterator(tasks)) {
        std::ifstream status((task.path() / "status").string());
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                cost.voluntarySwitches += std::stol(line.substr(24));
        }
    }
    return cost;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[static_cast<std::size_t>(p * (v.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    std::string helper = argc > 1 ? argv[1] : "build/ostra-native";
    int idleSeconds = argc > 2 ? std::atoi(argv[2]) : 10;
    Ostra::host::HostSession session;
    try {
        session.startHelper(helper, {}, Ostra::host::HelperOutput::Discard);
    } catch (const Ostra::host::SessionError& e) {
        std::cerr << "helper did not start: " << e.what() << "\n";
        return 3;
    }
    amf::amf_string payload("ping");
    double id = 0;

    for (int i = 0; i < 2000; ++i) {
        session.send("echo", ++id, &payload);
        session.readResponse();
    }
    std::vector<double> latencies;
    const int rounds = 20000;
    for (int i = 0; i < rounds; ++i) {
        auto start = Clock::now();
        session.send("echo", ++id, &payload);
        if (!session.readResponse()) return 3;
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }

    const int total = 200000, window = 64;
    int sent = 0, received = 0;
    auto start = Clock::now();
    while (sent < window) session.send("echo", ++id, &payload), ++sent;
    while (received < total) {
        if (!session.readResponse()) return 3;
        ++received;
        if (sent < total) session.send("echo", ++id, &payload), ++sent;
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();

    std::this_thread::sleep_for(std::chrono::seconds(1));
    ProcessCost before = costOf(session.helper().pid());
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    ProcessCost after = costOf(session.helper().pid());
    session.quit();

    double idleCpu = 100.0 * (after.cpuSeconds - before.cpuSeconds) / idleSeconds;
    double wakeups =
        static_cast<double>(after.voluntarySwitches - before.voluntarySwitches) / idleSeconds;
    std::cout << "echo_p50_us " << percentile(latencies, 0.50) << "\n"
              << "echo_p99_us " << percentile(latencies, 0.99) << "\n"
              << "echo_rps_64_in_flight " << static_cast<long>(total / seconds) << "\n"
              << "idle_cpu_percent " << idleCpu << "\n"
              << "idle_wakeups_per_s " << wakeups << "\n";
    return 0;
}

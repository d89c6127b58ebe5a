// The helper's side of the scan benchmark: starts the helper, runs
// "scanDirectory" over a tree (one warm-up scan, then the timed ones) and
// prints the files per second of the best run with the report's counters.
//
// Usage: scan_bench HELPER DIR [RUNS] [BATCH]
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include "common/ProcessCpu.h"
#include "host/client/HostSession.h"
#include "host/client/SessionError.h"

namespace {

const amf::amf0_data_type* prop(const amf::amf0_data_type* v, const char* key) {
    if (v == nullptr || v->get_type() != amf::AMF_OBJECT) return nullptr;
    return static_cast<const amf::amf_object*>(v)->get_property(key);
}

double number(const amf::amf0_data_type* v) {
    return v != nullptr && v->get_type() == amf::AMF_NUMBER
               ? static_cast<const amf::amf_numeric*>(v)->get_value()
               : -1;
}

struct Scan {
    double seconds = 0;
    double songs = 0;  // song and replacement records
    double unique = -1, duplicates = -1;
    bool ok = false;
};

Scan scan(Ostra::host::HostSession& session, const amf::amf_object& arg, double id) {
    Scan result;
    const auto start = std::chrono::steady_clock::now();
    try {
        session.send("scanDirectory", id, &arg);
    } catch (const Ostra::host::SessionError&) {
        return result;
    }
    for (;;) {
        Ostra::host::Value response = session.readResponse(std::chrono::minutes(10));
        if (!response) return result;
        if (number(prop(response.get(), "id")) != id) continue;
        const amf::amf0_data_type* data = prop(response.get(), "data");
        if (data == nullptr || data->get_type() != amf::AMF_ECMA_ARRAY) continue;
        for (const auto& entry : static_cast<const amf::amf_ecma_array*>(data)->get_value()) {
            const amf::amf0_data_type* type = prop(entry.second, "objectType");
            const std::string kind = type != nullptr && type->get_type() == amf::AMF_STRING
                                         ? static_cast<const amf::amf_string*>(type)->get_value()
                                         : std::string();
            if (kind == "song" || kind == "replacement") ++result.songs;
            if (kind == "report") {
                result.unique = number(prop(entry.second, "uniqueSongCount"));
                result.duplicates = number(prop(entry.second, "duplicateCount"));
            }
        }
        const amf::amf0_data_type* done = prop(response.get(), "done");
        if (done != nullptr && done->get_type() == amf::AMF_BOOLEAN &&
            static_cast<const amf::amf_boolean*>(done)->get_value()) {
            break;
        }
    }
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.ok = true;
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: scan_bench HELPER DIR [RUNS] [BATCH]\n";
        return 2;
    }
    const int runs = argc > 3 ? std::max(1, std::stoi(argv[3])) : 3;
    const double batch = argc > 4 ? std::stod(argv[4]) : 100;
    Ostra::host::HostSession session;
    try {
        session.startHelper(argv[1], {}, Ostra::host::HelperOutput::Discard);
    } catch (const Ostra::host::SessionError& e) {
        std::cerr << "helper did not start: " << e.what() << "\n";
        return 1;
    }
    amf::amf_object arg;
    arg.set_numeric_property("batchSize", batch);
    arg.set_string_property("startPath", argv[2]);
    amf::amf_ecma_array extensions;
    // SCAN_BENCH_EXTENSIONS (space separated) narrows the scan, e.g. to time the walk alone.
    const char* chosen = std::getenv("SCAN_BENCH_EXTENSIONS");
    std::istringstream names(chosen != nullptr ? chosen : "mp3 m4a flac ogg wav aiff wma");
    for (std::string ext; names >> ext;) {
        amf::amf_string text(ext);
        extensions.push_back(&text);
    }
    arg.set_property("validExtensions", &extensions);

    Scan best;
    double cpuBefore = 0;
    for (int i = 0; i <= runs; ++i) {
        // Run 0 warms the cache and the helper up and is not counted.
        if (i == 1) cpuBefore = benchsupport::cpuSeconds(session.helper().pid());
        const Scan run = scan(session, arg, i + 1);
        if (!run.ok) {
            std::cerr << "scan failed\n";
            return 1;
        }
        if (i > 0 && (best.seconds == 0 || run.seconds < best.seconds)) best = run;
    }
    const double cpuPerScan = (benchsupport::cpuSeconds(session.helper().pid()) - cpuBefore) / runs;
    session.quit();
    std::cout << "helper scanDirectory: " << best.songs << " song records (unique " << best.unique
              << ", duplicates " << best.duplicates << "), best of " << runs << ": " << best.seconds
              << " s = " << static_cast<long>(best.songs / best.seconds) << " files/s; helper CPU "
              << cpuPerScan << " s per scan\n";
    std::cout << "HELPER_FILES_PER_SECOND " << best.songs / best.seconds << "\n";
    std::cout << "HELPER_CPU_SECONDS " << cpuPerScan << "\n";
    return 0;
}

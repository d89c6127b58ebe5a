// The helper's side of the file-cache benchmark: one request in a helper of
// its own, with the cache at a given file (or off), timed from the request to
// its last answer. CPU seconds run from the request until the helper has gone
// quiet, so the cache's writes, which continue after the answer, count too.
//
// Usage: cache_bench scan HELPER DIR CACHE
//        cache_bench fingerprint HELPER LIST_FILE CACHE
// CACHE is a cache file or "off". Prints one line:
//   seconds S cpu C answers N hits H misses M stored W busiest B
// where the answers are song records (scan) or fingerprints (fingerprint),
// H, M and W are the helper's own cache counts, and B is the CPU seconds of
// the helper's busiest thread from the request to its last answer: with
// the total, a bound on the wall time an idle machine would give
// (max(B, C / processors)), which a loaded machine cannot blur.
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <iostream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/ProcessCpu.h"
#include "host/client/HostSession.h"
#include "host/client/SessionError.h"

namespace {

using Clock = std::chrono::steady_clock;

const amf::amf0_data_type* prop(const amf::amf0_data_type* v, const char* key) {
    if (v == nullptr || v->get_type() != amf::AMF_OBJECT) return nullptr;
    return static_cast<const amf::amf_object*>(v)->get_property(key);
}

bool isDone(const amf::amf0_data_type* response) {
    const amf::amf0_data_type* done = prop(response, "done");
    return done != nullptr && done->get_type() == amf::AMF_BOOLEAN &&
           static_cast<const amf::amf_boolean*>(done)->get_value();
}

// Entries of the data arrays that carry `key` ("objectType" song records, or
// "CMX" fingerprints), until the response marked done.
long collect(Ostra::host::HostSession& session, const char* key, const char* value) {
    long answers = 0;
    for (;;) {
        Ostra::host::Value response = session.readResponse(std::chrono::minutes(30));
        if (!response) return -1;
        const amf::amf0_data_type* data = prop(response.get(), "data");
        if (data != nullptr && data->get_type() == amf::AMF_ECMA_ARRAY) {
            for (const auto& entry : static_cast<const amf::amf_ecma_array*>(data)->get_value()) {
                const amf::amf0_data_type* field = prop(entry.second, key);
                if (field == nullptr || field->get_type() != amf::AMF_STRING) continue;
                const std::string& text = static_cast<const amf::amf_string*>(field)->get_value();
                if (value == nullptr || text == value) ++answers;
            }
        }
        if (isDone(response.get())) return answers;
    }
}

// Waits until the helper has used no CPU for a while (its cache writer
// commits in batches a fraction of a second apart); at most 20 seconds.
double cpuWhenQuiet(pid_t pid) {
    double last = benchsupport::cpuSeconds(pid);
    int quiet = 0;
    for (int i = 0; i < 200 && quiet < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const double now = benchsupport::cpuSeconds(pid);
        quiet = now == last ? quiet + 1 : 0;
        last = now;
    }
    return last;
}

std::vector<std::string> readList(const std::string& file) {
    std::vector<std::string> paths;
    std::ifstream list(file);
    for (std::string line; std::getline(list, line);) {
        if (!line.empty()) paths.push_back(line);
    }
    return paths;
}

// CPU seconds of each of the process's threads so far, by thread id.
std::map<std::string, double> threadSeconds(pid_t pid) {
    std::map<std::string, double> seconds;
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = ::opendir(tasks.c_str());
    if (dir == nullptr) return seconds;
    while (const struct dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        const double cpu = benchsupport::cpuSecondsOf(tasks + "/" + entry->d_name + "/stat");
        if (cpu >= 0) seconds[entry->d_name] = cpu;
    }
    ::closedir(dir);
    return seconds;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 || (std::string(argv[1]) != "scan" && std::string(argv[1]) != "fingerprint")) {
        std::cerr << "usage: cache_bench scan|fingerprint HELPER DIR|LIST_FILE CACHE\n";
        return 2;
    }
    const bool scan = std::string(argv[1]) == "scan";
    amf::amf_object arg;
    if (scan) {
        arg.set_numeric_property("batchSize", 100);
        arg.set_string_property("startPath", argv[3]);
        amf::amf_ecma_array extensions;
        for (const char* ext : {"mp3", "m4a", "flac", "ogg", "wav", "aiff", "wma"}) {
            amf::amf_string text(ext);
            extensions.push_back(&text);
        }
        arg.set_property("validExtensions", &extensions);
    } else {
        amf::amf_ecma_array types;
        amf::amf_string cmx("CMX");
        types.push_back(&cmx);
        amf::amf_ecma_array paths;
        for (const std::string& path : readList(argv[3])) {
            amf::amf_string text(path);
            paths.push_back(&text);
        }
        arg.set_property("fingerprintTypes", &types);
        arg.set_property("filePaths", &paths);
        arg.set_numeric_property("batchSize", 10);
    }

    Ostra::host::HostSession session;
    try {
        session.startHelper(argv[2], {std::string("OSTRA_CACHE=") + argv[4], "OSTRA_CACHE_STATS=1"},
                            Ostra::host::HelperOutput::ToFiles);
    } catch (const Ostra::host::SessionError& e) {
        std::cerr << "helper did not start: " << e.what() << "\n";
        return 1;
    }
    const pid_t pid = session.helper().pid();
    const double cpuBefore = benchsupport::cpuSeconds(pid);
    const std::map<std::string, double> threadsBefore = threadSeconds(pid);
    const auto start = Clock::now();
    long answers = -1;
    try {
        session.send(scan ? "scanDirectory" : "fingerprints", 1, &arg);
        answers = scan ? collect(session, "objectType", "song") : collect(session, "CMX", nullptr);
    } catch (const Ostra::host::SessionError& e) {
        std::cerr << "request failed: " << e.what() << "\n";
        return 1;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    double busiest = 0;
    for (const auto& thread : threadSeconds(pid)) {
        const auto before = threadsBefore.find(thread.first);
        busiest = std::max(busiest,
                           thread.second - (before == threadsBefore.end() ? 0.0 : before->second));
    }
    const double cpu = cpuWhenQuiet(pid) - cpuBefore;
    session.quit();
    if (answers < 0) {
        std::cerr << "no final answer\n";
        return 1;
    }
    // "File cache: H hits, M misses, S stored, D dropped" at the helper's exit.
    std::smatch counts;
    const std::string err = session.helper().err();
    std::regex_search(err, counts,
                      std::regex("File cache: (\\d+) hits, (\\d+) misses, (\\d+) stored"));
    std::cout << "seconds " << seconds << " cpu " << cpu << " answers " << answers << " hits "
              << (counts.empty() ? "0" : counts.str(1)) << " misses "
              << (counts.empty() ? "0" : counts.str(2)) << " stored "
              << (counts.empty() ? "0" : counts.str(3)) << " busiest " << busiest << "\n";
    return 0;
}

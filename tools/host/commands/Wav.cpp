#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>

#include "host/FailureReason.h"
#include "host/FileList.h"
#include "host/commands/ListRun.h"
#include "host/commands/Subcommand.h"

namespace Ostra::host {

namespace {

using nlohmann::json;

// Requests in flight at once: enough to keep every worker busy, few enough
// that neither side's socket buffer fills while the other is writing.
constexpr std::size_t kMaxInFlight = 16;

// Where the helper writes the WAV file: the last extension of the file name
// replaced (a leading dot does not start one), else ".wav" appended.
std::string wavPathFor(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    const std::string::size_type nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string::size_type dot = path.rfind('.');
    if (dot == std::string::npos || dot <= nameStart) return path + ".wav";
    return path.substr(0, dot) + ".wav";
}

// Why the WAV file beside `path` could not be written, when this process can
// tell (the same user runs the helper); empty when nothing stands in its way.
std::string wavWriteProblem(const std::string& wav) {
    struct stat info;
    if (stat(wav.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return std::strerror(EISDIR);
    const std::string::size_type slash = wav.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : wav.substr(0, slash + 1);
    if (access(folder.c_str(), W_OK) != 0) return std::strerror(errno);
    return {};
}

bool isWavName(const std::string& path) {
    if (path.size() < 4) return false;
    std::string extension = path.substr(path.size() - 4);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == ".wav";
}

// One "convertToWav" request per file, several in flight, so that each file
// gets its own result and the helper still converts in parallel. Results
// print in the order of the files, whatever order the conversions end in.
class WavCommand : public Subcommand {
  public:
    CLI::App* define(CLI::App& app) override {
        CLI::App* wav =
            app.add_subcommand("wav", "Decode audio files to WAV files beside them (convertToWav)");
        files_.define(*wav);
        return wav;
    }

    int run(const GlobalOptions& options) override {
        const std::vector<std::string> files = files_.files();
        Session session(options);
        RecordWriter out(std::cout, options.outputFormat(),
                         {"path", "wav", "converted", "error", "reason"});
        ProgressLine progress("wav", "file", "files", static_cast<std::int64_t>(files.size()),
                              options.progress());
        std::map<double, std::size_t> inFlight;
        std::map<std::size_t, json> finished;
        std::size_t next = 0, printed = 0, failed = 0;
        std::int64_t converted = 0;
        int status = kSuccess;
        while (next < files.size() || !inFlight.empty()) {
            while (next < files.size() && inFlight.size() < kMaxInFlight) {
                const json arg = {{"filePaths", json::array({files[next]})}};
                inFlight[session.send("convertToWav", &arg)] = next;
                ++next;
            }
            Response response;
            session.receive(response);
            auto it = inFlight.find(response.id);
            if (it == inFlight.end() || !response.done) continue;
            const std::size_t index = it->second;
            const std::string& path = files[index];
            inFlight.erase(it);
            const std::string error = errorText(response.data);
            if (!error.empty()) {
                reportHelperError(error, path);
                status = kFailed;
                finished[index] = json{{"path", path}, {"error", error}};
            } else if (response.data.is_object() && response.data.value("filesConverted", 0) > 0) {
                finished[index] =
                    json{{"path", path}, {"converted", true}, {"wav", wavPathFor(path)}};
                ++converted;
            } else {
                json record = failureRecord(path, nullptr);
                // The helper skips ".wav" sources without opening them: the
                // file is fine, only not converted.
                if (record["reason"] == kUnsupportedAudio) {
                    const std::string problem = wavWriteProblem(wavPathFor(path));
                    if (isWavName(path)) {
                        record["reason"] = "already a WAV file";
                    } else if (!problem.empty()) {
                        record["reason"] = "the WAV file cannot be written: " + problem;
                    }
                }
                record["converted"] = false;
                finished[index] = record;
                ++failed;
            }
            for (auto ready = finished.find(printed); ready != finished.end();
                 ready = finished.find(++printed)) {
                out.record(ready->second);
                finished.erase(ready);
            }
            progress.advance(1);
        }
        progress.finish();
        out.summary(json{{"filesConverted", converted},
                         {"filesSkipped", static_cast<std::int64_t>(files.size()) - converted}});
        out.finish();
        return status != kSuccess ? status : reportFailures(failed, files.size());
    }

  private:
    FileList files_;
};

}  // namespace

std::unique_ptr<Subcommand> makeWavCommand() {
    return std::unique_ptr<Subcommand>(new WavCommand());
}

}  // namespace Ostra::host

// ostra-host: drives the helper from a shell. A subcommand per helper command
// turns flags and file arguments into a request, prints the answers as JSON
// Lines (or a table) and stops the helper; "raw" sends any command with a JSON
// argument and prints the response envelopes themselves.
#include <limits.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <functional>
#include <iostream>
#include <map>
#include <set>

#include "host/HostSession.h"
#include "host/JsonAmf.h"
#include "host/Output.h"

extern char** environ;

namespace {

using nlohmann::json;

enum ExitCode { kDone = 0, kHelperError = 1, kUsage = 2, kHelperFailed = 3 };

// Thrown when the helper cannot be started or dies; main maps it to exit 3.
struct HelperFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Requests in flight at once when one request is sent per file: enough to keep
// every worker busy, few enough that neither side's socket buffer fills while
// the other is writing.
constexpr std::size_t kMaxInFlight = 16;

// How long to wait, after a scan's error response, for the final batch with the
// report that the scanner still sends.
constexpr std::chrono::seconds kReportAfterErrorWait(10);

const char* const kSubcommands[] = {"scan",      "itunes",      "tags",       "hash",
                                    "wav",       "fingerprint", "extensions", "sysinfo",
                                    "device-id", "keep-awake",  "raw"};

// The helper beside this executable, else the one on PATH.
std::string defaultHelperPath() {
    if (const char* env = std::getenv("OSTRA_NATIVE")) return env;
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        std::string dir(self, static_cast<std::size_t>(n));
        dir = dir.substr(0, dir.rfind('/'));
        std::string beside = dir + "/ostra-native";
        if (access(beside.c_str(), X_OK) == 0) return beside;
    }
    return "ostra-native";
}

// The text of an error response, or empty when `data` is ordinary data. Errors
// are {"error": text} objects; an unknown command is answered with a plain
// string instead.
std::string errorText(const json& data) {
    if (data.is_object() && data.size() == 1 && data.contains("error")) {
        const json& text = data["error"];
        return text.is_string() ? text.get<std::string>() : text.dump();
    }
    if (data.is_string()) {
        const std::string& text = data.get_ref<const std::string&>();
        if (text.rfind("Error: Unknown command ", 0) == 0) return text;
    }
    return {};
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text + ",") {
        if (c == ',') {
            if (!item.empty()) items.push_back(item);
            item.clear();
        } else if (c != ' ') {
            item += c;
        }
    }
    return items;
}

// A decoded response envelope.
struct Response {
    double id = 0;
    bool done = false;
    json data;
    json envelope;
};

struct Options {
    std::string helper = defaultHelperPath();
    unsigned short port = 0;
    bool verbose = false;
    std::string format = "json";
    bool noProgress = false;

    bool progress() const { return !noProgress && isatty(STDERR_FILENO) == 1; }
    ostrahost::OutputFormat outputFormat() const {
        return format == "table" ? ostrahost::OutputFormat::Table
                                 : ostrahost::OutputFormat::JsonLines;
    }
};

// One helper for the life of the command.
class Helper {
  public:
    explicit Helper(const Options& options)
        : session_(options.helper, options.port, options.verbose), helperPath_(options.helper) {
        if (options.port != 0)
            std::cerr << "ostra-host: waiting for a helper on port " << session_.port() << "\n";
        if (!session_.open()) throw HelperFailure("the helper did not start (" + helperPath_ + ")");
    }
    ~Helper() { session_.close(); }

    double send(const std::string& command, const json* arg) {
        const double id = nextId_++;
        std::unique_ptr<amf::amf0_data_type> value;
        if (arg != nullptr) value = ostrahost::toAmf(*arg);
        if (!session_.send(command, id, value.get()))
            throw HelperFailure("the helper closed the connection");
        return id;
    }

    // The next response; false only when `timeout` passed first.
    bool receive(Response& response,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds::max()) {
        auto frame = session_.receive(timeout);
        if (!frame) {
            if (session_.error() != ostrahost::SessionError::None)
                throw HelperFailure("the helper died before its final response");
            // Without a deadline, no frame and no session error means a frame
            // that does not decode.
            if (timeout == std::chrono::milliseconds::max())
                throw HelperFailure("the helper sent a frame that does not decode");
            return false;
        }
        response.envelope = ostrahost::toJson(frame.get());
        if (!response.envelope.is_object())
            throw HelperFailure("the helper sent a frame that is not a response envelope");
        response.id = response.envelope.value("id", 0.0);
        auto done = response.envelope.find("done");
        response.done = done != response.envelope.end() && done->is_boolean() && done->get<bool>();
        auto data = response.envelope.find("data");
        response.data = data == response.envelope.end() ? json() : *data;
        return true;
    }

    ostrahost::HostSession& session() { return session_; }

  private:
    ostrahost::HostSession session_;
    std::string helperPath_;
    double nextId_ = 1;
};

void reportError(const std::string& text) {
    std::cerr << "ostra-host: the helper answered an error: " << text << "\n";
}

// Sends one request and hands every response's data to `onData` until the
// final one. Returns kHelperError when an error response arrived, else kDone.
// A scan keeps sending after its error response, so with `reportFollowsError`
// the final batch is awaited (for a bounded time) as well.
int exchange(Helper& helper, const std::string& command, const json* arg,
             const std::function<void(const json& data, bool done)>& onData,
             bool reportFollowsError = false) {
    helper.send(command, arg);
    int result = kDone;
    Response response;
    for (;;) {
        const bool afterError = result == kHelperError;
        if (afterError && !reportFollowsError) break;
        if (afterError) {
            if (!helper.receive(response, kReportAfterErrorWait)) break;
        } else {
            helper.receive(response);
        }
        const std::string error = errorText(response.data);
        if (!error.empty()) {
            reportError(error);
            result = kHelperError;
            continue;
        }
        onData(response.data, response.done);
        if (response.done) break;
    }
    return result;
}

// Records of a list answer: an ECMA array of entries (or a single value).
void forEachEntry(const json& data, const std::function<void(const json&)>& visit) {
    if (data.is_array()) {
        for (const auto& entry : data) visit(entry);
    } else if (data.is_object() && !data.empty()) {
        // An ECMA array whose keys are not exactly "0".."n-1" prints as an
        // object; its values are still the entries.
        for (const auto& item : data.items()) visit(item.value());
    }
}

json filePathsArg(const std::vector<std::string>& files, int batch) {
    json arg = {{"filePaths", files}};
    if (batch > 0) arg["batchSize"] = batch;
    return arg;
}

// One file-list command: entries come back in batches and a count object
// ends the answer. Every entry goes to `onEntry` and advances the progress
// line; the count is kept in `final` for the summary.
int exchangeList(Helper& helper, const std::string& command, json& arg,
                 ostrahost::ProgressLine& progress, json& final,
                 const std::function<void(const json&)>& onEntry) {
    return exchange(helper, command, &arg, [&](const json& data, bool done) {
        if (done && data.is_object() && data.contains("count")) {
            final = data;
            return;
        }
        forEachEntry(data, [&](const json& entry) {
            onEntry(entry);
            progress.advance(1);
        });
    });
}

void finishList(ostrahost::ProgressLine& progress, ostrahost::RecordWriter& out,
                const json& final) {
    progress.finish();
    if (!final.is_null()) out.summary(final);
    out.finish();
}

int runScan(const Options& options, const std::string& command, const json& arg) {
    Helper helper(options);
    ostrahost::RecordWriter out(
        std::cout, options.outputFormat(),
        {"objectType", "title", "artist", "album", "path", "type", "duplicateOf", "name"});
    ostrahost::ProgressLine progress("scan", "records", -1, options.progress());
    bool first = true;
    int rc = exchange(
        helper, command, &arg,
        [&](const json& data, bool) {
            // "scanMediaLibs" opens with the list of libraries it found.
            if (first && command == "scanMediaLibs" && data.is_array() &&
                std::all_of(data.begin(), data.end(),
                            [](const json& v) { return v.is_string(); }) &&
                !data.empty()) {
                first = false;
                out.summary(json{{"libraries", data}});
                return;
            }
            if (first && command == "scanMediaLibs" &&
                (data.is_null() || (data.is_object() && data.empty()))) {
                first = false;
                out.summary(json{{"libraries", json::array()}});
                return;
            }
            first = false;
            forEachEntry(data, [&](const json& entry) {
                if (entry.is_object() && entry.value("objectType", "") == "report") {
                    out.summary(entry);
                } else {
                    out.record(entry);
                    progress.advance(1);
                }
            });
        },
        true);
    progress.finish();
    out.finish();
    return rc;
}

int runTags(const Options& options, const std::vector<std::string>& files, int batch) {
    Helper helper(options);
    ostrahost::RecordWriter out(
        std::cout, options.outputFormat(),
        {"path", "title", "artist", "album", "trackNumber", "duration", "genre", "error"});
    ostrahost::ProgressLine progress("tags", "files", static_cast<std::int64_t>(files.size()),
                                     options.progress());
    json arg = filePathsArg(files, batch);
    std::set<std::string> answered;
    json final;
    int rc = exchangeList(
        helper, "extractMetadataFromFiles", arg, progress, final, [&](const json& entry) {
            if (entry.is_object() && entry.contains("path") && entry["path"].is_string())
                answered.insert(entry["path"].get<std::string>());
            out.record(entry);
        });
    // The helper leaves unreadable files out; name them so every file is accounted for.
    if (rc == kDone) {
        for (const auto& file : files) {
            if (answered.insert(file).second)
                out.record(json{{"path", file}, {"error", "tags could not be read"}});
        }
    }
    finishList(progress, out, final);
    return rc;
}

int runHash(const Options& options, const std::vector<std::string>& files, int batch) {
    Helper helper(options);
    ostrahost::RecordWriter out(std::cout, options.outputFormat(), {"path", "hash", "error"});
    ostrahost::ProgressLine progress("hash", "files", static_cast<std::int64_t>(files.size()),
                                     options.progress());
    json arg = filePathsArg(files, batch);
    std::size_t position = 0;
    json final;
    // Entries come in request order; an error entry is a bare string, so its
    // position names the file.
    int rc = exchangeList(helper, "audioHash", arg, progress, final, [&](const json& entry) {
        const std::string path = position < files.size() ? files[position] : std::string();
        ++position;
        if (entry.is_string()) {
            out.record(json{{"path", path}, {"error", entry}});
        } else {
            out.record(entry);
        }
    });
    finishList(progress, out, final);
    return rc;
}

int runFingerprint(const Options& options, const std::vector<std::string>& files,
                   const std::string& types, int batch) {
    Helper helper(options);
    std::vector<std::string> typeList = splitList(types);
    std::vector<std::string> columns{"path"};
    columns.insert(columns.end(), typeList.begin(), typeList.end());
    columns.push_back("error");
    ostrahost::RecordWriter out(std::cout, options.outputFormat(), columns);
    ostrahost::ProgressLine progress("fingerprint", "files",
                                     static_cast<std::int64_t>(files.size()), options.progress());
    json arg = filePathsArg(files, batch);
    arg["fingerprintTypes"] = typeList;
    json final;
    int rc = exchangeList(helper, "fingerprints", arg, progress, final,
                          [&](const json& entry) { out.record(entry); });
    finishList(progress, out, final);
    return rc;
}

// Where the helper writes the WAV file: the last extension of the file name
// replaced (a leading dot does not start one), else ".wav" appended.
std::string wavPathFor(const std::string& path) {
    const std::string::size_type slash = path.rfind('/');
    const std::string::size_type nameStart = slash == std::string::npos ? 0 : slash + 1;
    const std::string::size_type dot = path.rfind('.');
    if (dot == std::string::npos || dot <= nameStart) return path + ".wav";
    return path.substr(0, dot) + ".wav";
}

// One "convertToWav" request per file, several in flight, so each file gets its
// own result line and the helper still converts in parallel. Results print in
// the order of the files, whatever order the conversions finish in.
int runWav(const Options& options, const std::vector<std::string>& files) {
    Helper helper(options);
    ostrahost::RecordWriter out(std::cout, options.outputFormat(),
                                {"path", "wav", "converted", "error"});
    ostrahost::ProgressLine progress("wav", "files", static_cast<std::int64_t>(files.size()),
                                     options.progress());
    std::map<double, std::size_t> inFlight;
    std::map<std::size_t, json> finished;
    std::size_t next = 0;
    std::size_t printed = 0;
    std::int64_t converted = 0;
    int rc = kDone;
    while (next < files.size() || !inFlight.empty()) {
        while (next < files.size() && inFlight.size() < kMaxInFlight) {
            json arg = {{"filePaths", json::array({files[next]})}};
            inFlight[helper.send("convertToWav", &arg)] = next;
            ++next;
        }
        Response response;
        helper.receive(response);
        auto it = inFlight.find(response.id);
        if (it == inFlight.end() || !response.done) continue;
        const std::size_t index = it->second;
        const std::string& path = files[index];
        inFlight.erase(it);
        const std::string error = errorText(response.data);
        if (!error.empty()) {
            reportError(error);
            rc = kHelperError;
            finished[index] = json{{"path", path}, {"error", error}};
        } else {
            const bool ok =
                response.data.is_object() && response.data.value("filesConverted", 0) > 0;
            json record = {{"path", path}, {"converted", ok}};
            if (ok) {
                record["wav"] = wavPathFor(path);
                ++converted;
            }
            finished[index] = record;
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
    return rc;
}

int runSingle(const Options& options, const std::string& command,
              const std::function<void(ostrahost::RecordWriter&, const json&)>& print,
              std::vector<std::string> columns = {}) {
    Helper helper(options);
    ostrahost::RecordWriter out(std::cout, options.outputFormat(), std::move(columns));
    int rc = exchange(helper, command, nullptr, [&](const json& data, bool) { print(out, data); });
    out.finish();
    return rc;
}

// Keeps the machine awake while `command` runs: "preventSleep" first,
// "allowSleep" after; the helper stays up in between because the inhibition
// ends with it. Exits with the command's own status (127 when it cannot be
// started). Where sleep cannot be prevented (no login manager, a container)
// the command still runs after a warning, unless `require` is set.
int runKeepAwake(const Options& options, const std::vector<std::string>& command, bool require) {
    Helper helper(options);
    bool prevented = false;
    helper.send("preventSleep", nullptr);
    Response response;
    helper.receive(response);
    const std::string error = errorText(response.data);
    if (error.empty()) {
        prevented = true;
        if (options.verbose) std::cerr << "ostra-host: sleep prevented\n";
    } else if (require) {
        reportError(error);
        return kHelperError;
    } else {
        std::cerr << "ostra-host: warning: sleep could not be prevented (" << error
                  << "); running the command anyway\n";
    }
    std::vector<char*> argv;
    for (const auto& word : command) argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int status = 0;
    int commandStatus;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) {
        std::cerr << "ostra-host: cannot run " << command[0] << "\n";
        commandStatus = 127;
    } else {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        commandStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    if (prevented) {
        int rc = exchange(helper, "allowSleep", nullptr, [](const json&, bool) {});
        if (options.verbose && rc == kDone) std::cerr << "ostra-host: sleep allowed again\n";
    }
    return commandStatus;
}

// The original form: the response envelopes, one per line, as they arrive.
int runRaw(const Options& options, const std::string& command, const std::string& argJson) {
    std::unique_ptr<json> arg;
    if (!argJson.empty()) {
        try {
            arg.reset(new json(json::parse(argJson)));
        } catch (const json::exception& e) {
            std::cerr << "ostra-host: the argument is not JSON: " << e.what() << "\n";
            return kUsage;
        }
    }
    Helper helper(options);
    helper.send(command, arg.get());
    Response response;
    for (;;) {
        helper.receive(response);
        std::cout << ostrahost::dumpLine(response.envelope) << "\n" << std::flush;
        if (response.done) return errorText(response.data).empty() ? kDone : kHelperError;
    }
}

// `ostra-host CMD [ARG]` with a helper command name predates the subcommands:
// a first word that is not a subcommand is taken as "raw CMD".
std::vector<std::string> withRawDefault(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    static const std::set<std::string> valued = {"--helper", "--port", "--format"};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") break;
        if (!word.empty() && word[0] == '-') {
            if (valued.count(word) != 0) ++i;
            continue;
        }
        bool known = std::find(std::begin(kSubcommands), std::end(kSubcommands), word) !=
                     std::end(kSubcommands);
        if (!known) args.insert(args.begin() + static_cast<std::ptrdiff_t>(i), "raw");
        break;
    }
    return args;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{
        "Drive the OstraNative helper from a shell: each subcommand starts the helper, sends one "
        "command, prints the answers as JSON Lines (or --format table) and stops the helper.\n"
        "A first word that is not a subcommand is a raw command name: "
        "`ostra-host version` is `ostra-host raw version`."};
    app.name("ostra-host");
    app.fallthrough();
    app.require_subcommand(1);
    Options options;
    app.add_option("--helper", options.helper, "Path of the helper binary")
        ->envname("OSTRA_NATIVE");
    app.add_option("--port", options.port,
                   "Listen on this port and wait for a helper started by hand");
    app.add_flag("-v,--verbose", options.verbose, "Show the helper's own output on standard error");
    app.add_option("--format", options.format, "Output: json (JSON Lines) or table")
        ->check(CLI::IsMember({"json", "table"}));
    app.add_flag("--no-progress", options.noProgress,
                 "No progress line (it is only drawn when standard error is a terminal)");

    std::string dir, exts = "mp3,m4a,flac,ogg,wav,aif,aiff,aac,wma", types = "CMX";
    int scanBatch = 200, listBatch = 10;
    std::vector<std::string> files, command;
    std::string rawCommand, rawArg;

    auto* scan =
        app.add_subcommand("scan", "Scan a directory tree into song records (scanDirectory)");
    scan->add_option("dir", dir, "Directory to scan")->required();
    scan->add_option("--ext", exts, "Extensions to accept, lower case, comma-separated")
        ->capture_default_str();
    scan->add_option("--batch", scanBatch, "Records per response")->capture_default_str();

    auto* itunes = app.add_subcommand("itunes", "Scan the user's iTunes library (scanMediaLibs)");
    itunes->add_option("--batch", scanBatch, "Records per response")->capture_default_str();

    auto* tags =
        app.add_subcommand("tags", "Read the tags of audio files (extractMetadataFromFiles)");
    tags->add_option("files", files, "Audio files")->required();
    tags->add_option("--batch", listBatch, "Files per response")->capture_default_str();

    auto* hash = app.add_subcommand("hash", "Hash the audio payload of MP3/M4A files (audioHash)");
    hash->add_option("files", files, "Audio files")->required();
    hash->add_option("--batch", listBatch, "Files per response")->capture_default_str();

    auto* wav =
        app.add_subcommand("wav", "Decode audio files to WAV files beside them (convertToWav)");
    wav->add_option("files", files, "Audio files")->required();

    auto* fingerprint =
        app.add_subcommand("fingerprint", "Acoustic fingerprints of audio files (fingerprints)");
    fingerprint->add_option("files", files, "Audio files")->required();
    fingerprint->add_option("--types", types, "Fingerprint types: any of CMX, MICRO, NANO")
        ->capture_default_str();
    fingerprint->add_option("--batch", listBatch, "Files per response")->capture_default_str();

    auto* extensions = app.add_subcommand(
        "extensions", "File extensions the helper can decode (getSupportedExtensions)");
    auto* sysinfo = app.add_subcommand("sysinfo", "OS, processor and memory facts (systemInfo)");
    auto* deviceId = app.add_subcommand("device-id", "The machine's stable identifier (deviceId)");

    auto* keepAwake =
        app.add_subcommand("keep-awake",
                           "Keep the machine awake while COMMAND runs (preventSleep, allowSleep); "
                           "exits with COMMAND's status");
    keepAwake->add_option("command", command, "The command and its arguments, after --")
        ->required();
    bool requireAwake = false;
    keepAwake->add_flag("--require", requireAwake,
                        "Do not run COMMAND (exit 1) when sleep cannot be prevented");

    auto* raw = app.add_subcommand(
        "raw", "Send any command with a JSON argument; print the response envelopes");
    raw->add_option("command", rawCommand, "Command name, e.g. version, echo, scanDirectory")
        ->required();
    raw->add_option("arg", rawArg,
                    "The argument as JSON; objects become AMF0 objects, "
                    "arrays ECMA arrays keyed \"0\", \"1\", ...");

    std::vector<std::string> args = withRawDefault(argc, argv);
    std::reverse(args.begin(), args.end());
    try {
        app.parse(args);
    } catch (const CLI::ParseError& e) {
        int rc = app.exit(e);
        return rc == 0 ? kDone : kUsage;
    }

    try {
        if (scan->parsed()) {
            json arg = {
                {"startPath", dir}, {"validExtensions", splitList(exts)}, {"batchSize", scanBatch}};
            return runScan(options, "scanDirectory", arg);
        }
        if (itunes->parsed()) return runScan(options, "scanMediaLibs", {{"batchSize", scanBatch}});
        if (tags->parsed()) return runTags(options, files, listBatch);
        if (hash->parsed()) return runHash(options, files, listBatch);
        if (wav->parsed()) return runWav(options, files);
        if (fingerprint->parsed()) return runFingerprint(options, files, types, listBatch);
        if (extensions->parsed()) {
            return runSingle(
                options, "getSupportedExtensions",
                [](ostrahost::RecordWriter& out, const json& data) {
                    forEachEntry(data, [&](const json& e) { out.record({{"extension", e}}); });
                },
                {"extension"});
        }
        if (sysinfo->parsed()) {
            return runSingle(
                options, "systemInfo",
                [](ostrahost::RecordWriter& out, const json& data) { out.summary(data); });
        }
        if (deviceId->parsed()) {
            return runSingle(options, "deviceId",
                             [](ostrahost::RecordWriter& out, const json& data) {
                                 out.summary(json{{"deviceId", data}});
                             });
        }
        if (keepAwake->parsed()) return runKeepAwake(options, command, requireAwake);
        return runRaw(options, rawCommand, rawArg);
    } catch (const HelperFailure& e) {
        std::cerr << "ostra-host: " << e.what() << "\n";
        return kHelperFailed;
    } catch (const std::exception& e) {
        std::cerr << "ostra-host: " << e.what() << "\n";
        return kHelperFailed;
    }
}

#include <CLI/CLI.hpp>
#include <algorithm>
#include <sstream>

#include "host/CliDocs.h"
#include "host/FailureReason.h"
#include "host/FileList.h"
#include "host/UsageError.h"
#include "host/commands/ListRun.h"
#include "host/commands/Subcommand.h"

namespace Ostra::host {

namespace {

using nlohmann::json;

// The helper counts a repeated type once; so does the table.
std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> items;
    std::string item;
    for (char c : text + ",") {
        if (c == ',') {
            if (!item.empty() && std::find(items.begin(), items.end(), item) == items.end())
                items.push_back(item);
            item.clear();
        } else if (c != ' ') {
            item += c;
        }
    }
    return items;
}

// A fingerprint error record is several tab-indented lines:
//   ***ERROR***: GNSDK Error(<code>): <what failed>
//   \tSource File: ... \tFile: ... \tLine: ... [\tError: <the SDK's text>]
// A table shows it as "<what failed>: <the SDK's text> (error <code>)".
// Any other text is shown as it is.
std::string readableError(const std::string& text) {
    const std::string head = "***ERROR***: GNSDK Error(";
    if (text.rfind(head, 0) != 0) return text;
    std::istringstream lines(text);
    std::string first, line, detail;
    std::getline(lines, first);
    while (std::getline(lines, line)) {
        const std::string key = "\tError: ";
        if (line.rfind(key, 0) == 0) detail = line.substr(key.size());
    }
    const std::string::size_type close = first.find("): ", head.size());
    if (close == std::string::npos) return text;
    const std::string code = first.substr(head.size(), close - head.size());
    std::string readable = first.substr(close + 3);
    if (!detail.empty()) readable += ": " + detail;
    return readable + " (error " + code + ")";
}

// How the SDK's error record says the audio was too short: too few samples
// for a full fingerprint, or for any.
bool tooShort(const std::string& error) {
    return error.find("returned invalid data (SHORT)") != std::string::npos ||
           error.find("returned invalid data (EMPTY)") != std::string::npos;
}

class FingerprintCommand : public Subcommand {
  public:
    CLI::App* define(CLI::App& app) override {
        CLI::App* fingerprint = app.add_subcommand(
            "fingerprint", "Acoustic fingerprints of audio files (fingerprints)");
        files_.define(*fingerprint);
        withChoices(fingerprint
                        ->add_option("--types", types_,
                                     "Fingerprint types, comma-separated: any of CMX, "
                                     "MICRO, NANO")
                        ->capture_default_str(),
                    {"CMX", "MICRO", "NANO"}, true);
        fingerprint->add_option("--batch", batch_, "Files per response")->capture_default_str();
        return fingerprint;
    }

    int run(const GlobalOptions& options) override {
        const std::vector<std::string> files = files_.files();
        const std::vector<std::string> typeList = splitList(types_);
        // The helper would call every readable file a success, with no
        // fingerprint at all.
        if (typeList.empty())
            throw UsageError("no fingerprint type given (--types CMX,MICRO,NANO)");
        Session session(options);
        std::vector<std::string> columns{"path"};
        columns.insert(columns.end(), typeList.begin(), typeList.end());
        columns.push_back("error");
        columns.push_back("reason");
        RecordWriter out(std::cout, options.outputFormat(), columns);
        ProgressLine progress("fingerprint", "file", "files",
                              static_cast<std::int64_t>(files.size()), options.progress());
        const bool table = options.outputFormat() == OutputFormat::Table;
        std::size_t failed = 0;
        std::int64_t count = 0;
        const int status = runFileListRequests(
            session, "fingerprints", files, {{"fingerprintTypes", typeList}}, batch_,
            [&](const json& entry, Chunk) {
                if (entry.is_object() && entry.contains("error")) {
                    ++failed;
                    json error = entry["error"];
                    if (table && error.is_string()) error = readableError(error.get<std::string>());
                    const json path = entry.value("path", json(""));
                    json record =
                        failureRecord(path.is_string() ? path.get<std::string>() : "", error);
                    record["path"] = path;
                    if (record["reason"] == kUnsupportedAudio && entry["error"].is_string() &&
                        tooShort(entry["error"].get_ref<const std::string&>()))
                        record["reason"] = "too short to fingerprint";
                    out.record(record);
                } else {
                    out.record(entry);
                }
                progress.advance(1);
            },
            [](Chunk) {}, count);
        progress.finish();
        if (status == kSuccess) out.summary(json{{"count", count}});
        out.finish();
        return status != kSuccess ? status : reportFailures(failed, files.size());
    }

  private:
    FileList files_;
    std::string types_ = "CMX";
    int batch_ = 10;
};

}  // namespace

std::unique_ptr<Subcommand> makeFingerprintCommand() {
    return std::unique_ptr<Subcommand>(new FingerprintCommand());
}

}  // namespace Ostra::host

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>

#include "host/commands/ScanRun.h"
#include "host/commands/Subcommand.h"

namespace Ostra::host {

namespace {

using nlohmann::json;

// The helper compares a file's lower-cased extension, without its dot, with
// the list exactly; people type "MP3" and ".mp3" too.
std::vector<std::string> normalizedExtensions(const std::string& text) {
    std::vector<std::string> extensions;
    std::string item;
    for (char c : text + ",") {
        if (c == ',') {
            while (!item.empty() && item.front() == '.') item.erase(item.begin());
            if (!item.empty() &&
                std::find(extensions.begin(), extensions.end(), item) == extensions.end())
                extensions.push_back(item);
            item.clear();
        } else if (!std::isspace(static_cast<unsigned char>(c))) {
            item += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
    }
    return extensions;
}

std::string joined(const std::vector<std::string>& items) {
    std::string text;
    for (const auto& item : items) text += (text.empty() ? "" : ",") + item;
    return text;
}

class ScanCommand : public Subcommand {
  public:
    CLI::App* define(CLI::App& app) override {
        CLI::App* scan = app.add_subcommand(
            "scan", "Scan folders into song records, duplicates and a report (scanDirectory)");
        scan->add_option("dirs", dirs_, "Folders to scan, each in a request of its own")
            ->required()
            ->type_name("DIR");
        scan->add_option("--ext", extensions_,
                         "Extensions to accept, comma-separated, in any case, with or without "
                         "the dot")
            ->capture_default_str();
        scan->add_option("--batch", batch_, "Records per response")->capture_default_str();
        return scan;
    }

    int run(const GlobalOptions& options) override {
        const std::vector<std::string> extensions = normalizedExtensions(extensions_);
        Session session(options);
        RecordWriter out(std::cout, options.outputFormat(), scanColumns());
        ProgressLine progress("scan", "record", "records", -1, options.progress());
        int status = kSuccess;
        for (const auto& dir : dirs_) {
            const json arg = {
                {"startPath", dir}, {"validExtensions", extensions}, {"batchSize", batch_}};
            const ScanOutcome outcome =
                runScanRequest(session, "scanDirectory", arg, out, progress, dir);
            if (outcome.status != kSuccess) status = outcome.status;
            if (outcome.report.is_null()) continue;
            // The table says which folder a report counts; a JSON report stays
            // as the helper sent it.
            json summary = outcome.report;
            if (dirs_.size() > 1 && out.format() == OutputFormat::Table) {
                summary = json{{"folder", dir}};
                summary.update(outcome.report);
            }
            out.summary(summary);
            if (outcome.status == kSuccess && outcome.report.value("uniqueSongCount", 0) == 0 &&
                outcome.report.value("duplicateCount", 0) == 0) {
                note("warning: no file in " + dir + " has one of the extensions " +
                     (extensions.empty() ? std::string("(none given)") : joined(extensions)));
            }
        }
        progress.finish();
        out.finish();
        return status;
    }

  private:
    std::vector<std::string> dirs_;
    std::string extensions_ = "mp3,m4a,flac,ogg,wav,aif,aiff,aac,wma";
    int batch_ = 200;
};

}  // namespace

std::unique_ptr<Subcommand> makeScanCommand() {
    return std::unique_ptr<Subcommand>(new ScanCommand());
}

}  // namespace Ostra::host

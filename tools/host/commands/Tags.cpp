#include <CLI/CLI.hpp>

#include "host/FileList.h"
#include "host/commands/ListRun.h"
#include "host/commands/Subcommand.h"

namespace Ostra::host {

namespace {

using nlohmann::json;

class TagsCommand : public Subcommand {
  public:
    CLI::App* define(CLI::App& app) override {
        CLI::App* tags =
            app.add_subcommand("tags", "Read the tags of audio files (extractMetadataFromFiles)");
        files_.define(*tags);
        tags->add_option("--batch", batch_, "Files per response")->capture_default_str();
        return tags;
    }

    int run(const GlobalOptions& options) override {
        const std::vector<std::string> files = files_.files();
        Session session(options);
        RecordWriter out(std::cout, options.outputFormat(),
                         {"path", "title", "artist", "album", "trackNumber", "duration", "genre",
                          "error", "reason"});
        ProgressLine progress("tags", "file", "files", static_cast<std::int64_t>(files.size()),
                              options.progress());
        // The helper answers readable files in request order and leaves the
        // others out: a file passed over before an answered one failed.
        std::size_t next = 0, failed = 0;
        const auto failUpTo = [&](std::size_t end) {
            for (; next < end; ++next) {
                out.record(failureRecord(files[next], "tags could not be read"));
                progress.advance(1);
                ++failed;
            }
        };
        std::int64_t count = 0;
        const int status = runFileListRequests(
            session, "extractMetadataFromFiles", files, json::object(), batch_,
            [&](const json& entry, Chunk chunk) {
                if (entry.is_object() && entry.contains("path") && entry["path"].is_string()) {
                    const std::string& path = entry["path"].get_ref<const std::string&>();
                    for (std::size_t i = std::max(next, chunk.begin); i < chunk.end; ++i) {
                        if (files[i] == path) {
                            failUpTo(i);
                            next = i + 1;
                            break;
                        }
                    }
                }
                out.record(entry);
                progress.advance(1);
            },
            [&](Chunk chunk) { failUpTo(chunk.end); }, count);
        progress.finish();
        if (status == kSuccess) out.summary(json{{"count", count}});
        out.finish();
        return status != kSuccess ? status : reportFailures(failed, files.size());
    }

  private:
    FileList files_;
    int batch_ = 10;
};

}  // namespace

std::unique_ptr<Subcommand> makeTagsCommand() {
    return std::unique_ptr<Subcommand>(new TagsCommand());
}

}  // namespace Ostra::host

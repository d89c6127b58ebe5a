#include <CLI/CLI.hpp>

#include "host/FileList.h"
#include "host/commands/ListRun.h"
#include "host/commands/Subcommand.h"

namespace Ostra::host {

namespace {

using nlohmann::json;

class HashCommand : public Subcommand {
  public:
    CLI::App* define(CLI::App& app) override {
        CLI::App* hash =
            app.add_subcommand("hash", "Hash the audio payload of MP3/M4A files (audioHash)");
        files_.define(*hash);
        hash->add_option("--batch", batch_, "Files per response")->capture_default_str();
        return hash;
    }

    int run(const GlobalOptions& options) override {
        const std::vector<std::string> files = files_.files();
        Session session(options);
        RecordWriter out(std::cout, options.outputFormat(), {"path", "hash", "error", "reason"});
        ProgressLine progress("hash", "file", "files", static_cast<std::int64_t>(files.size()),
                              options.progress());
        // Entries come in request order; an error entry is a bare string, so
        // its position names the file.
        std::size_t position = 0, failed = 0;
        std::int64_t count = 0;
        const int status = runFileListRequests(
            session, "audioHash", files, json::object(), batch_,
            [&](const json& entry, Chunk chunk) {
                const std::size_t index = std::max(position, chunk.begin);
                position = index + 1;
                const std::string path = index < files.size() ? files[index] : std::string();
                if (entry.is_string()) {
                    out.record(failureRecord(path, entry));
                    ++failed;
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
    int batch_ = 10;
};

}  // namespace

std::unique_ptr<Subcommand> makeHashCommand() {
    return std::unique_ptr<Subcommand>(new HashCommand());
}

}  // namespace Ostra::host

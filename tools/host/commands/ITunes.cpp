#include <CLI/CLI.hpp>

#include "host/commands/ScanRun.h"
#include "host/commands/Subcommand.h"

namespace Ostra::host {

namespace {

class ITunesCommand : public Subcommand {
  public:
    CLI::App* define(CLI::App& app) override {
        CLI::App* itunes = app.add_subcommand(
            "itunes",
            "Scan the user's iTunes library: songs, playlists, duplicates, report "
            "(scanMediaLibs)");
        itunes->add_option("--batch", batch_, "Records per response")->capture_default_str();
        return itunes;
    }

    int run(const GlobalOptions& options) override {
        Session session(options);
        RecordWriter out(std::cout, options.outputFormat(), scanColumns());
        ProgressLine progress("itunes", "record", "records", -1, options.progress());
        const ScanOutcome outcome =
            runScanRequest(session, "scanMediaLibs", {{"batchSize", batch_}}, out, progress);
        if (!outcome.report.is_null()) out.summary(outcome.report);
        progress.finish();
        out.finish();
        return outcome.status;
    }

  private:
    int batch_ = 200;
};

}  // namespace

std::unique_ptr<Subcommand> makeITunesCommand() {
    return std::unique_ptr<Subcommand>(new ITunesCommand());
}

}  // namespace Ostra::host

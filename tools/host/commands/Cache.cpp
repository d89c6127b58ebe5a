#include <CLI/CLI.hpp>
#include <iostream>

#include "cache/CacheSettings.h"
#include "cache/SqliteCache.h"
#include "host/commands/Subcommand.h"
#include "lib/sqlite/Database.h"

namespace Ostra::host {

namespace {

using nlohmann::json;

// The helper's file cache, read (and with --clear emptied) here directly: it
// is a file of the user's, found the way the helper finds it, so no helper is
// started.
class CacheCommand : public Subcommand {
  public:
    CLI::App* define(CLI::App& app) override {
        CLI::App* cache = app.add_subcommand(
            "cache",
            "The helper's file cache of tags, audio hashes and fingerprints: where it is (from "
            "OSTRA_CACHE, XDG_CACHE_HOME or HOME, as the helper finds it), its size and its "
            "entries");
        cache->add_flag("--clear", clear_,
                        "Remove every entry first (the helper then reads every "
                        "file again once)");
        return cache;
    }

    int run(const GlobalOptions& options) override {
        const cache::CacheSettings settings = cache::CacheSettings::fromEnvironment();
        RecordWriter out(std::cout, options.outputFormat(),
                         {"path", "enabled", "bytes", "entries", "kinds"});
        if (!settings.enabled()) {
            out.record({{"path", nullptr}, {"enabled", false}, {"reason", settings.reason}});
            out.finish();
            return kSuccess;
        }
        try {
            if (clear_) cache::clearCache(settings.path);
            const cache::CacheSummary summary = cache::summarizeCache(settings.path);
            json kinds = json::object();
            for (const auto& [kind, entries] : summary.entriesByKind) kinds[kind] = entries;
            out.record({{"path", settings.path},
                        {"enabled", true},
                        {"exists", summary.exists},
                        {"bytes", summary.fileBytes},
                        {"entries", summary.entries},
                        {"kinds", kinds}});
        } catch (const std::exception& e) {
            note(settings.path + ": " + e.what());
            return kFailed;
        }
        out.finish();
        return kSuccess;
    }

  private:
    bool clear_ = false;
};

}  // namespace

std::unique_ptr<Subcommand> makeCacheCommand() {
    return std::unique_ptr<Subcommand>(new CacheCommand());
}

}  // namespace Ostra::host

// The composition root: the one file that knows every command. It sets the
// process up (signals, the file cache, the file workers), constructs each
// command's handler and registers it with the link's dispatcher, and tears
// everything down in order when the host says stop. The link itself
// (src/hostlink) knows no command.
#include <signal.h>
#include <unistd.h>

#include <boost/lexical_cast.hpp>
#include <chrono>
#include <exception>
#include <memory>
#include <string>

#include "audio/DecoderSystem.h"
#include "audio/WavConverterHandler.h"
#include "cache/SqliteCache.h"
#include "fingerprint/FingerprintHandler.h"
#include "fingerprint/FingerprintSystem.h"
#include "hash/FileHashHandler.h"
#include "hostlink/Dispatcher.h"
#include "hostlink/EchoHandler.h"
#include "hostlink/StopSignals.h"
#include "hostlink/VersionHandler.h"
#include "metadata/TaglibHandler.h"
#include "scan/MediaScanHandler.h"
#include "system/SleepPreventerHandler.h"
#include "system/SystemInfoHandler.h"
#include "util/FileWorkers.h"
#include "util/Trace.h"

namespace {

// Stands where the macOS build keeps its Foundation autorelease pool: an
// object that lives exactly as long as main.
class CocoaAutoReleasePool {};

// Of the two seconds the helper has to exit after it is told to stop, what
// the file cache may spend writing what is still queued; the rest is dropped.
constexpr std::chrono::milliseconds kCacheFlushBudget(1500);

void registerHandlers(Ostra::Dispatcher& dispatcher, Ostra::util::FileWorkers& files) {
    // Table order; a handler whose Setup fails leaves its commands unknown.
    dispatcher.registerHandler(new EchoHandler());
    dispatcher.registerHandler(new VersionHandler());
    dispatcher.registerHandler(new WavConverterHandler(&files));
    dispatcher.registerHandler(new Ostra::SleepPreventerHandler());
    dispatcher.registerHandler(new Ostra::SystemInfoHandler());
    dispatcher.registerHandler(new Ostra::TaglibHandler(&files));
    dispatcher.registerHandler(new Ostra::MediaScanHandler(&files));
    dispatcher.registerHandler(new FingerprintHandler(&files));
    dispatcher.registerHandler(new Ostra::FileHashHandler(&files));
}

}  // namespace

int RunAsHandler(int argc, char** argv, const Ostra::StopSignals& signals) {
    (void)argc;
    Ostra::util::writeOutputLine(std::string(argv[0]) + " started!\n");
    // What the readers read from each file, kept while the file stays the
    // same; opened at the first read.
    const Ostra::cache::CacheSettings cacheSettings =
        Ostra::cache::CacheSettings::fromEnvironment();
    std::unique_ptr<Ostra::cache::SqliteCache> fileCache;
    if (cacheSettings.enabled()) fileCache.reset(new Ostra::cache::SqliteCache(cacheSettings));
    Ostra::cache::setProcessCache(fileCache.get());
    auto stopped = std::chrono::steady_clock::now();
    // The file workers every request hands its files to. Made before the
    // dispatcher and stopped after it: a request interrupted at shutdown
    // waits for its running file jobs, which need the workers.
    std::unique_ptr<Ostra::util::FileWorkers> files;
    std::unique_ptr<Ostra::Dispatcher> dispatcher;
    try {
        int port = boost::lexical_cast<int>(argv[1]);
        files.reset(new Ostra::util::FileWorkers(Ostra::util::FileWorkers::configuredSize()));
        dispatcher.reset(new Ostra::Dispatcher(static_cast<unsigned short>(port)));
        registerHandlers(*dispatcher, *files);
        dispatcher->start();
        // "QUIT", end of input, or SIGTERM, SIGINT or SIGHUP: all stop the
        // same orderly way, so a conversion's temporary file is removed
        // however the helper is told to end.
        Ostra::waitForStop(STDIN_FILENO, signals);
        stopped = std::chrono::steady_clock::now();
        dispatcher->stop();
        dispatcher->unregisterHandlers();
        dispatcher.reset();
        files->stop();
    } catch (const std::exception& e) {
        dispatcher.reset();
        files.reset();
        Ostra::util::writeErrorLine(std::string("Exception: ") + e.what() + "\n");
    }
    // Every reader has finished: the file workers are joined.
    files.reset();
    Ostra::cache::setProcessCache(nullptr);
    if (fileCache) fileCache->close(stopped + kCacheFlushBudget);
    Ostra::util::writeOutputLine("Exiting.\n");
    return 0;
}

int main(int argc, char** argv) {
    // Output the host has closed fails the write instead of ending the
    // process (sockets are written without the signal already).
    signal(SIGPIPE, SIG_IGN);
    // Before any thread exists, so that every thread keeps the signals blocked.
    const Ostra::StopSignals signals;
    std::unique_ptr<CocoaAutoReleasePool> pool(new CocoaAutoReleasePool());
    if (!DecoderSystem::Init()) {
        Ostra::util::writeOutputLine("Decoder System failed to initialize.\n");
        return 1;
    }
    if (!FingerprintSystem::Init()) {
        Ostra::util::writeOutputLine("Fingerprint System failed to initialize.\n");
        return 1;
    }
    if (argc == 2) RunAsHandler(argc, argv, signals);
    return 0;
}

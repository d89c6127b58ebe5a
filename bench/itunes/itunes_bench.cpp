// The helper's side of the iTunes library benchmark.
//
//   itunes_bench helper HOME [ROUNDS]
//       "scanMediaLibs" end to end through the helper binary, with the library
//       under HOME; prints the best round's time with a host that receives the
//       bytes and decodes them after the last frame, and with one that decodes
//       as it receives, and the helper's peak resident memory next to its idle
//       figure.
//   itunes_bench expat LIBRARY [ROUNDS]
//       expat alone over the file in the scanner's 64 KiB reads, with
//       handlers that do nothing: the floor under any scan of the file.
//   itunes_bench processor RECORDS
//       The media processor alone, in-process, fed synthetic song records;
//       prints records per second and the peak resident memory it added.
//   itunes_bench document HOME SECONDS
//       One "scanMediaLibs" through the helper binary with the library under
//       HOME, waiting at most SECONDS for the last response: prints the time
//       to it (or that none came), the helper's peak memory and what it
//       printed about the document.
#include <expat.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <boost/asio.hpp>
#include <boost/make_shared.hpp>
#include <chrono>
#include <ctime>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>

#include "common/ProcessCpu.h"
#include "hostlink/Messenger.h"
#include "hostlink/Request.h"
#include "scan/ITunesMediaScanner.h"
#include "scan/MediaProcessor.h"
#include "support/TestHost.h"

namespace {

using Clock = std::chrono::steady_clock;

// VmHWM (peak resident set) of a process, in MB; -1 when unreadable.
double peakMegabytes(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return -1;
}

// True when a response frame's envelope says "done". The envelope's keys
// encode in byte order, "data" first, so the frame ends with "done" true or
// false, then "duration" and "id" (two numbers) and the object end: the flag
// sits 36 bytes from the end, after its key.
bool frameIsDone(const std::string& body) {
    static const std::string key(
        "\x00\x04"
        "done\x01",
        7);
    const std::size_t tail = 2 + 8 + 1 + 8 + 2 + 2 + 1 + 8 + 3;
    if (body.size() < key.size() + 1 + tail) return false;
    const std::size_t flag = body.size() - tail - 1;
    return body.compare(flag - key.size(), key.size(), key) == 0 && body[flag] == 1;
}

// One "scanMediaLibs" against a fresh helper. With decodeWhileReceiving the
// host decodes every frame as it arrives (as the tests' host does); without,
// it only receives the bytes until the last frame and decodes them after the
// clock has stopped, so the figure is the helper's own delivery rate and not
// that of the host's AMF0 decoder, which otherwise takes a core of its own.
struct HelperRun {
    double seconds = 0, cpu = 0, peak = 0, idle = 0, helperMs = 0;
    std::size_t songs = 0, playlists = 0;
    bool ok = false;
};

HelperRun runHelper(const std::string& home, bool decodeWhileReceiving) {
    using namespace testsupport;
    HelperRun run;
    TestHost host;
    host.startHelper({"HOME=" + home});
    run.idle = peakMegabytes(host.helper().pid());
    const double cpuBefore = benchsupport::cpuSeconds(host.helper().pid());
    amf::amf_object arg;
    arg.set_numeric_property("batchSize", 1000);
    std::vector<Value> responses;
    const auto start = Clock::now();
    if (decodeWhileReceiving) {
        responses = host.call("scanMediaLibs", &arg, std::chrono::minutes(10));
    } else {
        host.send("scanMediaLibs", 1, &arg);
        std::vector<std::string> frames;
        std::string body;
        while (host.readFrame(body, std::chrono::minutes(10))) {
            frames.push_back(std::move(body));
            if (frameIsDone(frames.back())) break;
        }
        run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        for (const auto& frame : frames) {
            auto* p = reinterpret_cast<const unsigned char*>(frame.data());
            responses.emplace_back(amf::decode(p, p + frame.size()));
        }
    }
    if (decodeWhileReceiving)
        run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.peak = peakMegabytes(host.helper().pid());
    run.cpu = benchsupport::cpuSeconds(host.helper().pid()) - cpuBefore;
    run.ok = !responses.empty() && responses.back() && isDone(responses.back());
    if (run.ok) {
        for (const auto& response : responses) {
            for (const auto* entry : items(prop(response, "data"))) {
                const std::string type = str(prop(entry, "objectType"));
                if (type == "song" || type == "replacement" || type == "duplicate") ++run.songs;
                if (type == "playlist") ++run.playlists;
            }
        }
        run.helperMs = num(prop(responses.back(), "duration"));
    }
    host.quit();
    return run;
}

int benchHelper(const std::string& home, int rounds) {
    HelperRun best, bestDecoding;
    double bestCpu = 0, peak = 0;
    for (int round = 0; round < rounds; ++round) {
        // Alternate the two hosts, so a slow spell of the machine falls on both.
        for (bool decoding : {false, true}) {
            const HelperRun run = runHelper(home, decoding);
            if (!run.ok) {
                std::cerr << "scan did not finish\n";
                return 1;
            }
            peak = std::max(peak, run.peak);
            if (bestCpu == 0 || run.cpu < bestCpu) bestCpu = run.cpu;
            HelperRun& slot = decoding ? bestDecoding : best;
            if (slot.seconds == 0 || run.seconds < slot.seconds) slot = run;
        }
    }
    if (best.songs != bestDecoding.songs || best.playlists != bestDecoding.playlists) {
        std::cerr << "the two hosts saw different records\n";
        return 1;
    }
    // Tracks dropped by the processor (no Location) still count as parsed.
    std::cout << "helper scanMediaLibs: " << best.songs << " song records, " << best.playlists
              << " playlists in " << best.seconds << " s (host receives, decodes after; helper's "
              << "own duration " << best.helperMs / 1000.0 << " s, best CPU " << bestCpu << " s); "
              << bestDecoding.seconds << " s with the host decoding as it receives\n"
              << "helper peak memory: " << peak << " MB (idle " << best.idle << " MB)\n";
    std::cout << "HELPER_SECONDS " << best.seconds << "\nHELPER_DECODING_SECONDS "
              << bestDecoding.seconds << "\nHELPER_CPU_SECONDS " << bestCpu << "\nHELPER_PEAK_MB "
              << peak << "\nHELPER_IDLE_MB " << best.idle << "\n";
    return 0;
}

int benchDocument(const std::string& home, int seconds) {
    using namespace testsupport;
    TestHost host;
    host.startHelper({"HOME=" + home});
    const double idle = peakMegabytes(host.helper().pid());
    amf::amf_object arg;
    arg.set_numeric_property("batchSize", 1000);
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(seconds);
    host.send("scanMediaLibs", 1, &arg);
    bool done = false;
    std::string body;
    while (!done) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !host.readFrame(body, left)) break;
        done = frameIsDone(body);
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const double peak = peakMegabytes(host.helper().pid());
    if (done) {
        host.quit();
    } else {
        kill(host.helper().pid(), SIGKILL);
        host.helper().wait();
    }
    std::string printed = host.helper().out();
    const std::size_t error = printed.find("ITunesMediaScanner error: ");
    printed =
        error == std::string::npos ? "" : printed.substr(error, printed.find('\n', error) - error);
    if (done)
        std::cout << "DOCUMENT_SECONDS " << elapsed << "\n";
    else
        std::cout << "DOCUMENT_SECONDS >" << seconds << "\n";
    std::cout << "DOCUMENT_PEAK_MB " << peak << "\nDOCUMENT_IDLE_MB " << idle
              << "\nDOCUMENT_PRINTED " << printed << "\n";
    return 0;
}

int benchProcessor(long records) {
    namespace asio = boost::asio;
    asio::io_service service;
    asio::ip::tcp::acceptor acceptor(service,
                                     asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    Ostra::Messenger messenger(acceptor.local_endpoint().port(), nullptr);
    messenger.start();
    asio::ip::tcp::socket socket(service);
    acceptor.accept(socket);
    // The host side only drains, so the send queue never backs up.
    std::thread drain([&socket] {
        char buffer[65536];
        boost::system::error_code ec;
        while (!ec) socket.read_some(asio::buffer(buffer), ec);
    });

    const double before = peakMegabytes(getpid());
    const auto start = Clock::now();
    {
        Ostra::Request request(messenger);
        request.work_started();
        Ostra::MediaProcessor processor(request, 1000);
        for (long i = 0; i < records; ++i) {
            amf::amf_object song;
            const std::string n = std::to_string(i);
            song.set_string_property(
                "path", "/Users/bench/Music/iTunes/iTunes Media/Music/Artist " +
                            std::to_string(i / 120) + "/Album " + std::to_string(i / 12) +
                            "/Track Title " + n + ".mp3");
            song.set_string_property("songPlistId", std::to_string(1000 + i));
            song.set_string_property("title", "Track Title " + n);
            song.set_string_property("artist", "Artist " + std::to_string(i / 120));
            song.set_string_property("albumArtist", "Artist " + std::to_string(i / 120));
            song.set_string_property("album", "Album " + std::to_string(i / 12));
            song.set_string_property("kind", "MPEG audio file");
            song.set_numeric_property("trackNumber", static_cast<double>(i % 12 + 1));
            song.set_numeric_property("diskNumber", 1);
            song.set_numeric_property("size", static_cast<double>(4000000 + i));
            song.set_numeric_property("duration", static_cast<double>(180000 + i));
            processor.processSongObject(&song);
        }
        processor.finish();
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double after = peakMegabytes(getpid());
    messenger.stop();
    drain.join();
    std::cout << "processor alone: " << records << " records in " << seconds
              << " s = " << static_cast<long>(records / seconds) << " records/s, peak memory "
              << after << " MB (" << after - before << " MB over the " << before << " MB before)\n";
    std::cout << "PROCESSOR_PEAK_MB " << after << "\nPROCESSOR_ADDED_MB " << after - before << "\n";
    return 0;
}

// Counts what the parser hands over and keeps nothing: the parser's own cost.
class CountingSink : public Ostra::IMediaProcessor {
  public:
    void processSongObject(amf::amf_object*) override { ++songs; }
    void processPlaylistObject(amf::amf_object*) override { ++playlists; }
    void finish() override {}
    void error(std::string) override {}
    long songs = 0, playlists = 0;
};

int benchParser(const std::string& library) {
    auto sink = boost::make_shared<CountingSink>();
    Ostra::ITunes::ITunesMediaScanner scanner(sink);
    std::ifstream in(library, std::ios::binary);
    const std::clock_t cpu = std::clock();
    const auto start = Clock::now();
    scanner.parseITunesLibrary(in);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    const double cpuSeconds = double(std::clock() - cpu) / CLOCKS_PER_SEC;
    std::cout << "parser alone: " << sink->songs << " tracks, " << sink->playlists
              << " playlists in " << seconds << " s (" << cpuSeconds << " CPU s)\n";
    return 0;
}

void XMLCALL ignoreStart(void*, const XML_Char*, const XML_Char**) {}
void XMLCALL ignoreEnd(void*, const XML_Char*) {}
void XMLCALL ignoreText(void*, const XML_Char*, int) {}

int benchExpat(const std::string& library, int rounds) {
    double best = 0;
    for (int round = 0; round < rounds; ++round) {
        std::ifstream in(library, std::ios::binary);
        XML_Parser parser = XML_ParserCreate(nullptr);
        XML_SetElementHandler(parser, ignoreStart, ignoreEnd);
        XML_SetCharacterDataHandler(parser, ignoreText);
        const std::clock_t cpu = std::clock();
        bool ok = true;
        for (bool final = false; ok && !final;) {
            void* buffer = XML_GetBuffer(parser, 64 * 1024);
            in.read(static_cast<char*>(buffer), 64 * 1024);
            final = in.gcount() == 0;
            ok = XML_ParseBuffer(parser, static_cast<int>(in.gcount()), final) == XML_STATUS_OK;
        }
        const double seconds = double(std::clock() - cpu) / CLOCKS_PER_SEC;
        XML_ParserFree(parser);
        if (!ok) {
            std::cerr << "expat: parse error\n";
            return 1;
        }
        best = round == 0 ? seconds : std::min(best, seconds);
    }
    std::cout << "expat alone (no-op handlers, 64 KiB reads): " << best << " CPU s\n";
    std::cout << "EXPAT_CPU_SECONDS " << best << "\n";
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "helper" && argc >= 3)
        return benchHelper(argv[2], argc > 3 ? std::stoi(argv[3]) : 3);
    if (mode == "parser" && argc >= 3) return benchParser(argv[2]);
    if (mode == "processor" && argc >= 3) return benchProcessor(std::stol(argv[2]));
    if (mode == "document" && argc >= 4) return benchDocument(argv[2], std::stoi(argv[3]));
    if (mode == "expat" && argc >= 3) return benchExpat(argv[2], argc > 3 ? std::stoi(argv[3]) : 3);
    std::cerr << "usage: itunes_bench helper HOME [ROUNDS] | itunes_bench expat LIBRARY [ROUNDS] | "
                 "itunes_bench processor RECORDS | itunes_bench document HOME SECONDS\n";
    return 2;
}

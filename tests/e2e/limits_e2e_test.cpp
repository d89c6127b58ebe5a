// The helper's bounds against the real binary: a host that reads nothing,
// the largest frames of the most fragmented shapes, records too large for a
// batch or for any frame, and stop signals in the middle of work.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "support/TestHost.h"

namespace {

using namespace testsupport;
namespace fs = boost::filesystem;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 5;
// Sanitizers change what every allocation costs; memory is measured in the
// plain build only.
constexpr bool kMeasuresMemory = false;
#else
constexpr int kSlowdown = 1;
constexpr bool kMeasuresMemory = true;
#endif

constexpr std::size_t kMiB = 1024 * 1024;
// The host's frame bound, which the helper keeps too.
constexpr std::size_t kFrameBound = 64 * kMiB;
// A generous liveness bound for the promise to stop within 2 s.
const std::chrono::seconds kStopDeadline(10 * kSlowdown);

// An MP3 tagged by ffmpeg from a metadata file, as a command line cannot
// carry a title of several MiB.
void makeTagged(const std::string& base, const std::string& path, const std::string& title) {
    const std::string meta = path + ".ffmeta";
    writeFile(meta, ";FFMETADATA1\ntitle=" + title + "\nartist=Limits Band\n");
    const std::string command = "ffmpeg -nostdin -loglevel error -y -i '" + base + "' -i '" + meta +
                                "' -map_metadata 1 -c copy '" + path + "'";
    ASSERT_EQ(run(command), 0) << command;
    fs::remove(meta);
}

amf::amf_object listArg(const std::vector<std::string>& paths, double batchSize = 0) {
    amf::amf_object arg;
    amf::amf_ecma_array list = stringArray(paths);
    arg.set_property("filePaths", &list);
    if (batchSize > 0) arg.set_numeric_property("batchSize", batchSize);
    return arg;
}

// Sources shared by the tests, generated once: a plain tone, a two-minute
// one, and a tone whose title is 4 MiB long.
class Limits : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sources_ = new TempDir;
        const std::string tone = *sources_ / "tone.mp3";
        ASSERT_EQ(
            run("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=330:duration=1 "
                "-ac 2 '" +
                tone + "'"),
            0);
        ASSERT_EQ(run("ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                      "sine=frequency=330:duration=120 -ac 2 '" +
                      (*sources_ / "long.mp3") + "'"),
                  0);
        makeTagged(tone, *sources_ / "big.mp3", std::string(4 * kMiB, 'T'));
    }
    static void TearDownTestSuite() {
        delete sources_;
        sources_ = nullptr;
    }
    static std::string source(const std::string& name) { return *sources_ / name; }
    static std::vector<std::string> links(const std::string& dir, const std::string& name,
                                          int count) {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            const std::string to = dir + "/" + std::to_string(i) + "_" + name;
            fs::create_hard_link(source(name), to);
            paths.push_back(to);
        }
        return paths;
    }
    // The helper's peak resident size once it is up and has answered.
    static long idlePeak(TestHost& host) {
        EXPECT_EQ(host.call("version").size(), 1u);
        return procStatusKib(host.helper().pid(), "VmHWM");
    }

    static TempDir* sources_;
};

TempDir* Limits::sources_ = nullptr;

// A host that stops reading while a large extraction streams 4 MiB songs:
// the helper waits for it instead of queueing without bound, and "QUIT" or a
// stop signal still ends it promptly and cleanly.
TEST_F(Limits, StoppingWhileTheHostReadsNothingIsPromptAndMemoryStaysBounded) {
    TempDir music;
    const std::vector<std::string> paths = links(music.path(), "big.mp3", 100);
    const amf::amf_object arg = listArg(paths, 1);
    for (const int way : {0, SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(way == 0 ? "QUIT" : strsignal(way));
        TestHost host;
        host.startHelper();
        const long idle = idlePeak(host);
        host.send("extractMetadataFromFiles", 1, &arg);
        // Until the helper's peak stops growing: it waits for the host, or it
        // has queued every response.
        long peak = -1;
        for (int i = 0; i < 120 * kSlowdown; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            const long now = procStatusKib(host.helper().pid(), "VmHWM");
            if (now == peak) break;
            peak = now;
        }
        const long rise = peak - idle;
        std::cout << "[ figure   ] peak rise while the host reads nothing: " << rise / 1024
                  << " MiB" << std::endl;
        if (kMeasuresMemory) {
            EXPECT_LT(rise, 256 * 1024);
        }
        if (way == 0)
            host.helper().writeStdin("QUIT\n");
        else
            kill(host.helper().pid(), way);
        const auto asked = std::chrono::steady_clock::now();
        EXPECT_EQ(host.helper().wait(kStopDeadline), 0);
        std::cout << "[ figure   ] exit after being told to stop: "
                  << std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::steady_clock::now() - asked)
                         .count()
                  << " ms" << std::endl;
        EXPECT_NE(host.helper().out().find("Exiting.\n"), std::string::npos);
    }
}

TEST_F(Limits, StopSignalsDuringAConversionRemoveItsTemporaryFile) {
    for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(strsignal(sig));
        TempDir dir;
        const std::vector<std::string> paths = links(dir.path(), "long.mp3", 20);
        TestHost host;
        host.startHelper();
        const amf::amf_object arg = listArg(paths);
        host.send("convertToWav", 1, &arg);
        auto temporary = [&] {
            for (fs::directory_iterator it(dir.path()), end; it != end; ++it)
                if (it->path().filename().string().rfind(".ostra-wav-", 0) == 0) return true;
            return false;
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!temporary() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(temporary()) << "no conversion under way";
        kill(host.helper().pid(), sig);
        EXPECT_EQ(host.helper().wait(kStopDeadline), 0);
        EXPECT_NE(host.helper().out().find("Exiting.\n"), std::string::npos);
        EXPECT_FALSE(temporary());
        for (fs::directory_iterator it(dir.path()), end; it != end; ++it) {
            if (it->path().extension() != ".wav") continue;
            const std::string bytes = readFile(it->path().string());
            ASSERT_GE(bytes.size(), 44u) << it->path();
            const std::uint32_t riff =
                static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[4])) |
                static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[5])) << 8 |
                static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[6])) << 16 |
                static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[7])) << 24;
            EXPECT_EQ(riff + 8u, bytes.size()) << it->path();
        }
    }
}

// AMF0 bytes of a strict array of `count` copies of `element`.
std::string strictArrayOf(std::size_t count, const std::string& element) {
    std::string out(1, '\x0A');
    for (int shift = 24; shift >= 0; shift -= 8) out += static_cast<char>(count >> shift);
    out.reserve(out.size() + count * element.size());
    for (std::size_t i = 0; i < count; ++i) out += element;
    return out;
}

// A request envelope around raw "arg" bytes, padded with a trailing string
// entry so that the frame body is exactly `frameBytes` long.
std::string requestFrame(const std::string& cmd, double id, const std::string& arg,
                         std::size_t frameBytes) {
    std::string head = std::string("\x03\x00\x03", 3) + "arg" + arg;
    amf::amf_string name(cmd);
    amf::amf_numeric number(id);
    std::string tail = std::string("\x00\x03", 2) + "cmd" + encodeValue(name) +
                       std::string("\x00\x02", 2) + "id" + encodeValue(number);
    const std::size_t fixed = head.size() + tail.size() + 3 + 2 + 3 + 5;
    std::string pad;
    if (frameBytes > fixed) {
        const std::size_t text = frameBytes - fixed;
        pad = std::string("\x00\x03", 2) + "pad\x0C";
        for (int shift = 24; shift >= 0; shift -= 8) pad += static_cast<char>(text >> shift);
        pad += std::string(text, 'p');
    }
    return frameOfBody(head + tail + pad + std::string("\x00\x00\x09", 3));
}

// The host may send frames up to 64 MiB of any shape; the most fragmented
// ones decode to the most values per byte. A 16 MiB frame of each must cost
// less than 256 MiB.
TEST_F(Limits, LargeFramesOfFragmentedShapesCostAFewTimesTheirSize) {
    const std::size_t frame = 16 * kMiB;
    const std::size_t room = frame - 64;
    std::string keys(1, '\x03');  // distinct four-byte keys, each holding null
    for (std::uint32_t i = 0; keys.size() + 7 + 3 <= room; ++i) {
        keys += std::string("\x00\x04", 2);
        for (int shift = 24; shift >= 0; shift -= 8) keys += static_cast<char>(i >> shift);
        keys += '\x05';
    }
    keys += std::string("\x00\x00\x09", 3);
    const struct {
        const char* name;
        std::string arg;
    } shapes[] = {
        {"nulls", strictArrayOf(room - 5, "\x05")},
        {"distinct short keys", keys},
        {"one-byte strings", strictArrayOf((room - 5) / 4, std::string("\x02\x00\x01q", 4))},
        {"two-byte strings", strictArrayOf((room - 5) / 5, std::string("\x02\x00\x02qq", 5))},
        {"empty objects", strictArrayOf((room - 5) / 4, std::string("\x03\x00\x00\x09", 4))},
        {"one-entry objects",
         strictArrayOf((room - 5) / 8, std::string("\x03\x00\x01k\x05\x00\x00\x09", 8))},
        {"one-element arrays",
         strictArrayOf((room - 5) / 6, std::string("\x0A\x00\x00\x00\x01\x05", 6))},
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.name);
        TestHost host;
        host.startHelper();
        const long idle = idlePeak(host);
        host.sendRaw(requestFrame("version", 7, shape.arg, frame));
        Value reply = host.readResponse(std::chrono::seconds(60 * kSlowdown));
        ASSERT_TRUE(reply);
        EXPECT_EQ(num(prop(reply, "id")), 7);
        EXPECT_EQ(str(prop(reply, "data")), "12");
        const long rise = procStatusKib(host.helper().pid(), "VmHWM") - idle;
        std::cout << "[ figure   ] 16 MiB frame of " << shape.name << ": peak rise " << rise / 1024
                  << " MiB" << std::endl;
        if (kMeasuresMemory) {
            EXPECT_LT(rise, 256 * 1024);
        }
        EXPECT_EQ(host.quit(), 0);
    }
}

// Large requests queued behind a busy serialised command wait in the budget,
// not decoded in memory: six 8 MiB frames keep the helper under 512 MiB over
// its idle peak, and all are answered once the command is done.
TEST_F(Limits, RequestsWaitingForABusyWorkerStayWithinTheBudget) {
    TempDir music;
    const std::vector<std::string> paths = links(music.path(), "big.mp3", 100);
    TestHost host;
    host.startHelper();
    const long idle = idlePeak(host);
    std::atomic<int> done{0};
    std::thread reader([&] {
        while (done < 7) {
            Value response = host.readResponse(std::chrono::seconds(120 * kSlowdown));
            if (!response) return;
            if (isDone(response)) ++done;
        }
    });
    const amf::amf_object busy = listArg(paths, 1);
    host.send("extractMetadataFromFiles", 1, &busy);
    const std::string nulls = strictArrayOf(8 * kMiB - 64, "\x05");
    const std::string arg =
        std::string("\x03\x00\x09", 3) + "filePaths" + nulls + std::string("\x00\x00\x09", 3);
    for (int i = 0; i < 6; ++i)
        host.sendRaw(requestFrame("extractMetadataFromFiles", 2 + i, arg, 8 * kMiB));
    reader.join();
    EXPECT_EQ(done.load(), 7);
    const long rise = procStatusKib(host.helper().pid(), "VmHWM") - idle;
    std::cout << "[ figure   ] six 8 MiB frames behind a busy worker: peak rise " << rise / 1024
              << " MiB" << std::endl;
    if (kMeasuresMemory) {
        EXPECT_LT(rise, 512 * 1024);
    }
    EXPECT_EQ(host.quit(), 0);
}

// Sends one request and collects the bodies of its frames until "done".
std::vector<std::string> rawCall(TestHost& host, const std::string& cmd, double id,
                                 const amf::amf0_data_type* arg) {
    host.send(cmd, id, arg);
    std::vector<std::string> bodies;
    for (;;) {
        std::string body;
        if (!host.readFrame(body, std::chrono::seconds(120 * kSlowdown))) break;
        bodies.push_back(body);
        const auto* p = reinterpret_cast<const unsigned char*>(body.data());
        Value response(amf::decode(p, p + body.size()));
        if (!response || isDone(response)) break;
    }
    return bodies;
}

// Records of several MiB close a batch by its bytes long before its batch
// size, and a record too large for any frame is replaced by the command's
// per-item outcome: no frame ever passes the bound.
TEST_F(Limits, BatchesCloseAtTheirByteBoundAndNoFrameIsTooLong) {
    TempDir music;
    std::vector<std::string> paths;
    for (int i = 0; i < 20; ++i) {
        // Titles differ early, so the scan keeps every song.
        const std::string path = music / ("song" + std::to_string(i) + ".mp3");
        makeTagged(source("tone.mp3"), path, std::to_string(i) + std::string(4 * kMiB, 'T'));
        paths.push_back(path);
    }
    const std::string huge = music / "huge.mp3";
    makeTagged(source("tone.mp3"), huge, std::string(kFrameBound + kMiB, 'H'));
    paths.push_back(huge);

    TestHost host;
    host.startHelper();
    const amf::amf_object extract = listArg(paths, 100);
    amf::amf_object scan;
    scan.set_string_property("startPath", music.path());
    amf::amf_ecma_array exts = stringArray({"mp3"});
    scan.set_property("validExtensions", &exts);
    scan.set_numeric_property("batchSize", 100);
    const struct {
        const char* cmd;
        const amf::amf0_data_type* arg;
        std::size_t records;  // records in the batches, the report included
    } calls[] = {{"extractMetadataFromFiles", &extract, 20}, {"scanDirectory", &scan, 22}};
    for (const auto& call : calls) {
        SCOPED_TRACE(call.cmd);
        const std::vector<std::string> bodies = rawCall(host, call.cmd, 1, call.arg);
        ASSERT_FALSE(bodies.empty());
        std::size_t records = 0;
        bool hugeSeen = false;
        for (const std::string& body : bodies) {
            EXPECT_LE(body.size(), kFrameBound);
            // A batch closes once it reaches 16 MiB: at most that plus one song.
            EXPECT_LE(body.size(), 16 * kMiB + 4 * kMiB + 4096);
            const auto* p = reinterpret_cast<const unsigned char*>(body.data());
            Value response(amf::decode(p, p + body.size()));
            ASSERT_TRUE(response);
            const auto entries = items(prop(response, "data"));
            records += entries.size();
            for (const amf::amf0_data_type* entry : entries) {
                if (str(prop(entry, "path")) != huge) continue;
                hugeSeen = true;
                EXPECT_EQ(prop(entry, "title"), nullptr);
            }
        }
        EXPECT_GE(bodies.size(), 5u) << "batches did not close by their bytes";
        EXPECT_EQ(records, call.records);
        // Tags that cannot be sent: left out of the extraction, sent without
        // them by the scan.
        EXPECT_EQ(hugeSeen, std::string(call.cmd) == "scanDirectory");
    }
    EXPECT_EQ(host.quit(), 0);
}

// Files whose one title is 64 MiB: TagLib kept it as wide characters and the
// record copied it again, over a gigabyte per file worker and seconds of
// copying no stop could interrupt. Their tags now count as unreadable before
// TagLib parses them, by each command alike, and "QUIT" in the middle of
// them ends the helper promptly.
TEST_F(Limits, OneHugeTextFieldIsRefusedCheaplyAndStopsPromptly) {
    TempDir music;
    const std::string first = music / "0_huge_title.mp3";
    makeTagged(source("tone.mp3"), first, std::string(64 * kMiB, 'H'));
    std::vector<std::string> paths{first};
    for (int i = 1; i < 3; ++i) {
        paths.push_back(music / (std::to_string(i) + "_huge_title.mp3"));
        fs::create_hard_link(first, paths.back());
    }
    const amf::amf_object extract = listArg(paths, 1);
    amf::amf_object scan;
    scan.set_string_property("startPath", music.path());
    amf::amf_ecma_array exts = stringArray({"mp3"});
    scan.set_property("validExtensions", &exts);
    scan.set_numeric_property("batchSize", 1);
    const struct {
        const char* cmd;
        const amf::amf0_data_type* arg;
        std::size_t records;  // songs sent, without their tags
    } calls[] = {{"extractMetadataFromFiles", &extract, 0}, {"scanDirectory", &scan, 3}};
    for (const auto& call : calls) {
        SCOPED_TRACE(call.cmd);
        {
            TestHost host;
            host.startHelper();
            const long idle = idlePeak(host);
            const auto start = std::chrono::steady_clock::now();
            const std::vector<Value> responses =
                host.call(call.cmd, call.arg, std::chrono::seconds(60 * kSlowdown));
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            ASSERT_FALSE(responses.empty());
            ASSERT_TRUE(isDone(responses.back()));
            std::size_t records = 0;
            for (const Value& response : responses) {
                for (const amf::amf0_data_type* entry : items(prop(response, "data"))) {
                    if (prop(entry, "path") == nullptr) continue;  // the scan's report
                    ++records;
                    EXPECT_EQ(prop(entry, "title"), nullptr);
                }
            }
            EXPECT_EQ(records, call.records);
            const long rise = procStatusKib(host.helper().pid(), "VmHWM") - idle;
            std::cout << "[ figure   ] " << call.cmd << " of three 64 MiB titles: " << took.count()
                      << " s, peak rise " << rise / 1024 << " MiB" << std::endl;
            if (kMeasuresMemory) {
                EXPECT_LT(rise, 512 * 1024);
            }
            EXPECT_EQ(host.quit(), 0);
        }
        TestHost host;
        host.startHelper();
        host.send(call.cmd, 1, call.arg);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto start = std::chrono::steady_clock::now();
        host.helper().writeStdin("QUIT\n");
        EXPECT_EQ(host.helper().wait(kStopDeadline), 0);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        std::cout << "[ figure   ] " << call.cmd << " of three 64 MiB titles: exit " << took.count()
                  << " s after QUIT" << std::endl;
    }
}

// Gigabytes without a frame to decode (a sparse file of zeros named .mp3, a
// download that stopped after its first second): the decoder gives up on
// the run of bytes it cannot frame instead of reading it all while FFmpeg's
// parser keeps every byte (minutes, and 2 GB, for 5 GB of zeros). What was
// audio before the run is kept.
TEST_F(Limits, GigabytesWithoutFramesAreCutShort) {
    TempDir music;
    const std::string zeros = music / "zeros.mp3";
    const std::string tail = music / "tail.mp3";
    writeFile(zeros, "");
    fs::copy_file(source("tone.mp3"), tail);
    for (const std::string& path : {zeros, tail}) fs::resize_file(path, 5ull << 30);
    const amf::amf_object convert = listArg({zeros, tail});
    amf::amf_object prints = listArg({zeros, tail});
    const amf::amf_ecma_array types = stringArray({"CMX", "NANO"});
    prints.set_property("fingerprintTypes", &types);
    const struct {
        const char* cmd;
        const amf::amf_object* arg;
    } calls[] = {{"convertToWav", &convert}, {"fingerprints", &prints}};
    for (const auto& call : calls) {
        SCOPED_TRACE(call.cmd);
        TestHost host;
        host.startHelper();
        const long idle = idlePeak(host);
        const auto responses = host.call(call.cmd, call.arg, std::chrono::seconds(60 * kSlowdown));
        ASSERT_FALSE(responses.empty());
        ASSERT_TRUE(isDone(responses.back())) << "no answer in 60 s";
        if (std::string(call.cmd) == "convertToWav") {
            EXPECT_EQ(num(prop(prop(responses.back(), "data"), "filesConverted")), 1);
            EXPECT_TRUE(fs::exists(music / "tail.wav"));
        }
        const long rise = procStatusKib(host.helper().pid(), "VmHWM") - idle;
        std::cout << "[ figure   ] " << call.cmd << " of two 5 GB files without frames: peak rise "
                  << rise / 1024 << " MiB" << std::endl;
        if (kMeasuresMemory) {
            EXPECT_LT(rise, 256 * 1024);
        }
        EXPECT_EQ(host.quit(), 0);
    }
}

}  // namespace

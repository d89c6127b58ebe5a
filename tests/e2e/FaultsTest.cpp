// Faults and bounds against the real helper binary: malformed frames among
// valid requests, many concurrent commands, a host that goes away or reads
// nothing, the largest frames of the most fragmented shapes, records too
// large for a batch or any frame, stops in the middle of work, and hostile
// files through every file command.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/fanotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <set>
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
    writeFile(meta, ";FFMETADATA1\ntitle=" + title + "\nartist=Fault Band\n");
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

amf::amf_object scanArg(const std::string& startPath, double batchSize) {
    amf::amf_object arg;
    arg.set_string_property("startPath", startPath);
    amf::amf_ecma_array exts = stringArray({"mp3", "m4a", "flac", "ogg", "wav", "aiff", "wma"});
    arg.set_property("validExtensions", &exts);
    arg.set_numeric_property("batchSize", batchSize);
    return arg;
}

amf::amf_object fingerprintArg(const std::vector<std::string>& paths) {
    amf::amf_object arg = listArg(paths);
    amf::amf_ecma_array types = stringArray({"MICRO", "NANO", "CMX"});
    arg.set_property("fingerprintTypes", &types);
    return arg;
}

// The files a conversion wrote into dir (all but the given sources, or all
// but other audio) are complete WAV files, their RIFF size matching; no
// temporary file is left.
void expectOnlyCompleteWavFiles(const std::string& dir, const std::set<std::string>& sources = {}) {
    for (fs::directory_iterator it(dir), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        EXPECT_NE(name.rfind(".ostra-wav-", 0), 0u) << name;
        if (sources.count(name) || (sources.empty() && it->path().extension() != ".wav")) continue;
        EXPECT_EQ(it->path().extension(), ".wav") << name;
        const std::string bytes = readFile(it->path().string());
        ASSERT_GE(bytes.size(), 44u) << name;
        std::uint32_t riff = 0;
        for (int i = 7; i >= 4; --i) riff = riff << 8 | static_cast<unsigned char>(bytes[i]);
        EXPECT_EQ(riff + 8u, bytes.size()) << name;
    }
}

// Source files shared by the tests, generated once: tones, a two-minute one
// and one whose title is 4 MiB long.
class Faults : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sources_ = new TempDir;
        for (const char* name : {"tone.mp3", "tone.m4a", "tone.flac", "long.mp3"}) {
            const std::string command =
                "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=330:duration=" +
                std::string(name[0] == 'l' ? "120" : "2") +
                " -ac 2 -metadata title=Tone -metadata artist='Fault Band' '" + source(name) + "'";
            ASSERT_EQ(run(command), 0) << command;
        }
        makeTagged(source("tone.mp3"), source("big.mp3"), std::string(4 * kMiB, 'T'));
    }
    static void TearDownTestSuite() {
        delete sources_;
        sources_ = nullptr;
    }
    static std::string source(const std::string& name) { return *sources_ / name; }

    // count hard links to the sources under dir, the names in turn, spread
    // over sub-folders of 100 unless flat.
    static std::vector<std::string> linkTree(const std::string& dir, int count,
                                             const std::vector<std::string>& names,
                                             bool flat = false) {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            const std::string& name = names[static_cast<std::size_t>(i) % names.size()];
            const fs::path folder =
                flat ? fs::path(dir) : fs::path(dir) / ("d" + std::to_string(i / 100));
            fs::create_directories(folder);
            const fs::path to = folder / (std::to_string(i) + "_" + name);
            fs::create_hard_link(source(name), to);
            paths.push_back(to.string());
        }
        return paths;
    }
    // The helper's peak resident size once it is up and has answered.
    static long idlePeak(TestHost& host) {
        EXPECT_EQ(host.call("version").size(), 1u);
        return procStatusKib(host.helper().pid(), "VmHWM");
    }
    static void expectPeakRiseBelow(TestHost& host, long idle, long mib) {
        if (kMeasuresMemory) {
            EXPECT_LT(procStatusKib(host.helper().pid(), "VmHWM") - idle, mib * 1024);
        }
    }

    static TempDir* sources_;
};

TempDir* Faults::sources_ = nullptr;

// Collects responses until every id in `pending` has had its "done"; counts
// every response per id.
void collect(TestHost& host, std::set<double> pending, std::map<double, int>& doneCount,
             std::map<double, int>& afterDone) {
    while (!pending.empty()) {
        Value response = host.readResponse(std::chrono::seconds(120));
        ASSERT_TRUE(response) << pending.size() << " requests unanswered; helper error output:\n"
                              << host.helper().err();
        const double id = num(prop(response, "id"));
        if (doneCount[id] > 0) ++afterDone[id];
        if (isDone(response)) {
            ++doneCount[id];
            pending.erase(id);
        }
    }
}

// Fifty requests of every kind at once among a thousand malformed frames:
// each request is answered, and answered once.
TEST_F(Faults, MalformedFramesAmongConcurrentRequestsOfEveryKind) {
    TempDir music;
    const std::vector<std::string> files =
        linkTree(music.path(), 300, {"tone.mp3", "tone.m4a", "tone.flac"});
    std::vector<std::string> some(files.begin(), files.begin() + 12);
    TempDir converted;
    const std::vector<std::string> toConvert = linkTree(converted.path(), 3, {"tone.mp3"}, true);
    const amf::amf_object scan = scanArg(music.path(), 50);
    const amf::amf_object list = listArg(files, 40);
    const amf::amf_object prints = fingerprintArg(some);
    const amf::amf_object convert = listArg(toConvert);
    const std::vector<std::pair<const char*, const amf::amf0_data_type*>> kinds = {
        {"scanDirectory", &scan},
        {"audioHash", &list},
        {"extractMetadataFromFiles", &list},
        {"fingerprints", &prints},
        {"echo", &scan},
        {"version", nullptr},
        {"systemInfo", nullptr},
        {"deviceId", nullptr},
        {"convertToWav", &convert},
        {"getSupportedExtensions", nullptr}};
    const std::string valid = encodeValue(makeRequest("echo", 1, nullptr));
    const std::vector<std::string> malformed = {
        "",
        valid.substr(0, valid.size() / 2),
        std::string("\x03\x00\x03"
                    "cmd\x00\x00\x04"
                    "echo\x00\x00\x09",
                    15),  // id missing
        encodeValue(amf::amf_string("echo")),
        std::string(200, '\x03'),                 // nesting past the decoder's limit
        std::string("\x0c\x7f\xff\xff\xff", 5)};  // long string past the body
    std::mt19937 random(10);
    std::string burst;
    std::set<double> ids;
    std::map<double, std::string> commandOf;
    for (int i = 0; i < 1000; ++i) {
        std::string body = malformed[static_cast<std::size_t>(i / 4) % malformed.size()];
        if (i % 4 != 0) {
            body.resize(1 + random() % 300);
            for (char& c : body) c = static_cast<char>(random());
        }
        burst += frameOfBody(body);
        const auto& kind = kinds[static_cast<std::size_t>(i / 20) % kinds.size()];
        // One conversion request only: two at once would write the same files.
        if (i % 20 != 19 || (kind.second == &convert && i >= 200)) continue;
        burst += frame(makeRequest(kind.first, i, kind.second));
        ids.insert(i);
        commandOf[i] = kind.first;
    }
    TestHost host;
    host.startHelper();
    host.sendRaw(burst);
    std::map<double, int> doneCount, afterDone;
    collect(host, ids, doneCount, afterDone);
    for (double id : ids) {
        EXPECT_EQ(doneCount[id], 1) << commandOf[id];
        EXPECT_EQ(afterDone[id], 0) << commandOf[id];
    }
    // Nothing else is pending: the next answer is the one to a fresh request.
    host.send("echo", 7);
    Value last = host.readResponse();
    ASSERT_TRUE(last);
    EXPECT_EQ(num(prop(last, "id")), 7);
    EXPECT_EQ(host.quit(), 0);
}

TEST_F(Faults, HostClosingDuringALongScanLeavesTheHelperUpUntilQuit) {
    // 10,000 files as the issue asks; hard links make the tree cheap to build.
    TempDir music;
    linkTree(music.path(), 10000, {"tone.mp3", "tone.m4a"});
    TestHost host;
    host.startHelper();
    const amf::amf_object arg = scanArg(music.path(), 25);
    host.send("scanDirectory", 1, &arg);
    Value first = host.readResponse(std::chrono::seconds(120));
    ASSERT_TRUE(first);
    EXPECT_FALSE(isDone(first));
    host.closeConnection();
    // The scan keeps running against a closed connection; the helper stays.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_TRUE(host.helper().running());
    // QUIT ends it cleanly; under ASan a leak would turn the status non-zero.
    EXPECT_EQ(host.quit(), 0);
}

// "QUIT" or a stop signal in the middle of long work of every kind ends the
// helper promptly and cleanly; an interrupted conversion leaves no partial
// WAV file behind, and no temporary file.
TEST_F(Faults, StopsDuringLongWorkOfEveryKindArePrompt) {
    TempDir music;
    // Enough work for each command to outlast the test many times over.
    const std::vector<std::string> scanTree = linkTree(music / "tree", 4000, {"tone.mp3"});
    const std::vector<std::string> longOnes = linkTree(music / "long", 400, {"long.mp3"});
    TempDir convertDir;
    const std::vector<std::string> toConvert = linkTree(convertDir.path(), 200, {"long.mp3"}, true);
    // TagLib reads a file without frames to its end in 1 KiB steps: minutes
    // for 5 GB of zeros (sparse, so they take no disk), with no interruption
    // point of ours in between.
    const std::string zeros = music / "zeros/zeros.mp3";
    fs::create_directories(music / "zeros");
    writeFile(zeros, "");
    fs::resize_file(zeros, 5ull << 30);
    // Titles of 64 MiB: TagLib kept them as wide characters and the record
    // copied them again, seconds of copying no stop could interrupt.
    const std::string hugeTitle = music / "huge/0_huge_title.mp3";
    fs::create_directories(music / "huge");
    makeTagged(source("tone.mp3"), hugeTitle, std::string(64 * kMiB, 'H'));
    std::vector<std::string> hugeTitles{hugeTitle};
    for (int i = 1; i < 3; ++i) {
        hugeTitles.push_back(music / ("huge/" + std::to_string(i) + "_huge_title.mp3"));
        fs::create_hard_link(hugeTitle, hugeTitles.back());
    }
    const amf::amf_object scan = scanArg(music / "tree", 1000000);
    std::vector<std::string> manyTagged;
    for (int round = 0; round < 5; ++round)
        manyTagged.insert(manyTagged.end(), scanTree.begin(), scanTree.end());
    const amf::amf_object tags = listArg(manyTagged, 1000000);
    const amf::amf_object hash = listArg(longOnes, 1000000);
    const amf::amf_object prints = fingerprintArg(longOnes);
    const amf::amf_object convert = listArg(toConvert);
    const amf::amf_object scanZeros = scanArg(music / "zeros", 1);
    const amf::amf_object tagsOfZeros = listArg({zeros});
    const amf::amf_object scanHuge = scanArg(music / "huge", 1);
    const amf::amf_object tagsOfHuge = listArg(hugeTitles, 1);
    const struct {
        const char* cmd;
        const amf::amf0_data_type* arg;
        int signal;  // 0: "QUIT"
    } jobs[] = {{"scanDirectory", &scan, 0},
                {"extractMetadataFromFiles", &tags, 0},
                {"audioHash", &hash, 0},
                {"fingerprints", &prints, 0},
                {"convertToWav", &convert, 0},
                {"convertToWav", &convert, SIGTERM},
                {"convertToWav", &convert, SIGINT},
                {"convertToWav", &convert, SIGHUP},
                {"scanDirectory", &scanZeros, 0},
                {"extractMetadataFromFiles", &tagsOfZeros, 0},
                {"scanDirectory", &scanHuge, 0},
                {"extractMetadataFromFiles", &tagsOfHuge, 0}};
    auto converting = [&] {
        for (fs::directory_iterator it(convertDir.path()), end; it != end; ++it)
            if (it->path().filename().string().rfind(".ostra-wav-", 0) == 0) return true;
        return false;
    };
    for (const auto& job : jobs) {
        SCOPED_TRACE(std::string(job.cmd) + " " + std::to_string(job.signal));
        TestHost host;
        host.startHelper();
        host.send(job.cmd, 1, job.arg);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        if (job.arg == &convert) {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
            while (!converting() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            ASSERT_TRUE(converting()) << "no conversion under way";
        }
        ASSERT_TRUE(host.helper().running());
        if (job.signal == 0)
            host.helper().writeStdin("QUIT\n");
        else
            kill(host.helper().pid(), job.signal);
        EXPECT_EQ(host.helper().wait(kStopDeadline), 0);
        EXPECT_NE(host.helper().out().find("Exiting.\n"), std::string::npos);
        expectOnlyCompleteWavFiles(convertDir.path());
    }
}

// An ID3v2.4 tag whose "CHAP" frames nest `depth` deep, sizes worked out
// from the inside first so a deep chain is built in linear time.
std::string nestedChapters(int depth) {
    auto synchsafe = [](std::size_t value) {
        std::string bytes;
        for (int shift = 21; shift >= 0; shift -= 7) {
            bytes += static_cast<char>((value >> shift) & 0x7f);
        }
        return bytes;
    };
    const std::string inner = "TIT2" + synchsafe(3) + std::string(2, '\0') + "\x03in";
    const std::string prefix = std::string("c\0", 2) + std::string(16, '\0');
    std::vector<std::size_t> bodies(static_cast<std::size_t>(depth));
    std::size_t size = inner.size();
    for (int level = depth; level > 0; --level) {
        bodies[static_cast<std::size_t>(level - 1)] = prefix.size() + size;
        size = 10 + bodies[static_cast<std::size_t>(level - 1)];
    }
    std::string frames;
    for (std::size_t body : bodies)
        frames += "CHAP" + synchsafe(body) + std::string(2, '\0') + prefix;
    frames += inner;
    return "ID3\x04" + std::string(2, '\0') + synchsafe(frames.size()) + frames;
}

// Bytes of an MP4 file whose "moov" boxes nest `depth` deep.
std::string nestedBoxes(int depth) {
    std::string bytes;
    std::vector<std::uint32_t> sizes;
    for (int i = depth; i >= 1; --i) sizes.push_back(static_cast<std::uint32_t>(8 * i));
    std::string ftyp(
        "\0\0\0\x10"
        "ftypM4A \0\0\0\0",
        16);
    bytes = ftyp;
    for (std::uint32_t size : sizes) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(size >> shift);
        bytes += "moov";
    }
    return bytes;
}

TEST_F(Faults, HostileFilesThroughEveryCommand) {
    TempDir hostile;
    std::mt19937 random(42);
    auto randomBytes = [&](std::size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(random());
        return s;
    };
    const std::vector<std::string> exts = {"mp3", "m4a", "flac", "ogg", "wav", "aiff", "wma"};
    for (const auto& ext : exts) {
        writeFile(hostile / ("random." + ext), randomBytes(5000));
        writeFile(hostile / ("empty." + ext), "");
        const std::string real = readFile(source(ext == "m4a"    ? "tone.m4a"
                                                 : ext == "flac" ? "tone.flac"
                                                                 : "tone.mp3"));
        writeFile(hostile / ("truncated." + ext), real.substr(0, real.size() / 3));
        writeFile(hostile / ("headonly." + ext), real.substr(0, 64));
    }
    // Gigantic declared sizes.
    writeFile(hostile / "huge_id3.mp3",
              std::string("ID3\x04\x00\x00\x7f\x7f\x7f\x7f", 10) + randomBytes(2000));
    writeFile(hostile / "huge_mdat.m4a",
              std::string("\0\0\0\x10"
                          "ftypM4A \0\0\0\0"
                          "\0\0\0\x01mdat\x7f\xff\xff\xff\xff\xff\xff\xff",
                          32) +
                  randomBytes(2000));
    writeFile(hostile / "huge_moov.m4a", std::string("\0\0\0\x10"
                                                     "ftypM4A \0\0\0\0"
                                                     "\xff\xff\xff\xf0moov",
                                                     24) +
                                             randomBytes(2000));
    writeFile(hostile / "huge_data.wav",
              std::string("RIFF\xff\xff\xff\xff"
                          "WAVEfmt \x10\0\0\0\x01\0\x02\0\x44\xac\0\0\x10\xb1\x02\0\x04\0\x10\0"
                          "data\xff\xff\xff\xff",
                          44) +
                  randomBytes(1000));
    writeFile(hostile / "huge_header.flac",
              std::string("fLaC\x00\xff\xff\xff", 8) + randomBytes(3000));
    // Deeply nested boxes and chapter frames: TagLib parses them by recursion,
    // one level per declared level, and overflowed a worker's stack.
    writeFile(hostile / "nested.m4a", nestedBoxes(100000));
    const std::string audio = readFile(source("tone.mp3"));
    writeFile(hostile / "nested_chapters.mp3", nestedChapters(100000) + audio);
    {
        const std::string tag = nestedChapters(100000);
        auto le32 = [](std::size_t value) {
            std::string bytes;
            for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(value >> shift);
            return bytes;
        };
        writeFile(hostile / "nested_chapters.wav",
                  "RIFF" + le32(12 + tag.size()) + "WAVEid3 " + le32(tag.size()) + tag);
    }

    std::vector<std::string> paths;
    std::set<std::string> before;
    for (fs::directory_iterator it(hostile.path()), end; it != end; ++it) {
        paths.push_back(it->path().string());
        before.insert(it->path().filename().string());
    }

    TestHost host;
    host.startHelper();
    const std::chrono::seconds limit(120);
    const amf::amf_object scan = scanArg(hostile.path(), 5);
    const amf::amf_object list = listArg(paths, 5);
    const amf::amf_object prints = fingerprintArg(paths);
    for (const auto& call : std::vector<std::pair<const char*, const amf::amf0_data_type*>>{
             {"scanDirectory", &scan},
             {"extractMetadataFromFiles", &list},
             {"audioHash", &list},
             {"fingerprints", &prints},
             {"convertToWav", &list}}) {
        SCOPED_TRACE(call.first);
        std::vector<Value> responses = host.call(call.first, call.second, limit);
        ASSERT_FALSE(responses.empty());
        EXPECT_TRUE(isDone(responses.back()));
    }
    // Still serving, and nothing but complete WAV files was added.
    EXPECT_EQ(host.call("version").size(), 1u);
    expectOnlyCompleteWavFiles(hostile.path(), before);
    EXPECT_EQ(host.quit(), 0);
}

// The helper's standard output (a line per fingerprint error, trace lines)
// into a pipe the host never reads, or has closed: requests still finish and
// "QUIT" still ends the helper. A full pipe held the worker writing to it
// for good, and a closed one ended the helper with SIGPIPE.
TEST_F(Faults, OutputTheHostNeitherDrainsNorKeepsStallsNothing) {
    TempDir dir;
    const std::string notAudio = dir / "not_audio.mp3";
    writeFile(notAudio, std::string(4096, 'x'));
    writeFile(dir / "not_a_folder", "");
    // Each failed file prints an error record of some 150 bytes: far more
    // than a pipe holds.
    const amf::amf_object prints = fingerprintArg(std::vector<std::string>(2000, notAudio));
    // "full from the start": both outputs share a pipe the host filled before
    // the start, and the file cache cannot be made, which the cache reports
    // on standard error from the first file's reader. A terminal nobody reads
    // polls writable with less room than a record needs.
    enum Kind { NeverRead, Closed, FullFromTheStart, Terminal };
    const struct {
        const char* name;
        Kind kind;
    } rows[] = {{"never read", NeverRead},
                {"closed", Closed},
                {"full from the start", FullFromTheStart},
                {"a terminal nobody reads", Terminal}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::string output = dir / ("out" + std::to_string(row.kind));
        int reader = -1;
        if (row.kind == Terminal) {
            reader = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(reader, 0);
            ASSERT_EQ(grantpt(reader) | unlockpt(reader), 0);
            output = ptsname(reader);
        } else {
            ASSERT_EQ(mkfifo(output.c_str(), 0600), 0);
            reader = open(output.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(reader, 0);
        }
        if (row.kind == FullFromTheStart) {
            const int filler = open(output.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(filler, 0);
            const std::string chunk(4096, 'x');
            while (write(filler, chunk.data(), chunk.size()) > 0) {
            }
            close(filler);
        }
        TestHost host;
        HelperProcess helper({"/bin/sh", "-c", "exec \"$0\" \"$1\" > \"$2\" 2>&1", helperPath(),
                              std::to_string(host.port()), output},
                             {"OSTRA_CACHE=" + (dir / "not_a_folder/cache.sqlite")});
        host.accept();
        if (row.kind == Closed) close(reader);
        const std::vector<Value> responses =
            host.call("fingerprints", &prints, std::chrono::seconds(60 * kSlowdown));
        ASSERT_FALSE(responses.empty());
        EXPECT_TRUE(isDone(responses.back()));
        EXPECT_EQ(host.call("deviceId").size(), 1u);
        helper.writeStdin("QUIT\n");
        EXPECT_EQ(helper.wait(kStopDeadline), 0);
        if (row.kind != Closed) close(reader);
    }
}

// Every C call takes a NUL byte for the end of a path: "x.wav\0.mp3" passed
// the ".wav sources are skipped" rule and then rewrote x.wav (32-bit float)
// in place as 16-bit; tags, hashes and fingerprints of x.wav came back under
// the other name, and a start path went to the folder before the NUL. Such a
// path is now invalid for every command: its per-item error, nothing opened.
TEST_F(Faults, APathHoldingANulByteIsInvalidForEveryCommand) {
    TempDir dir;
    const std::string wav = dir / "x.wav";
    ASSERT_EQ(0, run("ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=duration=2 "
                     "-c:a pcm_f32le '" +
                     wav + "'"));
    const std::string checksum = capture("openssl dgst -sha1 -r '" + wav + "'");
    ASSERT_EQ(40u, checksum.find(' ')) << checksum;
    const std::string nul = wav + std::string("\0.mp3", 5);

    auto finalData = [](const std::vector<Value>& responses) {
        return responses.empty() ? nullptr : prop(responses.back(), "data");
    };
    const amf::amf_object list = listArg({nul});
    const amf::amf_object prints = fingerprintArg({nul});
    amf::amf_object scan = scanArg(dir.path() + std::string("\0/other", 7), 10);
    const struct {
        const char* cmd;
        const amf::amf0_data_type* arg;
        std::function<void(const std::vector<Value>&)> check;
    } rows[] = {
        {"convertToWav", &list,
         [&](const std::vector<Value>& r) {
             EXPECT_EQ(0, num(prop(finalData(r), "filesConverted")));
             EXPECT_EQ(1, num(prop(finalData(r), "filesSkipped")));
         }},
        {"audioHash", &list,
         [&](const std::vector<Value>& r) {
             ASSERT_EQ(2u, r.size());
             const auto entries = items(prop(r[0], "data"));
             ASSERT_EQ(1u, entries.size());
             EXPECT_EQ("error: couldn't get hash for file", str(entries[0]));
             EXPECT_EQ(0, num(prop(finalData(r), "count")));
         }},
        {"extractMetadataFromFiles", &list,
         [&](const std::vector<Value>& r) {
             EXPECT_EQ(1u, r.size());
             EXPECT_EQ(0, num(prop(finalData(r), "count")));
         }},
        {"fingerprints", &prints,
         [&](const std::vector<Value>& r) {
             ASSERT_EQ(2u, r.size());
             const auto entries = items(prop(r[0], "data"));
             ASSERT_EQ(1u, entries.size());
             EXPECT_EQ("file path was not valid", str(prop(entries[0], "error")));
             EXPECT_EQ(nul, str(prop(entries[0], "path")));
             EXPECT_EQ(0, num(prop(finalData(r), "count")));
         }},
        {"scanDirectory", &scan,
         [&](const std::vector<Value>& r) {
             ASSERT_EQ(1u, r.size());
             EXPECT_EQ("Problem occurred during file system scanning.",
                       str(prop(finalData(r), "error")));
         }},
    };
    TestHost host;
    host.startHelper();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cmd);
        const std::vector<Value> responses = host.call(row.cmd, row.arg, std::chrono::seconds(60));
        ASSERT_FALSE(responses.empty());
        EXPECT_TRUE(isDone(responses.back()));
        row.check(responses);
        // x.wav untouched, and nothing written beside it.
        EXPECT_EQ(checksum, capture("openssl dgst -sha1 -r '" + wav + "'"));
        std::vector<std::string> names;
        for (fs::directory_iterator it(dir.path()), end; it != end; ++it) {
            names.push_back(it->path().filename().string());
        }
        EXPECT_EQ(std::vector<std::string>{"x.wav"}, names);
    }
    EXPECT_EQ(0, host.quit());
}

// On the first open of a file by anyone, points a symbolic link elsewhere
// before the open may go on: a race between a check and a later open by
// name, won every time. Needs fanotify permission events (root).
class SwapLinkOnFirstOpen {
  public:
    SwapLinkOnFirstOpen(const std::string& file, const std::string& link, const std::string& to)
        : link_(link), to_(to) {
        fd_ = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return;
        if (::fanotify_mark(fd_, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, file.c_str()) != 0) {
            ::close(fd_);
            fd_ = -1;
            return;
        }
        thread_ = std::thread([this] { answer(); });
    }
    ~SwapLinkOnFirstOpen() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        // Closing the group lets any open still waiting go on.
        if (fd_ >= 0) ::close(fd_);
    }
    bool armed() const { return fd_ >= 0; }

  private:
    void answer() {
        bool swapped = false;
        while (!stop_) {
            pollfd poll = {fd_, POLLIN, 0};
            if (::poll(&poll, 1, 50) <= 0) continue;
            alignas(fanotify_event_metadata) char buffer[4096];
            const ssize_t n = ::read(fd_, buffer, sizeof buffer);
            if (n <= 0) continue;
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (ssize_t left = n; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
                if (!swapped) {
                    const std::string next = link_ + ".next";
                    ::unlink(next.c_str());
                    if (::symlink(to_.c_str(), next.c_str()) == 0) {
                        ::rename(next.c_str(), link_.c_str());
                    }
                    swapped = true;
                }
                const fanotify_response allow = {event->fd, FAN_ALLOW};
                if (::write(fd_, &allow, sizeof allow) < 0) ADD_FAILURE() << "fanotify answer";
                ::close(event->fd);
            }
        }
    }

    std::string link_, to_;
    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A name checked with stat and then opened by name (the tag reader opened MP3
// audio named .flac twice by name: once for the tags, once as FLAC for the
// album artist) may be a FIFO by the time of a later open, which blocked a
// worker for good, and "QUIT" with it. The file is
// reached through a directory link that is swapped to a folder holding a FIFO
// of the same name as soon as the file is first opened. Each file is now
// opened once, without blocking, checked on its descriptor and read through it.
TEST_F(Faults, AFileSwappedForAFifoAfterItsCheckBlocksNeitherAWorkerNorQuit) {
    TempDir dir;
    fs::create_directories(dir / "real");
    fs::create_directories(dir / "fifo");
    fs::create_directories(dir / "links");
    const std::string real = dir / "real/x.flac";
    fs::copy_file(source("tone.mp3"), real);
    ASSERT_EQ(0, ::mkfifo((dir / "fifo/x.flac").c_str(), 0600));
    ASSERT_EQ(0, ::symlink("t/x.flac", (dir / "links/song.flac").c_str()));
    const amf::amf_object tags = listArg({dir / "links/song.flac"});
    const amf::amf_object scan = scanArg(dir / "links", 10);
    const struct {
        const char* cmd;
        const amf::amf0_data_type* arg;
    } calls[] = {{"extractMetadataFromFiles", &tags}, {"scanDirectory", &scan}};
    for (const auto& call : calls) {
        SCOPED_TRACE(call.cmd);
        ::unlink((dir / "links/t").c_str());
        ASSERT_EQ(0, ::symlink((dir / "real").c_str(), (dir / "links/t").c_str()));
        SwapLinkOnFirstOpen swapper(real, dir / "links/t", dir / "fifo");
        if (!swapper.armed()) GTEST_SKIP() << "no fanotify permission events here";
        TestHost host;
        host.startHelper();
        const std::vector<Value> responses =
            host.call(call.cmd, call.arg, std::chrono::seconds(20 * kSlowdown));
        EXPECT_TRUE(!responses.empty() && isDone(responses.back())) << "no final answer";
        host.helper().writeStdin("QUIT\n");
        EXPECT_EQ(host.helper().wait(kStopDeadline), 0);
    }
}

// A host that stops reading while a large extraction streams 4 MiB songs:
// the helper waits for it instead of queueing without bound, and "QUIT" or a
// stop signal still ends it promptly and cleanly.
TEST_F(Faults, StoppingWhileTheHostReadsNothingIsPromptAndMemoryStaysBounded) {
    TempDir music;
    const std::vector<std::string> paths = linkTree(music.path(), 100, {"big.mp3"}, true);
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
        EXPECT_LT(kMeasuresMemory ? peak - idle : 0, 256 * 1024);
        if (way == 0)
            host.helper().writeStdin("QUIT\n");
        else
            kill(host.helper().pid(), way);
        EXPECT_EQ(host.helper().wait(kStopDeadline), 0);
        EXPECT_NE(host.helper().out().find("Exiting.\n"), std::string::npos);
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
TEST_F(Faults, LargeFramesOfFragmentedShapesCostAFewTimesTheirSize) {
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
        expectPeakRiseBelow(host, idle, 256);
        EXPECT_EQ(host.quit(), 0);
    }
}

// Large requests queued behind a busy serialised command wait in the budget,
// not decoded in memory: six 8 MiB frames keep the helper under 512 MiB over
// its idle peak, and all are answered once the command is done.
TEST_F(Faults, RequestsWaitingForABusyWorkerStayWithinTheBudget) {
    TempDir music;
    const std::vector<std::string> paths = linkTree(music.path(), 100, {"big.mp3"}, true);
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
    expectPeakRiseBelow(host, idle, 512);
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
TEST_F(Faults, BatchesCloseAtTheirByteBoundAndNoFrameIsTooLong) {
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
    const amf::amf_object scan = scanArg(music.path(), 100);
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
// record copied it again, over a gigabyte per file worker. Their tags now
// count as unreadable before TagLib parses them, by each command alike.
TEST_F(Faults, OneHugeTextFieldIsRefusedCheaply) {
    TempDir music;
    const std::string first = music / "0_huge_title.mp3";
    makeTagged(source("tone.mp3"), first, std::string(64 * kMiB, 'H'));
    std::vector<std::string> paths{first};
    for (int i = 1; i < 3; ++i) {
        paths.push_back(music / (std::to_string(i) + "_huge_title.mp3"));
        fs::create_hard_link(first, paths.back());
    }
    const amf::amf_object extract = listArg(paths, 1);
    const amf::amf_object scan = scanArg(music.path(), 1);
    const struct {
        const char* cmd;
        const amf::amf0_data_type* arg;
        std::size_t records;  // songs sent, without their tags
    } calls[] = {{"extractMetadataFromFiles", &extract, 0}, {"scanDirectory", &scan, 3}};
    for (const auto& call : calls) {
        SCOPED_TRACE(call.cmd);
        TestHost host;
        host.startHelper();
        const long idle = idlePeak(host);
        const std::vector<Value> responses =
            host.call(call.cmd, call.arg, std::chrono::seconds(60 * kSlowdown));
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
        expectPeakRiseBelow(host, idle, 512);
        EXPECT_EQ(host.quit(), 0);
    }
}

// Gigabytes without a frame to decode (a sparse file of zeros named .mp3, a
// download that stopped after its first second): the decoder gives up on
// the run of bytes it cannot frame instead of reading it all while FFmpeg's
// parser keeps every byte (minutes, and 2 GB, for 5 GB of zeros). What was
// audio before the run is kept.
TEST_F(Faults, GigabytesWithoutFramesAreCutShort) {
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
        expectPeakRiseBelow(host, idle, 256);
        EXPECT_EQ(host.quit(), 0);
    }
}

}  // namespace

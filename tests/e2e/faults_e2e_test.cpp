// Faults under load against the real helper binary: malformed frames among
// valid requests, many concurrent commands, a host that goes away in the
// middle of a long scan, "QUIT" in the middle of long work, and hostile
// audio files through every file command.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
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
#else
constexpr int kSlowdown = 1;
#endif

// How long the helper may take to exit after "QUIT" while busy.
const std::chrono::milliseconds kQuitDeadline(2000 * kSlowdown);

void makeAudio(const std::string& path, int seconds, const std::string& title) {
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=330:duration=" +
        std::to_string(seconds) + " -ac 2 -metadata title='" + title +
        "' -metadata artist='Fault Band' '" + path + "'";
    ASSERT_EQ(run(command), 0) << command;
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

// Source files shared by the tests, generated once.
class Faults : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        sources_ = new TempDir;
        makeAudio(*sources_ / "tone.mp3", 2, "Tone");
        makeAudio(*sources_ / "tone.m4a", 2, "Tone M4A");
        makeAudio(*sources_ / "tone.flac", 2, "Tone FLAC");
        makeAudio(*sources_ / "long.mp3", 120, "Long");
    }
    static void TearDownTestSuite() {
        delete sources_;
        sources_ = nullptr;
    }
    static std::string source(const std::string& name) { return *sources_ / name; }

    // count hard links of each source under dir, spread over sub-folders of 100.
    static std::vector<std::string> linkTree(const std::string& dir, int count,
                                             const std::vector<std::string>& names) {
        std::vector<std::string> paths;
        for (int i = 0; i < count; ++i) {
            const std::string& name = names[static_cast<std::size_t>(i) % names.size()];
            const fs::path folder = fs::path(dir) / ("d" + std::to_string(i / 100));
            fs::create_directories(folder);
            const fs::path to =
                folder / (std::to_string(i) + "_" + name);  // keeps the source's extension
            fs::create_hard_link(source(name), to);
            paths.push_back(to.string());
        }
        return paths;
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

TEST_F(Faults, MalformedFramesAmongValidRequestsLeaveEveryValidOneAnsweredOnce) {
    TestHost host;
    host.startHelper();
    std::mt19937 random(10);
    const std::string valid = encodeValue(makeRequest("echo", 1, nullptr));
    std::vector<std::string> malformed;
    malformed.push_back("");
    malformed.push_back(valid.substr(0, valid.size() / 2));
    malformed.push_back(
        std::string("\x03\x00\x03"
                    "cmd\x00\x00\x04"
                    "echo\x00\x00\x09",
                    15));  // id missing
    malformed.push_back(encodeValue(amf::amf_string("echo")));
    malformed.push_back(std::string(200, '\x03'));  // nesting past the decoder's limit
    malformed.push_back(std::string("\x0c\x7f\xff\xff\xff", 5));  // long string past the body

    std::string burst;
    std::set<double> ids;
    for (int i = 0; i < 1000; ++i) {
        std::string body;
        if (i % 4 == 0) {
            body = malformed[static_cast<std::size_t>(i / 4) % malformed.size()];
        } else {
            body.resize(1 + random() % 300);
            for (char& c : body) c = static_cast<char>(random());
        }
        burst += frameOfBody(body);
        if (i % 5 == 4) {
            const double id = 1000 + i;
            amf::amf_numeric payload(i);
            burst += frame(makeRequest(i % 10 == 4 ? "echo" : "version", id, &payload));
            ids.insert(id);
        }
    }
    host.sendRaw(burst);

    std::map<double, int> doneCount, afterDone;
    collect(host, ids, doneCount, afterDone);
    for (double id : ids) {
        EXPECT_EQ(doneCount[id], 1) << id;
        EXPECT_EQ(afterDone[id], 0) << id;
    }
    // Nothing else is pending: the next answer is the one to a fresh request.
    host.send("echo", 7);
    Value last = host.readResponse();
    ASSERT_TRUE(last);
    EXPECT_EQ(num(prop(last, "id")), 7);
    EXPECT_EQ(host.quit(), 0);
}

TEST_F(Faults, FiftyConcurrentMixedRequestsAreEachAnsweredOnce) {
    TempDir music;
    const std::vector<std::string> files =
        linkTree(music.path(), 300, {"tone.mp3", "tone.m4a", "tone.flac"});
    std::vector<std::string> some(files.begin(), files.begin() + 12);
    TempDir converted;
    std::vector<std::string> toConvert;
    for (int i = 0; i < 3; ++i) {
        const std::string to = converted / ("c" + std::to_string(i) + ".mp3");
        fs::copy_file(source("tone.mp3"), to);
        toConvert.push_back(to);
    }

    TestHost host;
    host.startHelper();
    const amf::amf_object scan = scanArg(music.path(), 50);
    const amf::amf_object hash = listArg(files, 40);
    const amf::amf_object tags = listArg(files, 40);
    const amf::amf_object prints = fingerprintArg(some);
    const amf::amf_object convert = listArg(toConvert);
    struct Kind {
        const char* cmd;
        const amf::amf0_data_type* arg;
    };
    const std::vector<Kind> kinds = {{"scanDirectory", &scan},
                                     {"audioHash", &hash},
                                     {"extractMetadataFromFiles", &tags},
                                     {"fingerprints", &prints},
                                     {"echo", &scan},
                                     {"version", nullptr},
                                     {"systemInfo", nullptr},
                                     {"deviceId", nullptr},
                                     {"convertToWav", &convert},
                                     {"getSupportedExtensions", nullptr}};
    std::string burst;
    std::set<double> ids;
    std::map<double, std::string> commandOf;
    for (int i = 0; i < 50; ++i) {
        const Kind& kind = kinds[static_cast<std::size_t>(i) % kinds.size()];
        // One conversion request only: two at once would write the same files.
        if (std::string(kind.cmd) == "convertToWav" && i >= 10) continue;
        burst += frame(makeRequest(kind.cmd, i + 1, kind.arg));
        ids.insert(i + 1);
        commandOf[i + 1] = kind.cmd;
    }
    host.sendRaw(burst);

    std::map<double, int> doneCount, afterDone;
    collect(host, ids, doneCount, afterDone);
    for (double id : ids) {
        EXPECT_EQ(doneCount[id], 1) << commandOf[id];
        EXPECT_EQ(afterDone[id], 0) << commandOf[id];
    }
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

TEST_F(Faults, QuitDuringLongWorkOfEveryKindEndsPromptly) {
    TempDir music;
    // Enough work for each command to outlast the test many times over.
    const std::vector<std::string> scanTree = linkTree(music / "tree", 4000, {"tone.mp3"});
    const std::vector<std::string> longOnes = linkTree(music / "long", 400, {"long.mp3"});
    TempDir convertDir;
    std::vector<std::string> toConvert;
    for (int i = 0; i < 200; ++i) {
        const std::string to = convertDir / ("long" + std::to_string(i) + ".mp3");
        fs::create_hard_link(source("long.mp3"), to);
        toConvert.push_back(to);
    }
    // TagLib reads a file without frames to its end in 1 KiB steps: minutes
    // for 5 GB of zeros (sparse, so they take no disk), with no interruption
    // point of ours in between.
    const std::string zeros = music / "zeros/zeros.mp3";
    fs::create_directories(music / "zeros");
    writeFile(zeros, "");
    fs::resize_file(zeros, 5ull << 30);
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
    const std::vector<std::pair<const char*, const amf::amf0_data_type*>> jobs = {
        {"scanDirectory", &scan},
        {"extractMetadataFromFiles", &tags},
        {"audioHash", &hash},
        {"fingerprints", &prints},
        {"convertToWav", &convert},
        {"scanDirectory", &scanZeros},
        {"extractMetadataFromFiles", &tagsOfZeros}};
    for (const auto& job : jobs) {
        SCOPED_TRACE(job.first);
        TestHost host;
        host.startHelper();
        host.send(job.first, 1, job.second);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ASSERT_TRUE(host.helper().running());
        host.helper().writeStdin("QUIT\n");
        EXPECT_EQ(host.helper().wait(kQuitDeadline), 0);
    }
    // The interrupted conversions (one per file worker) left no partial WAV
    // file behind, and no temporary file.
    for (fs::directory_iterator it(convertDir.path()), end; it != end; ++it) {
        EXPECT_NE(it->path().filename().string().rfind(".ostra-wav-", 0), 0u) << it->path();
        if (it->path().extension() != ".wav") continue;
        const std::string bytes = readFile(it->path().string());
        ASSERT_GE(bytes.size(), 44u) << it->path();
        const std::uint32_t riff =
            static_cast<unsigned char>(bytes[4]) | static_cast<unsigned char>(bytes[5]) << 8 |
            static_cast<unsigned char>(bytes[6]) << 16 |
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[7])) << 24;
        EXPECT_EQ(riff + 8u, bytes.size()) << it->path();
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
    for (fs::directory_iterator it(hostile.path()), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        if (before.count(name)) continue;
        EXPECT_EQ(it->path().extension(), ".wav") << name;
        const std::string bytes = readFile(it->path().string());
        ASSERT_GE(bytes.size(), 44u) << name;
        const std::uint32_t riff =
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[4])) |
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[5])) << 8 |
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[6])) << 16 |
            static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[7])) << 24;
        EXPECT_EQ(riff + 8u, bytes.size()) << name;
    }
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
    // Each failed file prints an error record of some 150 bytes: far more
    // than a pipe holds.
    const amf::amf_object prints = fingerprintArg(std::vector<std::string>(2000, notAudio));
    for (const bool closed : {false, true}) {
        SCOPED_TRACE(closed ? "closed" : "never read");
        const std::string fifo = dir / (closed ? "closed" : "full");
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        ASSERT_GE(reader, 0);
        TestHost host;
        HelperProcess helper({"/bin/sh", "-c", "exec \"$0\" \"$1\" > \"$2\"", helperPath(),
                              std::to_string(host.port()), fifo});
        host.accept();
        if (closed) close(reader);
        const std::vector<Value> responses =
            host.call("fingerprints", &prints, std::chrono::seconds(60 * kSlowdown));
        ASSERT_FALSE(responses.empty());
        EXPECT_TRUE(isDone(responses.back()));
        EXPECT_EQ(host.call("deviceId").size(), 1u);
        helper.writeStdin("QUIT\n");
        EXPECT_EQ(helper.wait(kQuitDeadline), 0);
        if (!closed) close(reader);
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
        EXPECT_EQ(host.helper().wait(kQuitDeadline), 0);
    }
}

}  // namespace

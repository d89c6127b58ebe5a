// A hostile host and hostile files against the real helper binary: malformed
// frames among valid requests, a host that goes away or reads nothing, the
// largest frames of the most fragmented shapes, records too large for a
// batch or any frame, stops in the middle of work.
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
#include <map>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace {

using namespace testsupport;
namespace fs = boost::filesystem;
using Arg = const amf::amf0_data_type*;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 5;
// Sanitizers change what every allocation costs: memory is measured in the
// plain build only.
constexpr bool kMeasuresMemory = false;
#else
constexpr int kSlowdown = 1;
constexpr bool kMeasuresMemory = true;
#endif

constexpr std::size_t kMiB = 1024 * 1024;
// A generous liveness bound for the promise to stop within 2 s.
const std::chrono::seconds kStopDeadline(10 * kSlowdown);

// Tones of 2 s ("long.mp3": 120 s), made once per build tree.
std::string tone(const std::string& name) {
    return media::ffmpeg(name, "-f lavfi -i sine=frequency=330:duration=" +
                                   std::string(name[0] == 'l' ? "120" : "2") +
                                   " -ac 2 -metadata title=Tone -metadata artist='Fault Band'");
}

// tone.mp3 titled `prefix` and `count` copies of `fill`, through a metadata
// file, as a command line cannot carry a title of several MiB.
std::string retitled(const std::string& name, const std::string& prefix, char fill,
                     std::size_t count) {
    return media::make(
        name, "{ printf ';FFMETADATA1\\ntitle=" + prefix + "'; head -c " + std::to_string(count) +
                  " /dev/zero | tr '\\0' " + fill +
                  "; printf '\\nartist=Fault Band\\n'; } > \"$OUT.txt\" && "
                  "ffmpeg -nostdin -v error -y -i " +
                  media::quote(tone("tone.mp3")) +
                  " -i \"$OUT.txt\" -map_metadata 1 -c copy \"$OUT\" && rm \"$OUT.txt\"");
}

// The sources: tones, and "big.mp3" and "huge.mp3" whose titles are 4 MiB and
// 64 MiB (TagLib kept such a title as wide characters and the record copied
// it again: over a gigabyte per file worker).
std::string source(const std::string& name) {
    if (name == "big.mp3") return retitled(name, "", 'T', 4 * kMiB);
    if (name == "huge.mp3") return retitled(name, "", 'H', 64 * kMiB);
    return tone(name);
}

// count hard links to the sources under dir, the names in turn, spread over
// sub-folders of 100 unless flat.
std::vector<std::string> linkTree(const std::string& dir, int count,
                                  const std::vector<std::string>& names, bool flat = false) {
    std::vector<std::string> paths;
    for (int i = 0; i < count; ++i) {
        const std::string& name = names[static_cast<std::size_t>(i) % names.size()];
        const fs::path folder =
            flat ? fs::path(dir) : fs::path(dir) / ("d" + std::to_string(i / 100));
        fs::create_directories(folder);
        paths.push_back((folder / (std::to_string(i) + "_" + name)).string());
        fs::create_hard_link(source(name), paths.back());
    }
    return paths;
}

// A file list; for fingerprints of every type when `prints`.
amf::amf_object listArg(const std::vector<std::string>& paths, double batchSize = 0,
                        bool prints = false) {
    amf::amf_object arg;
    amf::amf_ecma_array list = stringArray(paths);
    arg.set_property("filePaths", &list);
    if (batchSize > 0) arg.set_numeric_property("batchSize", batchSize);
    amf::amf_ecma_array types = stringArray({"MICRO", "NANO", "CMX"});
    if (prints) arg.set_property("fingerprintTypes", &types);
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

// What a conversion added to dir (all but `sources`, or all but other audio)
// are complete WAV files, their RIFF size matching; no temporary file is left.
void expectOnlyCompleteWavFiles(const std::string& dir, const std::set<std::string>& sources = {}) {
    for (fs::directory_iterator it(dir), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        EXPECT_NE(name.rfind(".ostra-wav-", 0), 0u) << name;
        if (sources.count(name) || (sources.empty() && it->path().extension() != ".wav")) continue;
        EXPECT_EQ(it->path().extension(), ".wav") << name;
        const std::string bytes = readFile(it->path().string());
        ASSERT_GE(bytes.size(), 44u) << name;
        EXPECT_EQ(media::le32(static_cast<std::uint32_t>(bytes.size() - 8)), bytes.substr(4, 4));
    }
}

// Ends the helper with "QUIT" (signal 0) or a stop signal: promptly and cleanly.
void stopHelper(Ostra::host::HelperProcess& helper, int signal) {
    if (signal == 0)
        helper.writeStdin("QUIT\n");
    else
        kill(helper.pid(), signal);
    EXPECT_EQ(helper.wait(kStopDeadline), 0);
    EXPECT_NE(helper.out().find("Exiting.\n"), std::string::npos);
}

// The helper's peak resident size once it is up and has answered.
long idlePeak(TestHost& host) {
    EXPECT_EQ(host.call("version").size(), 1u);
    return procStatusKib(host.helper().pid(), "VmHWM");
}

void expectPeakRiseBelow(TestHost& host, long idle, long mib) {
    if (kMeasuresMemory) {
        EXPECT_LT(procStatusKib(host.helper().pid(), "VmHWM") - idle, mib * 1024);
    }
}

// Requests of every kind at once among a thousand malformed frames: each
// request is answered, and answered once.
TEST(Faults, MalformedFramesAmongConcurrentRequestsOfEveryKind) {
    TempDir music;
    const std::vector<std::string> files =
        linkTree(music.path(), 300, {"tone.mp3", "tone.m4a", "tone.flac"});
    const amf::amf_object scan = scanArg(music.path(), 50);
    const amf::amf_object list = listArg(files, 40);
    const amf::amf_object prints = listArg({files.begin(), files.begin() + 12}, 0, true);
    const amf::amf_object convert = listArg(linkTree(music / "convert", 3, {"tone.mp3"}, true));
    const std::vector<std::pair<const char*, Arg>> kinds = {{"scanDirectory", &scan},
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
        std::string("\x03\0\x03"
                    "cmd\0\0\x04"
                    "echo\0\0\x09",
                    15),  // id missing
        encodeValue(amf::amf_string("echo")),
        std::string(200, '\x03'),                 // nesting past the decoder's limit
        std::string("\x0c\x7f\xff\xff\xff", 5)};  // long string past the body
    std::mt19937 random(10);
    std::string burst;
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
        commandOf[i] = kind.first;
    }
    TestHost host;
    host.startHelper();
    host.sendRaw(burst);
    std::map<double, int> doneCount, afterDone;
    for (std::size_t pending = commandOf.size(); pending > 0;) {
        Value response = host.readResponse(std::chrono::seconds(120));
        ASSERT_TRUE(response) << pending << " unanswered:\n" << host.helper().err();
        const double id = num(prop(response, "id"));
        if (doneCount[id] > 0) ++afterDone[id];
        if (isDone(response) && ++doneCount[id] == 1) --pending;
    }
    for (const auto& request : commandOf) {
        EXPECT_EQ(doneCount[request.first], 1) << request.second;
        EXPECT_EQ(afterDone[request.first], 0) << request.second;
    }
    // Nothing else is pending: the next answer is the one to a fresh request.
    host.send("echo", 7);
    Value last = host.readResponse();
    ASSERT_TRUE(last);
    EXPECT_EQ(num(prop(last, "id")), 7);
    EXPECT_EQ(host.quit(), 0);
}

// "QUIT" or a stop signal in the middle of long work of every kind, of
// which the host reads nothing, ends the helper promptly and cleanly; an
// interrupted conversion leaves no partial WAV file or temporary file. With
// 4 MiB songs the helper waits for the host instead of queueing without
// bound, and a host that closes the connection leaves it up until "QUIT".
TEST(Faults, StopsDuringLongWorkOfEveryKindArePrompt) {
    TempDir music;
    // Enough work for each command to outlast the test many times over.
    const std::vector<std::string> scanTree = linkTree(music / "tree", 4000, {"tone.mp3"});
    const std::vector<std::string> longOnes = linkTree(music / "long", 400, {"long.mp3"});
    const std::string convertDir = music / "convert";
    const amf::amf_object convert = listArg(linkTree(convertDir, 200, {"long.mp3"}, true));
    // TagLib reads a file without frames to its end in 1 KiB steps, with no
    // interruption point of ours in between: minutes for 5 GB of (sparse) zeros.
    const std::string zeros = music / "zeros/zeros.mp3";
    fs::create_directories(music / "zeros");
    writeFile(zeros, "");
    fs::resize_file(zeros, 5ull << 30);
    std::vector<std::string> manyTagged;
    for (int round = 0; round < 5; ++round)
        manyTagged.insert(manyTagged.end(), scanTree.begin(), scanTree.end());
    const amf::amf_object scan = scanArg(music / "tree", 1000000);
    const amf::amf_object tags = listArg(manyTagged, 1000000);
    const amf::amf_object hash = listArg(longOnes, 1000000);
    const amf::amf_object prints = listArg(longOnes, 0, true);
    const amf::amf_object scanZeros = scanArg(music / "zeros", 1);
    const amf::amf_object tagsOfZeros = listArg({zeros});
    // Huge titles: seconds of copying no stop could interrupt.
    const amf::amf_object tagsOfHuge = listArg(linkTree(music / "huge", 3, {"huge.mp3"}, true), 1);
    const amf::amf_object scanHuge = scanArg(music / "huge", 1);
    const amf::amf_object bigTags = listArg(linkTree(music / "big", 100, {"big.mp3"}, true), 1);
    enum Host { Sleeps, ReadsNothing, Closes };
    const struct {
        const char* cmd;
        Arg arg;
        int signal;  // 0: "QUIT"
        Host host;
    } jobs[] = {{"scanDirectory", &scan, 0, Sleeps},
                {"extractMetadataFromFiles", &tags, 0, Sleeps},
                {"audioHash", &hash, 0, Sleeps},
                {"fingerprints", &prints, 0, Sleeps},
                {"convertToWav", &convert, 0, Sleeps},
                {"convertToWav", &convert, SIGTERM, Sleeps},
                {"convertToWav", &convert, SIGINT, Sleeps},
                {"convertToWav", &convert, SIGHUP, Sleeps},
                {"scanDirectory", &scanZeros, 0, Sleeps},
                {"extractMetadataFromFiles", &tagsOfZeros, 0, Sleeps},
                {"scanDirectory", &scanHuge, 0, Sleeps},
                {"extractMetadataFromFiles", &tagsOfHuge, 0, Sleeps},
                {"extractMetadataFromFiles", &bigTags, 0, ReadsNothing},
                {"extractMetadataFromFiles", &bigTags, SIGTERM, ReadsNothing},
                {"extractMetadataFromFiles", &bigTags, 0, Closes}};
    auto converting = [&] {
        for (fs::directory_iterator it(convertDir), end; it != end; ++it)
            if (it->path().filename().string().rfind(".ostra-wav-", 0) == 0) return true;
        return false;
    };
    for (const auto& job : jobs) {
        SCOPED_TRACE(std::string(job.cmd) + " " + std::to_string(job.signal) + " " +
                     std::to_string(job.host));
        TestHost host;
        host.startHelper();
        const long idle = idlePeak(host);
        host.send(job.cmd, 1, job.arg);
        if (job.host == Closes) {
            ASSERT_TRUE(host.readResponse(std::chrono::seconds(60 * kSlowdown)));
            host.closeConnection();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (job.arg == &convert && !converting() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ASSERT_TRUE(job.arg != &convert || converting()) << "no conversion under way";
        // Until the peak stops growing: the helper waits for the host, or it
        // has queued every response.
        for (long peak = -1, i = 0; job.host != Sleeps && i < 240 * kSlowdown; ++i) {
            const long now = procStatusKib(host.helper().pid(), "VmHWM");
            if (now == peak) break;
            peak = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
        }
        if (job.host != Sleeps) expectPeakRiseBelow(host, idle, 256);
        ASSERT_TRUE(host.helper().running());
        stopHelper(host.helper(), job.signal);
        expectOnlyCompleteWavFiles(convertDir);
    }
}

// An ID3v2.4 tag whose "CHAP" frames nest `depth` deep.
std::string nestedChapters(std::uint32_t depth) {
    std::string frames;
    for (std::uint32_t level = depth; level > 0; --level)  // bodies of 31, 59, 87 ... bytes
        frames += "CHAP" + media::synchsafe(3 + 28 * level) + std::string(2, '\0') + "c" +
                  std::string(17, '\0');
    frames += "TIT2" + media::synchsafe(3) + std::string(2, '\0') + "\x03in";
    return "ID3\x04" + std::string(2, '\0') + media::synchsafe(frames.size()) + frames;
}

// Crafted files of every format through every file command: each command
// finishes, the helper keeps serving, and only complete WAV files are added.
TEST(Faults, HostileFilesThroughEveryCommand) {
    TempDir hostile;
    std::mt19937 random(42);
    auto randomBytes = [&](std::size_t n) {
        std::string s(n, '\0');
        for (char& c : s) c = static_cast<char>(random());
        return s;
    };
    for (const std::string ext : {"mp3", "m4a", "flac", "ogg", "wav", "aiff", "wma"}) {
        writeFile(hostile / ("random." + ext), randomBytes(5000));
        writeFile(hostile / ("empty." + ext), "");
        const std::string real =
            readFile(source(ext == "m4a" || ext == "flac" ? "tone." + ext : "tone.mp3"));
        writeFile(hostile / ("truncated." + ext), real.substr(0, real.size() / 3));
        writeFile(hostile / ("headonly." + ext), real.substr(0, 64));
    }
    const std::string ftyp = media::be32(16) + "ftypM4A " + media::be32(0);
    // Gigantic declared sizes.
    writeFile(hostile / "huge_id3.mp3",
              "ID3\x04" + std::string(2, '\0') + media::be32(0x7f7f7f7f) + randomBytes(2000));
    writeFile(hostile / "huge_mdat.m4a", ftyp + media::be32(1) + "mdat" + media::be32(0x7fffffff) +
                                             media::be32(0xffffffff) + randomBytes(2000));
    writeFile(hostile / "huge_moov.m4a",
              ftyp + media::be32(0xfffffff0) + "moov" + randomBytes(2000));
    writeFile(hostile / "huge_data.wav",
              "RIFF" + media::le32(0xffffffff) + "WAVEfmt " + media::le32(16) +
                  std::string("\x01\0\x02\0\x44\xac\0\0\x10\xb1\x02\0\x04\0\x10\0", 16) + "data" +
                  media::le32(0xffffffff) + randomBytes(1000));
    writeFile(hostile / "huge_header.flac", "fLaC" + media::be32(0xffffff) + randomBytes(3000));
    // Chapter frames nested 100,000 deep: parsed by recursion, they overflowed
    // a worker's stack.
    writeFile(hostile / "nested_chapters.mp3",
              nestedChapters(100000) + readFile(source("tone.mp3")));

    std::vector<std::string> paths;
    std::set<std::string> before;
    for (fs::directory_iterator it(hostile.path()), end; it != end; ++it) {
        paths.push_back(it->path().string());
        before.insert(it->path().filename().string());
    }
    TestHost host;
    host.startHelper();
    const amf::amf_object scan = scanArg(hostile.path(), 5);
    const amf::amf_object list = listArg(paths, 5);
    const amf::amf_object prints = listArg(paths, 0, true);
    for (const auto& call :
         std::vector<std::pair<const char*, Arg>>{{"scanDirectory", &scan},
                                                  {"extractMetadataFromFiles", &list},
                                                  {"audioHash", &list},
                                                  {"fingerprints", &prints},
                                                  {"convertToWav", &list}}) {
        SCOPED_TRACE(call.first);
        std::vector<Value> responses =
            host.call(call.first, call.second, std::chrono::seconds(120));
        ASSERT_FALSE(responses.empty());
        EXPECT_TRUE(isDone(responses.back()));
    }
    EXPECT_EQ(host.call("version").size(), 1u);
    expectOnlyCompleteWavFiles(hostile.path(), before);
    EXPECT_EQ(host.quit(), 0);
}

// Standard output (a line per fingerprint error) into a pipe the host never
// reads, or has closed: requests still finish and "QUIT" still ends the
// helper. A full pipe held the worker writing to it for good, and a closed
// one ended the helper with SIGPIPE.
TEST(Faults, OutputTheHostNeitherDrainsNorKeepsStallsNothing) {
    TempDir dir;
    const std::string notAudio = dir / "not_audio.mp3";
    writeFile(notAudio, std::string(4096, 'x'));
    writeFile(dir / "not_a_folder", "");
    // Some 150 bytes of error record per file: far more than a pipe holds.
    const amf::amf_object prints = listArg(std::vector<std::string>(1000, notAudio), 0, true);
    // "full from the start": the host filled the pipe before the start, and
    // the file cache cannot be made, which is reported from the first file's
    // reader. A terminal nobody reads polls writable with less room than a
    // record needs.
    enum Kind { NeverRead, Closed, FullFromTheStart, Terminal };
    const std::pair<const char*, Kind> rows[] = {{"never read", NeverRead},
                                                 {"closed", Closed},
                                                 {"full from the start", FullFromTheStart},
                                                 {"a terminal nobody reads", Terminal}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first);
        std::string output = dir / ("out" + std::to_string(row.second));
        int reader = -1;
        if (row.second == Terminal) {
            reader = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(reader, 0);
            ASSERT_EQ(grantpt(reader) | unlockpt(reader), 0);
            output = ptsname(reader);
        } else {
            ASSERT_EQ(mkfifo(output.c_str(), 0600), 0);
            reader = open(output.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(reader, 0);
        }
        if (row.second == FullFromTheStart) {
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
        if (row.second == Closed) close(reader);
        const std::vector<Value> responses =
            host.call("fingerprints", &prints, std::chrono::seconds(60 * kSlowdown));
        ASSERT_FALSE(responses.empty());
        EXPECT_TRUE(isDone(responses.back()));
        EXPECT_EQ(host.call("deviceId").size(), 1u);
        helper.writeStdin("QUIT\n");
        EXPECT_EQ(helper.wait(kStopDeadline), 0);
        if (row.second != Closed) close(reader);
    }
}

// C calls take a NUL byte for the end of a path: "x.wav\0.mp3" passed the
// ".wav sources are skipped" rule and then rewrote x.wav in place; tags,
// hashes and fingerprints of x.wav came back under the other name. Such a
// path is invalid for every command: its per-item error, nothing opened.
TEST(Faults, APathHoldingANulByteIsInvalidForEveryCommand) {
    TempDir dir;
    const std::string wav = dir / "x.wav";
    ASSERT_EQ(0, run("ffmpeg -nostdin -v error -y -f lavfi -i sine=duration=2 -c:a pcm_f32le " +
                     media::quote(wav)));
    const std::string checksum = media::sha1OfFile(wav);
    const std::string nul = wav + std::string("\0.mp3", 5);
    const amf::amf_object list = listArg({nul});
    const amf::amf_object prints = listArg({nul}, 0, true);
    const amf::amf_object scan = scanArg(dir.path() + std::string("\0/other", 7), 10);
    const struct {
        const char* cmd;
        Arg arg;
        std::size_t responses;
        std::vector<std::string> texts;  // each in the responses' data
    } rows[] = {
        {"convertToWav", &list, 1, {"\"filesConverted\": 0", "\"filesSkipped\": 1"}},
        {"audioHash", &list, 2, {"\"error: couldn't get hash for file\"", "\"count\": 0"}},
        {"extractMetadataFromFiles", &list, 1, {"\"count\": 0"}},
        {"fingerprints",
         &prints,
         2,
         {"\"error\": \"file path was not valid\"", "\"path\": \"" + nul + "\"", "\"count\": 0"}},
        {"scanDirectory",
         &scan,
         1,
         {"\"error\": \"Problem occurred during file system scanning.\""}},
    };
    TestHost host;
    host.startHelper();
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cmd);
        const std::vector<Value> responses = host.call(row.cmd, row.arg, std::chrono::seconds(60));
        ASSERT_EQ(row.responses, responses.size());
        EXPECT_TRUE(isDone(responses.back()));
        std::string data;
        for (const Value& response : responses)
            if (Arg d = prop(response, "data")) data += d->to_string();
        for (const std::string& text : row.texts) {
            EXPECT_NE(data.find(text), std::string::npos) << data;
        }
        // x.wav untouched, and nothing written beside it.
        EXPECT_EQ(checksum, media::sha1OfFile(wav));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
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
        if (fd_ >= 0 && ::fanotify_mark(fd_, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, file.c_str())) {
            ::close(fd_);
            fd_ = -1;
        }
        if (fd_ >= 0) thread_ = std::thread([this] { answer(); });
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
        for (bool swapped = false; !stop_;) {
            pollfd poll = {fd_, POLLIN, 0};
            alignas(fanotify_event_metadata) char buffer[4096];
            const ssize_t n = ::poll(&poll, 1, 50) > 0 ? ::read(fd_, buffer, sizeof buffer) : 0;
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (ssize_t left = n; n > 0 && FAN_EVENT_OK(event, left);
                 event = FAN_EVENT_NEXT(event, left)) {
                const std::string next = link_ + ".next";
                if (!swapped && ::symlink(to_.c_str(), next.c_str()) == 0)
                    ::rename(next.c_str(), link_.c_str());
                swapped = true;
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

// A file checked with stat and then opened by name again (MP3 audio named
// .flac was opened once for the tags and once as FLAC) may be a FIFO by the
// later open, which blocked a worker for good, and "QUIT" with it. The file
// is reached through a directory link swapped, on its first open, to a
// folder holding a FIFO of the same name.
TEST(Faults, AFileSwappedForAFifoAfterItsCheckBlocksNeitherAWorkerNorQuit) {
    TempDir dir;
    for (const char* folder : {"real", "fifo", "links"}) fs::create_directories(dir / folder);
    const std::string real = dir / "real/x.flac";
    fs::copy_file(source("tone.mp3"), real);
    ASSERT_EQ(0, ::mkfifo((dir / "fifo/x.flac").c_str(), 0600));
    ASSERT_EQ(0, ::symlink("t/x.flac", (dir / "links/song.flac").c_str()));
    const amf::amf_object tags = listArg({dir / "links/song.flac"});
    const amf::amf_object scan = scanArg(dir / "links", 10);
    for (const auto& call : std::vector<std::pair<const char*, Arg>>{
             {"extractMetadataFromFiles", &tags}, {"scanDirectory", &scan}}) {
        SCOPED_TRACE(call.first);
        ::unlink((dir / "links/t").c_str());
        ASSERT_EQ(0, ::symlink((dir / "real").c_str(), (dir / "links/t").c_str()));
        SwapLinkOnFirstOpen swapper(real, dir / "links/t", dir / "fifo");
        if (!swapper.armed()) GTEST_SKIP() << "no fanotify permission events here";
        TestHost host;
        host.startHelper();
        const std::vector<Value> responses =
            host.call(call.first, call.second, std::chrono::seconds(20 * kSlowdown));
        EXPECT_TRUE(!responses.empty() && isDone(responses.back())) << "no final answer";
        host.helper().writeStdin("QUIT\n");
        EXPECT_EQ(host.helper().wait(kStopDeadline), 0);
    }
}

// AMF0 bytes of a strict array of `count` copies of `element`.
std::string strictArrayOf(std::size_t count, const std::string& element) {
    std::string out = "\x0A" + media::be32(static_cast<std::uint32_t>(count));
    out.reserve(out.size() + count * element.size());
    for (std::size_t i = 0; i < count; ++i) out += element;
    return out;
}

// A request envelope around raw "arg" bytes, padded with a trailing string
// entry so that the frame body is exactly `frameBytes` long.
std::string requestFrame(const std::string& cmd, double id, const std::string& arg,
                         std::size_t frameBytes) {
    const std::string entries = std::string("\0\x03", 2) + "arg" + arg + std::string("\0\x03", 2) +
                                "cmd" + encodeValue(amf::amf_string(cmd)) +
                                std::string("\0\x02", 2) + "id" + encodeValue(amf::amf_numeric(id));
    const std::size_t text = frameBytes - (1 + entries.size() + 2 + 3 + 5 + 3);
    return frameOfBody("\x03" + entries + std::string("\0\x03", 2) + "pad\x0C" +
                       media::be32(static_cast<std::uint32_t>(text)) + std::string(text, 'p') +
                       std::string("\0\0\x09", 3));
}

// The host may send frames up to 64 MiB of any shape. The most fragmented
// ones decode to the most values per byte: a 16 MiB frame of each must cost
// less than 256 MiB. Large requests queued behind a busy serialised command
// wait in the budget, not decoded: six 8 MiB frames cost less than 512 MiB.
TEST(Faults, LargeRequestsStayWithinTheBudget) {
    const std::size_t room = 16 * kMiB - 64;
    std::string keys(1, '\x03');  // distinct four-byte keys, each holding null
    for (std::uint32_t i = 0; keys.size() + 7 + 3 <= room; ++i)
        keys += std::string("\0\x04", 2) + media::be32(i) + '\x05';
    keys += std::string("\0\0\x09", 3);
    TempDir music;
    const amf::amf_object busy = listArg(linkTree(music.path(), 25, {"big.mp3"}, true), 1);
    const struct {
        const char* name;
        const char* cmd;
        std::string arg;
        int frames;
        std::size_t frameBytes;
        long mib;
    } rows[] = {
        {"nulls", "version", strictArrayOf(room - 5, "\x05"), 1, 16 * kMiB, 256},
        {"distinct short keys", "version", keys, 1, 16 * kMiB, 256},
        {"one-element arrays", "version",
         strictArrayOf((room - 5) / 6, std::string("\x0A\0\0\0\x01\x05", 6)), 1, 16 * kMiB, 256},
        {"behind a busy command", "extractMetadataFromFiles",
         std::string("\x03\0\x09", 3) + "filePaths" + strictArrayOf(8 * kMiB - 128, "\x05") +
             std::string("\0\0\x09", 3),
         6, 8 * kMiB, 512}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TestHost host;
        host.startHelper();
        const long idle = idlePeak(host);
        const int answers = row.frames > 1 ? row.frames + 1 : row.frames;
        std::atomic<int> done{0};
        std::thread reader([&] {
            for (Value r;
                 done < answers && (r = host.readResponse(std::chrono::seconds(120 * kSlowdown)));)
                if (isDone(r)) ++done;
        });
        if (row.frames > 1) host.send("extractMetadataFromFiles", 1, &busy);
        for (int i = 0; i < row.frames; ++i)
            host.sendRaw(requestFrame(row.cmd, 2 + i, row.arg, row.frameBytes));
        reader.join();
        EXPECT_EQ(done.load(), answers);
        expectPeakRiseBelow(host, idle, row.mib);
        EXPECT_EQ(host.quit(), 0);
    }
}

// Records of several MiB close a batch by its bytes long before its batch
// size, and a record too large for any frame is replaced by the command's
// per-item outcome: no frame ever passes the bound.
TEST(Faults, BatchesCloseAtTheirByteBoundAndNoFrameIsTooLong) {
    TempDir music;
    std::vector<std::string> paths;
    for (int i = 0; i < 10; ++i) {
        // Titles differ early, so the scan keeps every song; the last one is
        // past the 64 MiB frame bound.
        const std::string name = "song" + std::to_string(i) + ".mp3";
        paths.push_back(music / name);
        fs::create_hard_link(i < 9 ? retitled(name, std::to_string(i), 'T', 4 * kMiB)
                                   : retitled(name, "", 'H', 65 * kMiB),
                             paths.back());
    }
    TestHost host;
    host.startHelper();
    const amf::amf_object extract = listArg(paths, 100);
    const amf::amf_object scan = scanArg(music.path(), 100);
    const struct {
        const char* cmd;
        Arg arg;
        std::size_t records;  // records in the batches, the report included
    } calls[] = {{"extractMetadataFromFiles", &extract, 9}, {"scanDirectory", &scan, 11}};
    for (const auto& call : calls) {
        SCOPED_TRACE(call.cmd);
        host.send(call.cmd, 1, call.arg);
        std::size_t records = 0, bodies = 0;
        bool hugeSeen = false;
        for (std::string body; host.readFrame(body, std::chrono::seconds(120 * kSlowdown));) {
            ++bodies;
            // A batch closes once it reaches 16 MiB: at most that plus one song.
            EXPECT_LE(body.size(), 16 * kMiB + 4 * kMiB + 4096);
            const auto* p = reinterpret_cast<const unsigned char*>(body.data());
            Value response(amf::decode(p, p + body.size()));
            ASSERT_TRUE(response);
            for (const amf::amf0_data_type* entry : items(prop(response, "data"))) {
                ++records;
                if (str(prop(entry, "path")) != paths.back()) continue;
                hugeSeen = true;
                EXPECT_EQ(prop(entry, "title"), nullptr);
            }
            if (isDone(response)) break;
        }
        EXPECT_GE(bodies, 3u) << "batches did not close by their bytes";
        EXPECT_EQ(records, call.records);
        // Tags that cannot be sent: left out by the extraction, sent without
        // them by the scan.
        EXPECT_EQ(hugeSeen, std::string(call.cmd) == "scanDirectory");
    }
    EXPECT_EQ(host.quit(), 0);
}

// Inputs refused cheaply by each command alike. Files whose one title is
// 64 MiB count as unreadable before TagLib parses them. Gigabytes without a
// frame to decode (sparse zeros, a download that stopped after its first
// second) are cut short instead of read whole while FFmpeg's parser keeps
// every byte; the audio before the run is kept.
TEST(Faults, HugeInputsAreRefusedCheaply) {
    TempDir music;
    const amf::amf_object extract = listArg(linkTree(music / "huge", 3, {"huge.mp3"}, true), 1);
    const amf::amf_object scan = scanArg(music / "huge", 1);
    const std::string zeros = music / "zeros.mp3";
    const std::string tail = music / "tail.mp3";
    writeFile(zeros, "");
    fs::copy_file(source("tone.mp3"), tail);
    for (const std::string& path : {zeros, tail}) fs::resize_file(path, 5ull << 30);
    const amf::amf_object convert = listArg({zeros, tail});
    const amf::amf_object prints = listArg({zeros, tail}, 0, true);
    const struct {
        const char* cmd;
        Arg arg;
        int records;  // songs sent without tags; -1: not a tag command
        long mib;
    } rows[] = {{"extractMetadataFromFiles", &extract, 0, 512},
                {"scanDirectory", &scan, 3, 512},
                {"convertToWav", &convert, -1, 256},
                {"fingerprints", &prints, -1, 256}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cmd);
        TestHost host;
        host.startHelper();
        const long idle = idlePeak(host);
        const std::vector<Value> responses =
            host.call(row.cmd, row.arg, std::chrono::seconds(60 * kSlowdown));
        ASSERT_FALSE(responses.empty());
        ASSERT_TRUE(isDone(responses.back())) << "no answer in 60 s";
        int records = 0;
        for (const Value& response : responses) {
            for (const amf::amf0_data_type* entry : items(prop(response, "data"))) {
                if (prop(entry, "path") == nullptr) continue;  // the scan's report
                ++records;
                EXPECT_EQ(prop(entry, "title"), nullptr);
            }
        }
        if (row.records >= 0) {
            EXPECT_EQ(records, row.records);
        }
        if (row.arg == &convert) {
            EXPECT_EQ(num(prop(prop(responses.back(), "data"), "filesConverted")), 1);
            EXPECT_TRUE(fs::exists(music / "tail.wav"));
        }
        expectPeakRiseBelow(host, idle, row.mib);
        EXPECT_EQ(host.quit(), 0);
    }
}

}  // namespace

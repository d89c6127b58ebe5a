// A hostile host and hostile files against the real helper binary.
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
// Memory is measured in the plain build only.
constexpr bool kMeasuresMemory = false;
#else
constexpr int kSlowdown = 1;
constexpr bool kMeasuresMemory = true;
#endif

constexpr std::size_t kMiB = 1024 * 1024;
// A generous liveness bound for the promise to stop within 2 s.
const std::chrono::seconds kStopDeadline(10 * kSlowdown);

std::string source(const std::string& name);

// tone.mp3 titled `prefix` and `count` copies of `fill` (too long for a command line).
std::string retitled(const std::string& name, const std::string& prefix, char fill,
                     std::size_t count) {
    return media::make(
        name, "{ printf ';FFMETADATA1\\ntitle=" + prefix + "'; head -c " + std::to_string(count) +
                  " /dev/zero | tr '\\0' " + fill +
                  "; printf '\\nartist=Fault Band\\n'; } > \"$OUT.txt\" && "
                  "ffmpeg -nostdin -v error -y -i " +
                  media::quote(source("tone.mp3")) +
                  " -i \"$OUT.txt\" -map_metadata 1 -c copy \"$OUT\" && rm \"$OUT.txt\"");
}

// Tones of 2 s ("long.mp3": 120 s) and MP3s titled 4 MiB or 64 MiB (TagLib held
// that as wide characters, copied again by the record: a GiB per file worker).
std::string source(const std::string& name) {
    if (name == "big.mp3" || name == "huge.mp3")
        return retitled(name, "", name[0] == 'b' ? 'T' : 'H', (name[0] == 'b' ? 4 : 64) * kMiB);
    return media::ffmpeg(name, "-f lavfi -i sine=frequency=330:duration=" +
                                   std::string(name[0] == 'l' ? "120" : "2") +
                                   " -ac 2 -metadata title=Tone -metadata artist='Fault Band'");
}

// count hard links to the sources under dir, in sub-folders of 100 unless flat.
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

// The WAV files in dir are complete, and no temporary file is left.
void expectOnlyCompleteWavFiles(const std::string& dir) {
    for (fs::directory_iterator it(dir), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        EXPECT_NE(name.rfind(".ostra-wav-", 0), 0u) << name;
        if (it->path().extension() != ".wav") continue;
        const std::string bytes = readFile(it->path().string());
        ASSERT_GE(bytes.size(), 44u) << name;
        EXPECT_EQ(media::le32(static_cast<std::uint32_t>(bytes.size() - 8)), bytes.substr(4, 4));
    }
}

// The peak resident size once the helper is up and has answered.
long idlePeak(TestHost& host) {
    EXPECT_EQ(host.call("version").size(), 1u);
    return procStatusKib(host.helper().pid(), "VmHWM");
}

void expectPeakRiseBelow(TestHost& host, long idle, long mib) {
    if (kMeasuresMemory) {
        EXPECT_LT(procStatusKib(host.helper().pid(), "VmHWM") - idle, mib * 1024);
    }
}

// Requests among a thousand malformed frames, served at once by file
// workers and by the connection: each is answered, and answered once.
TEST(Faults, MalformedFramesAmongConcurrentRequests) {
    TempDir music;
    const std::vector<std::string> files = linkTree(music.path(), 300, {"tone.mp3", "tone.m4a"});
    const amf::amf_object scan = scanArg(music.path(), 50);
    const amf::amf_object list = listArg(files, 40);
    const std::vector<std::pair<const char*, Arg>> kinds = {
        {"scanDirectory", &scan}, {"audioHash", &list}, {"echo", &scan}, {"version", nullptr}};
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
        if (i % 20 != 19) continue;
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

// "QUIT" or a stop signal during long work of every kind, the host reading
// nothing, ends the helper promptly and cleanly, no partial WAV left; the
// helper waits for such a host without queueing, and outlives one that closes.
TEST(Faults, StopsDuringLongWorkOfEveryKindArePrompt) {
    TempDir music;
    // Enough work for each command to outlast the test many times over.
    const std::vector<std::string> scanTree = linkTree(music / "tree", 4000, {"tone.mp3"});
    const std::vector<std::string> longOnes = linkTree(music / "long", 400, {"long.mp3"});
    const std::string convertDir = music / "convert";
    const amf::amf_object convert = listArg(linkTree(convertDir, 200, {"long.mp3"}, true));
    // TagLib reads frameless bytes to the end: minutes for 5 GB of (sparse) zeros.
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
        // Until the peak holds for a second: waiting for the host, or all queued.
        for (long peak = -1, same = 0, i = 0; job.host != Sleeps && same < 2 && i < 240; ++i) {
            const long now = procStatusKib(host.helper().pid(), "VmHWM");
            same = now == peak ? same + 1 : 0;
            peak = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
        }
        if (job.host != Sleeps) expectPeakRiseBelow(host, idle, 256);
        ASSERT_TRUE(host.helper().running());
        if (job.signal == 0)
            host.helper().writeStdin("QUIT\n");
        else
            kill(host.helper().pid(), job.signal);
        EXPECT_EQ(host.helper().wait(kStopDeadline), 0);
        EXPECT_NE(host.helper().out().find("Exiting.\n"), std::string::npos);
        expectOnlyCompleteWavFiles(convertDir);
    }
}

// Standard output into a pipe the host never reads, has closed or filled, or
// a terminal: requests finish, "QUIT" ends the helper (a full pipe held a
// worker for good; a closed one raised SIGPIPE).
TEST(Faults, OutputTheHostNeitherDrainsNorKeepsStallsNothing) {
    TempDir dir;
    const std::string notAudio = dir / "not_audio.mp3";
    writeFile(notAudio, std::string(4096, 'x'));
    writeFile(dir / "not_a_folder", "");
    // Some 150 bytes of error record per file: far more than a pipe holds.
    const amf::amf_object prints = listArg(std::vector<std::string>(1000, notAudio), 0, true);
    // The file cache cannot be made either, which is reported from a worker.
    enum Kind { NeverRead, Closed, FullFromTheStart, Terminal };
    for (const Kind kind : {NeverRead, Closed, FullFromTheStart, Terminal}) {
        SCOPED_TRACE(kind);
        std::string output = dir / ("out" + std::to_string(kind));
        int reader = -1;
        if (kind == Terminal) {
            reader = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
            ASSERT_GE(reader, 0);
            ASSERT_EQ(grantpt(reader) | unlockpt(reader), 0);
            output = ptsname(reader);
        } else {
            ASSERT_EQ(mkfifo(output.c_str(), 0600), 0);
            reader = open(output.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
            ASSERT_GE(reader, 0);
        }
        if (kind == FullFromTheStart) {
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
        if (kind == Closed) close(reader);
        const std::vector<Value> responses =
            host.call("fingerprints", &prints, std::chrono::seconds(60 * kSlowdown));
        ASSERT_FALSE(responses.empty());
        EXPECT_TRUE(isDone(responses.back()));
        EXPECT_EQ(host.call("deviceId").size(), 1u);
        helper.writeStdin("QUIT\n");
        EXPECT_EQ(helper.wait(kStopDeadline), 0);
        if (kind != Closed) close(reader);
    }
}

// A path holding a NUL byte ("x.wav\0.mp3" rewrote x.wav in place) is invalid
// for every command: its per-item error, nothing opened.
TEST(Faults, APathHoldingANulByteIsInvalidForEveryCommand) {
    TempDir dir;
    const std::string wav = dir / "x.wav";
    ASSERT_EQ(0, run("ffmpeg -nostdin -v error -y -f lavfi -i sine=duration=2 -c:a pcm_f32le " +
                     media::quote(wav)));
    const std::string checksum = media::sha1OfFile(wav);
    const std::string nul = wav + std::string("\0.mp3", 5);
    const amf::amf_object list = listArg({nul});
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

// A file checked and then opened by name again (MP3 named .flac was opened
// twice) may be a FIFO by then, which blocked a worker for good, and "QUIT"
// with it. On the file's first open, fanotify permission events (root) swap
// the directory link it is reached through to a folder with a FIFO of its name.
TEST(Faults, AFileSwappedForAFifoAfterItsCheckBlocksNeitherAWorkerNorQuit) {
    TempDir dir;
    for (const char* folder : {"real", "fifo", "links"}) fs::create_directories(dir / folder);
    const std::string real = dir / "real/x.flac", link = dir / "links/t";
    fs::copy_file(source("tone.mp3"), real);
    ASSERT_EQ(0, ::mkfifo((dir / "fifo/x.flac").c_str(), 0600));
    ASSERT_EQ(0, ::symlink("t/x.flac", (dir / "links/song.flac").c_str()));
    const int group = ::fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY);
    if (group < 0 || ::fanotify_mark(group, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, real.c_str()))
        GTEST_SKIP() << "no fanotify permission events here";
    std::atomic<bool> swap{false}, stop{false};
    std::thread answering([&] {
        alignas(fanotify_event_metadata) char buffer[4096];
        for (pollfd poll = {group, POLLIN, 0}; !stop;) {
            const ssize_t n = ::poll(&poll, 1, 50) > 0 ? ::read(group, buffer, sizeof buffer) : 0;
            auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
            for (ssize_t left = n; n > 0 && FAN_EVENT_OK(event, left);
                 event = FAN_EVENT_NEXT(event, left)) {
                if (swap.exchange(false) &&
                    !::symlink((dir / "fifo").c_str(), (link + "2").c_str()))
                    ::rename((link + "2").c_str(), link.c_str());
                const fanotify_response allow = {event->fd, FAN_ALLOW};
                if (::write(group, &allow, sizeof allow) < 0) ADD_FAILURE() << "fanotify answer";
                ::close(event->fd);
            }
        }
    });
    const amf::amf_object tags = listArg({dir / "links/song.flac"});
    const amf::amf_object scan = scanArg(dir / "links", 10);
    for (const auto& call : std::vector<std::pair<const char*, Arg>>{
             {"extractMetadataFromFiles", &tags}, {"scanDirectory", &scan}}) {
        SCOPED_TRACE(call.first);
        ::unlink(link.c_str());
        EXPECT_EQ(0, ::symlink((dir / "real").c_str(), link.c_str()));
        swap = true;
        TestHost host;
        host.startHelper();
        const std::vector<Value> responses =
            host.call(call.first, call.second, std::chrono::seconds(20 * kSlowdown));
        EXPECT_TRUE(!responses.empty() && isDone(responses.back())) << "no final answer";
        host.helper().writeStdin("QUIT\n");
        EXPECT_EQ(host.helper().wait(kStopDeadline), 0);
    }
    stop = true;
    answering.join();
    ::close(group);  // lets any open still waiting go on
}

// AMF0 bytes of a strict array of `count` copies of `element`.
std::string strictArrayOf(std::size_t count, const std::string& element) {
    std::string out = "\x0A" + media::be32(static_cast<std::uint32_t>(count));
    out.reserve(out.size() + count * element.size());
    for (std::size_t i = 0; i < count; ++i) out += element;
    return out;
}

// A request around raw "arg" bytes, padded to a frame body of `frameBytes`.
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

// Frames of the most fragmented shapes decode within a few times their size;
// large requests queued behind a busy command wait undecoded in the budget.
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

// Batches close by their bytes, and a record too large for any frame is sent
// without its tags (scan) or left out (extraction): no frame is too long.
TEST(Faults, BatchesCloseAtTheirByteBoundAndNoFrameIsTooLong) {
    TempDir music;
    std::vector<std::string> paths;
    for (int i = 0; i < 10; ++i) {
        // Titles differ early, so the scan keeps every song; the last is too large.
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
        EXPECT_EQ(hugeSeen, std::string(call.cmd) == "scanDirectory");
    }
    EXPECT_EQ(host.quit(), 0);
}

// Gigabytes without a frame (sparse zeros after a second of audio) are cut
// short instead of read whole, FFmpeg's parser keeping every byte; the audio
// before the run is kept.
TEST(Faults, GigabytesWithoutFramesAreCutShort) {
    TempDir music;
    const std::string zeros = music / "zeros.mp3";
    const std::string tail = music / "tail.mp3";
    writeFile(zeros, "");
    fs::copy_file(source("tone.mp3"), tail);
    for (const std::string& path : {zeros, tail}) fs::resize_file(path, 5ull << 30);
    const amf::amf_object convert = listArg({zeros, tail});
    const amf::amf_object prints = listArg({zeros, tail}, 0, true);
    for (const auto& call : std::vector<std::pair<const char*, Arg>>{{"convertToWav", &convert},
                                                                     {"fingerprints", &prints}}) {
        SCOPED_TRACE(call.first);
        TestHost host;
        host.startHelper();
        const long idle = idlePeak(host);
        const auto responses =
            host.call(call.first, call.second, std::chrono::seconds(60 * kSlowdown));
        ASSERT_FALSE(responses.empty());
        ASSERT_TRUE(isDone(responses.back())) << "no answer in 60 s";
        expectPeakRiseBelow(host, idle, 256);
        EXPECT_EQ(host.quit(), 0);
    }
    EXPECT_TRUE(fs::exists(music / "tail.wav"));
}

}  // namespace

// "convertToWav" through the real helper binary and a test host on loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <set>
#include <thread>

#include "AudioFixtures.h"
#include "support/TestHost.h"

namespace {

namespace fs = boost::filesystem;
using namespace testsupport;
using audiotest::ffmpegS16;
using audiotest::fixturePath;

struct Counts {
    double converted = -1;
    double skipped = -1;
};

Counts countsOf(const std::vector<Value>& responses) {
    Counts c;
    if (responses.size() != 1 || !isDone(responses[0])) return c;
    const amf::amf0_data_type* data = prop(responses[0], "data");
    c.converted = num(prop(data, "filesConverted"));
    c.skipped = num(prop(data, "filesSkipped"));
    return c;
}

std::string errorOf(const std::vector<Value>& responses) {
    if (responses.size() != 1 || !isDone(responses[0])) return "<no single reply>";
    return str(prop(prop(responses[0], "data"), "error"));
}

amf::amf_object filePaths(const amf::amf0_data_type& list) {
    amf::amf_object arg;
    arg.set_property("filePaths", &list);
    return arg;
}

std::set<std::string> namesIn(const std::string& dir) {
    std::set<std::string> names;
    for (fs::directory_iterator it(dir), end; it != end; ++it)
        names.insert(it->path().filename().string());
    return names;
}

class ConvertToWavE2E : public ::testing::Test {
  protected:
    void SetUp() override { host.startHelper(); }
    void TearDown() override { EXPECT_EQ(0, host.quit()); }
    void copy(const std::string& fixture, const std::string& to) {
        fs::create_directories(fs::path(to).parent_path());
        fs::copy_file(fixturePath(fixture), to, fs::copy_options::overwrite_existing);
    }
    std::vector<Value> convert(const amf::amf0_data_type& list) {
        amf::amf_object arg = filePaths(list);
        return host.call("convertToWav", &arg);
    }
    TestHost host;
    TempDir dir;
};

TEST_F(ConvertToWavE2E, ConvertsEachFormatBesideItsSource) {
    const std::vector<std::pair<std::string, std::string>> sources = {
        {"stereo44.mp3", "a.mp3"},
        {"stereo44.ogg", "b.ogg"},
        {"stereo44.flac", "c.flac"},
        {"stereo44-aac.m4a", "d.m4a"},
        {"stereo44-alac.m4a", "e.m4a"},
        {"stereo44.aac", "f.aac"},
        {"stereo44.aiff", "g.aiff"},
        {"stereo44.aif", "h.aif"},
        {"u8mono22.wav", "renamed-u8.flac"},  // content decides, not the name
        {"mono48.flac", "i.FLAC"}};
    std::vector<std::string> paths;
    for (const auto& s : sources) {
        copy(s.first, dir / s.second);
        paths.push_back(dir / s.second);
    }
    Counts c = countsOf(convert(stringArray(paths)));
    EXPECT_EQ(10, c.converted);
    EXPECT_EQ(0, c.skipped);
    for (const auto& s : sources) {
        SCOPED_TRACE(s.second);
        const std::string wav = dir / (fs::path(s.second).stem().string() + ".wav");
        const std::string file = readFile(wav);
        ASSERT_GT(file.size(), 44u);
        EXPECT_EQ("RIFF", file.substr(0, 4));
        const std::string reference = ffmpegS16(fixturePath(s.first));
        const std::string decoded = ffmpegS16(wav);
        ASSERT_EQ(reference.size(), decoded.size());
        EXPECT_LE(audiotest::maxSampleDifference(reference, decoded), 1);
    }
    // Sources, their WAV files and nothing else: no temporary files remain.
    EXPECT_EQ(20u, namesIn(dir.path()).size());
}

TEST_F(ConvertToWavE2E, NamingAndSkipRules) {
    copy("one-second.mp3", dir / "My.Music/song.ogg");  // dots in a folder name
    copy("one-second.mp3", dir / "My.Music/noext");     // no extension
    copy("one-second.wav", dir / "upper.WAV");
    copy("one-second.wav", dir / "lower.wav");
    const std::string upperBefore = readFile(dir / "upper.WAV");
    amf::amf_ecma_array list =
        stringArray({dir / "My.Music/song.ogg", dir / "My.Music/noext", dir / "upper.WAV",
                     dir / "lower.wav", dir / "missing.mp3", ""});
    amf::amf_numeric number(5);
    list.push_back(&number);
    Counts c = countsOf(convert(list));
    EXPECT_EQ(2, c.converted);
    EXPECT_EQ(5, c.skipped);
    EXPECT_TRUE(audiotest::exists(dir / "My.Music/song.wav"));
    EXPECT_TRUE(audiotest::exists(dir / "My.Music/noext.wav"));
    EXPECT_FALSE(audiotest::exists(dir / "My.wav"));
    EXPECT_EQ(upperBefore, readFile(dir / "upper.WAV"));
    EXPECT_EQ((std::set<std::string>{"My.Music", "upper.WAV", "lower.wav"}), namesIn(dir.path()));
}

TEST_F(ConvertToWavE2E, BadFilesAreSkippedAndTheRestConverted) {
    audiotest::writeFile(dir / "random.mp3", std::string(40000, '\x5a'));
    audiotest::writeFile(dir / "empty.flac", "");
    copy("stereo44.flac", dir / "cut.flac");
    audiotest::writeFile(dir / "cut.flac", readFile(dir / "cut.flac").substr(0, 2000));
    ASSERT_EQ(0, run("ffmpeg -nostdin -v error -f lavfi -i testsrc=d=1:s=64x48 -c:v mpeg4 '" +
                     (dir / "video.m4a") + "'"));
    copy("one-second.mp3", dir / "good.mp3");
    // The destination of this one is a folder: the write fails and is counted.
    copy("one-second.mp3", dir / "blocked.mp3");
    fs::create_directory(dir / "blocked.wav");
    // An older WAV beside a source that fails to decode is left alone.
    audiotest::writeFile(dir / "random.wav", "older");
    amf::amf_ecma_array list =
        stringArray({dir / "random.mp3", dir / "empty.flac", dir / "cut.flac", dir / "video.m4a",
                     dir / "blocked.mp3", dir / "good.mp3"});
    Counts c = countsOf(convert(list));
    EXPECT_EQ(1, c.converted);
    EXPECT_EQ(5, c.skipped);
    EXPECT_TRUE(audiotest::exists(dir / "good.wav"));
    EXPECT_EQ("older", readFile(dir / "random.wav"));
    EXPECT_TRUE(fs::is_directory(dir / "blocked.wav"));
    for (const std::string& name : namesIn(dir.path()))
        EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;
}

TEST_F(ConvertToWavE2E, ParameterErrors) {
    EXPECT_EQ("parameter was not an object", errorOf(host.call("convertToWav")));
    amf::amf_string text("x");
    EXPECT_EQ("parameter was not an object", errorOf(host.call("convertToWav", &text)));
    amf::amf_object empty;
    EXPECT_EQ("filePaths property was not found", errorOf(host.call("convertToWav", &empty)));
    amf::amf_strict_array strict;
    amf::amf_object withStrict = filePaths(strict);
    EXPECT_EQ("filePaths property was not found", errorOf(host.call("convertToWav", &withStrict)));
    Counts c = countsOf(convert(amf::amf_ecma_array()));
    EXPECT_EQ(0, c.converted);
    EXPECT_EQ(0, c.skipped);
}

TEST_F(ConvertToWavE2E, ParallelRequestsEachConvertTheirFiles) {
    copy("long61.mp3", dir / "one/long.mp3");
    copy("long61.flac", dir / "two/long.flac");
    amf::amf_object first = filePaths(stringArray({dir / "one/long.mp3"}));
    amf::amf_object second = filePaths(stringArray({dir / "two/long.flac"}));
    host.send("convertToWav", 101, &first);
    host.send("convertToWav", 102, &second);
    std::set<double> done;
    for (int i = 0; i < 2; ++i) {
        Value response = host.readResponse(std::chrono::seconds(60));
        ASSERT_TRUE(response);
        EXPECT_TRUE(isDone(response));
        EXPECT_EQ(1, num(prop(prop(response, "data"), "filesConverted")));
        done.insert(num(prop(response, "id")));
    }
    EXPECT_EQ((std::set<double>{101, 102}), done);
    EXPECT_EQ(ffmpegS16(fixturePath("long61.flac")), ffmpegS16(dir / "two/long.wav"));
    EXPECT_EQ(ffmpegS16(fixturePath("long61.mp3")).size(), ffmpegS16(dir / "one/long.wav").size());
}

// "QUIT" in the middle of a long request stops both conversion lanes between
// blocks: the helper exits and no temporary or partial file is left behind.
TEST(ConvertToWavShutdown, QuitDuringConversionLeavesNoPartialFiles) {
    TestHost host;
    TempDir dir;
    host.startHelper();
    std::vector<std::string> paths;
    for (int i = 0; i < 6; ++i) {
        const std::string path = dir / ("long" + std::to_string(i) + ".flac");
        fs::copy_file(fixturePath("long61.flac"), path);
        paths.push_back(path);
    }
    amf::amf_object arg = filePaths(stringArray(paths));
    host.send("convertToWav", 1, &arg);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(0, host.quit());
    for (const std::string& name : namesIn(dir.path())) {
        EXPECT_EQ(std::string::npos, name.find(".tmp")) << name;
        if (name.size() > 4 && name.substr(name.size() - 4) == ".wav") {
            // Any WAV present is complete.
            const std::string file = readFile(dir / name);
            EXPECT_EQ(ffmpegS16(fixturePath("long61.flac")).size() + 44, file.size()) << name;
        }
    }
}

// Points `link` at one target and then the other, as fast as it can, until
// destroyed. Each flip replaces the link in one step, so it always exists.
class LinkFlipper {
  public:
    LinkFlipper(const std::string& link, const std::string& a, const std::string& b)
        : m_thread([this, link, a, b] {
              const std::string next = link + ".next";
              for (unsigned i = 0; !m_stop; ++i) {
                  ::unlink(next.c_str());
                  if (::symlink((i % 2 ? a : b).c_str(), next.c_str()) == 0)
                      ::rename(next.c_str(), link.c_str());
              }
          }) {}
    ~LinkFlipper() {
        m_stop = true;
        m_thread.join();
    }

  private:
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

// A name checked as a regular file and then opened again could be a FIFO by
// the time of the open, which would block the worker until a writer came, and
// "QUIT" with it. Here a symbolic link flips between an audio file and a FIFO
// while both decoding commands read it over and over: every request is
// answered, other commands still are, and "QUIT" ends the helper.
TEST(DecoderOpenE2E, ALinkFlippingToAFifoNeverBlocks) {
    TestHost host;
    TempDir dir;
    host.startHelper();
    fs::copy_file(fixturePath("one-second.mp3"), dir / "real.mp3");
    ASSERT_EQ(0, ::mkfifo((dir / "pipe.mp3").c_str(), 0600));
    ASSERT_EQ(0, ::symlink("real.mp3", (dir / "flip.mp3").c_str()));
    LinkFlipper flipper(dir / "flip.mp3", "real.mp3", "pipe.mp3");
    // Rounds of both commands for a few seconds: a check of the name followed
    // by an open of it meets the FIFO at the open within that time.
    const int kTries = 500;
    const std::vector<std::string> paths(kTries, dir / "flip.mp3");
    amf::amf_object convert = filePaths(stringArray(paths));
    amf::amf_object fingerprint = filePaths(stringArray(paths));
    amf::amf_ecma_array types = stringArray({"MICRO"});
    fingerprint.set_property("fingerprintTypes", &types);
    fingerprint.set_numeric_property("batchSize", kTries);
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(4);
    for (double id = 1; std::chrono::steady_clock::now() < end; id += 2) {
        host.send("convertToWav", id, &convert);
        host.send("fingerprints", id + 1, &fingerprint);
        std::set<double> done;
        while (done.size() < 2) {
            Value response = host.readResponse(std::chrono::seconds(20));
            if (!response) break;
            if (!isDone(response)) continue;
            done.insert(num(prop(response, "id")));
            const amf::amf0_data_type* data = prop(response, "data");
            if (num(prop(response, "id")) == id) {
                // Each entry was either the audio file or the FIFO when it was opened.
                EXPECT_EQ(kTries,
                          num(prop(data, "filesConverted")) + num(prop(data, "filesSkipped")));
            }
        }
        ASSERT_EQ((std::set<double>{id, id + 1}), done);
    }
    const std::vector<Value> extensions =
        host.call("getSupportedExtensions", nullptr, std::chrono::seconds(10));
    ASSERT_EQ(1u, extensions.size());
    EXPECT_EQ(8u, items(prop(extensions[0], "data")).size());
    EXPECT_EQ(0, host.quit());
}

TEST(ConvertToWavStartup, HelperStartsWithTheDecoderSystem) {
    HelperProcess helper({helperPath()});
    EXPECT_EQ(0, helper.wait());
    EXPECT_EQ("", helper.out());
}

}  // namespace

// "convertToWav" through the real helper binary and a test host on loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/filesystem.hpp>
#include <chrono>
#include <set>
#include <thread>

#include "AudioFormats.h"
#include "support/TestHost.h"

namespace {

namespace fs = boost::filesystem;
using namespace testsupport;
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

// Good sources are converted beside themselves (the content decides the
// format, not the name); bad ones are skipped and counted, an older WAV beside
// one is left alone, and no temporary file remains.
TEST_F(ConvertToWavE2E, ConvertsGoodFilesAndSkipsBadOnes) {
    const std::pair<const char*, const char*> good[] = {{"stereo44-alac.m4a", "a.m4a"},
                                                        {"u8stereo44.wav", "renamed-u8.flac"},
                                                        {"one-second.mp3", "b.MP3"}};
    for (const auto& source : good) copy(source.first, dir / source.second);
    testsupport::writeFile(dir / "random.mp3", std::string(40000, '\x5a'));
    testsupport::writeFile(dir / "empty.flac", "");
    copy("stereo44.flac", dir / "cut.flac");
    testsupport::writeFile(dir / "cut.flac", readFile(dir / "cut.flac").substr(0, 2000));
    ASSERT_EQ(0, run("ffmpeg -nostdin -v error -f lavfi -i testsrc=d=1:s=64x48 -c:v mpeg4 '" +
                     (dir / "video.m4a") + "'"));
    // The destination of this one is a folder: the write fails and is counted.
    copy("one-second.mp3", dir / "blocked.mp3");
    fs::create_directory(dir / "blocked.wav");
    testsupport::writeFile(dir / "random.wav", "older");
    // Missing files, empty paths and entries that are not strings are skipped too.
    amf::amf_ecma_array list =
        stringArray({dir / "random.mp3", dir / "empty.flac", dir / "cut.flac", dir / "video.m4a",
                     dir / "blocked.mp3", dir / "a.m4a", dir / "renamed-u8.flac", dir / "b.MP3",
                     dir / "missing.mp3", ""});
    amf::amf_numeric number(5);
    list.push_back(&number);
    Counts c = countsOf(convert(list));
    EXPECT_EQ(3, c.converted);
    EXPECT_EQ(8, c.skipped);
    for (const auto& source : good) {
        SCOPED_TRACE(source.second);
        const std::string wav = dir / (fs::path(source.second).stem().string() + ".wav");
        const std::string reference = media::decode(fixturePath(source.first));
        const std::string decoded = media::decode(wav);
        ASSERT_EQ(reference.size(), decoded.size());
        EXPECT_LE(media::maxSampleDifference(reference, decoded), 1);
    }
    EXPECT_EQ("older", readFile(dir / "random.wav"));
    EXPECT_TRUE(fs::is_directory(dir / "blocked.wav"));
    EXPECT_EQ(13u, namesIn(dir.path()).size());
}

TEST_F(ConvertToWavE2E, ParameterErrors) {
    amf::amf_string text("x");
    amf::amf_object empty;
    amf::amf_strict_array strict;
    amf::amf_object withStrict = filePaths(strict);
    const std::pair<const amf::amf0_data_type*, const char*> rows[] = {
        {nullptr, "parameter was not an object"},
        {&text, "parameter was not an object"},
        {&empty, "filePaths property was not found"},
        {&withStrict, "filePaths property was not found"}};
    for (const auto& row : rows)
        EXPECT_EQ(row.second, errorOf(host.call("convertToWav", row.first)));
    Counts c = countsOf(convert(amf::amf_ecma_array()));
    EXPECT_EQ(0, c.converted);
    EXPECT_EQ(0, c.skipped);
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
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
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

}  // namespace

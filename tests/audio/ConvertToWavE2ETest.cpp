// "convertToWav" through the real helper binary and a test host on loopback.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "AudioFormats.h"
#include "support/TestHost.h"

namespace {

namespace fs = boost::filesystem;
using namespace testsupport;
using audiotest::fixturePath;

amf::amf_object filePaths(const amf::amf0_data_type& list) {
    amf::amf_object arg;
    arg.set_property("filePaths", &list);
    return arg;
}

// The "data" of the one, final response (owned by `responses`).
const amf::amf0_data_type* dataOf(const std::vector<Value>& responses) {
    EXPECT_EQ(1u, responses.size());
    EXPECT_TRUE(!responses.empty() && isDone(responses[0]));
    return responses.empty() ? nullptr : prop(responses[0], "data");
}

// Good sources are converted beside themselves (the content decides the
// format, not the name); bad ones are skipped and counted, an older WAV beside
// one is left alone, and no temporary file remains.
TEST(ConvertToWavE2E, ConvertsGoodFilesAndSkipsBadOnes) {
    TempDir dir;
    const std::pair<const char*, const char*> good[] = {{"stereo44-alac.m4a", "a.m4a"},
                                                        {"u8stereo44.wav", "renamed-u8.flac"},
                                                        {"one-second.mp3", "b.MP3"},
                                                        {"one-second.mp3", "blocked.mp3"},
                                                        {"stereo44.flac", "cut.flac"}};
    for (const auto& source : good) fs::copy_file(fixturePath(source.first), dir / source.second);
    writeFile(dir / "cut.flac", readFile(dir / "cut.flac").substr(0, 2000));
    writeFile(dir / "random.mp3", std::string(40000, '\x5a'));
    writeFile(dir / "empty.flac", "");
    // The destination of this one is a folder: the write fails and is counted.
    fs::create_directory(dir / "blocked.wav");
    writeFile(dir / "random.wav", "older");
    // Missing files, empty paths and entries that are not strings are skipped too.
    amf::amf_ecma_array list = stringArray(
        {dir / "random.mp3", dir / "empty.flac", dir / "cut.flac", dir / "blocked.mp3",
         dir / "a.m4a", dir / "renamed-u8.flac", dir / "b.MP3", dir / "missing.mp3", ""});
    amf::amf_numeric number(5);
    list.push_back(&number);
    TestHost host;
    host.startHelper();
    const amf::amf_object arg = filePaths(list);
    const std::vector<Value> responses = host.call("convertToWav", &arg);
    const amf::amf0_data_type* data = dataOf(responses);
    EXPECT_EQ(3, num(prop(data, "filesConverted")));
    EXPECT_EQ(7, num(prop(data, "filesSkipped")));
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(good[i].second);
        const std::string wav = dir / (fs::path(good[i].second).stem().string() + ".wav");
        const std::string reference = media::decode(fixturePath(good[i].first));
        const std::string decoded = media::decode(wav);
        ASSERT_EQ(reference.size(), decoded.size());
        EXPECT_LE(media::maxSampleDifference(reference, decoded), 1);
    }
    EXPECT_EQ("older", readFile(dir / "random.wav"));
    EXPECT_TRUE(fs::is_directory(dir / "blocked.wav"));
    EXPECT_EQ(12, std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()));

    amf::amf_string text("x");
    amf::amf_object empty;
    amf::amf_strict_array strict;
    amf::amf_object withStrict = filePaths(strict);
    const std::pair<const amf::amf0_data_type*, const char*> rows[] = {
        {nullptr, "parameter was not an object"},
        {&text, "parameter was not an object"},
        {&empty, "filePaths property was not found"},
        {&withStrict, "filePaths property was not found"}};
    for (const auto& row : rows) {
        const std::vector<Value> refused = host.call("convertToWav", row.first);
        EXPECT_EQ(row.second, str(prop(dataOf(refused), "error")));
    }
    const amf::amf_ecma_array nothing;
    const amf::amf_object none = filePaths(nothing);
    const std::vector<Value> emptyList = host.call("convertToWav", &none);
    EXPECT_EQ(0, num(prop(dataOf(emptyList), "filesSkipped")));
    EXPECT_EQ(0, host.quit());
}

// A name checked as a regular file and then opened again could be a FIFO by
// the time of the open, which would block the worker, and "QUIT" with it.
// Here a link flips between an audio file and a FIFO while the helper decodes
// it over and over: every request is answered, other commands still are, and
// "QUIT" ends the helper.
TEST(DecoderOpenE2E, ALinkFlippingToAFifoNeverBlocks) {
    TestHost host;
    TempDir dir;
    host.startHelper();
    fs::copy_file(fixturePath("one-second.mp3"), dir / "real.mp3");
    ASSERT_EQ(0, ::mkfifo((dir / "pipe.mp3").c_str(), 0600));
    const std::string link = dir / "flip.mp3", next = dir / "flip.next";
    std::atomic<bool> stop{false};
    std::thread flipper([&] {
        for (unsigned i = 0; !stop; ++i) {
            ::unlink(next.c_str());
            if (::symlink(i % 2 ? "real.mp3" : "pipe.mp3", next.c_str()) == 0)
                ::rename(next.c_str(), link.c_str());
        }
    });
    const int kTries = 500;
    amf::amf_ecma_array paths = stringArray(std::vector<std::string>(kTries, link));
    const amf::amf_object convert = filePaths(paths);
    for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
         std::chrono::steady_clock::now() < end;) {
        const std::vector<Value> responses =
            host.call("convertToWav", &convert, std::chrono::seconds(20));
        // Each entry was either the audio file or the FIFO when it was opened.
        const amf::amf0_data_type* data = dataOf(responses);
        if (data == nullptr) break;  // the flipper is stopped below either way
        EXPECT_EQ(kTries, num(prop(data, "filesConverted")) + num(prop(data, "filesSkipped")));
    }
    stop = true;
    flipper.join();
    EXPECT_EQ(1u, host.call("getSupportedExtensions", nullptr, std::chrono::seconds(10)).size());
    EXPECT_EQ(0, host.quit());
}

}  // namespace

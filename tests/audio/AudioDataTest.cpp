#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <csignal>
#include <cstdint>

#include "AudioFixtures.h"
#include "audio/AudioData.h"
#include "audio/WavFileWriter.h"
#include "support/TestHost.h"

using namespace audiotest;

namespace {

uint32_t u32(const std::string& s, size_t at) {
    return static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8) |
           (static_cast<uint8_t>(s[at + 2]) << 16) |
           (static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24);
}

uint32_t u16(const std::string& s, size_t at) {
    return static_cast<uint8_t>(s[at]) | (static_cast<uint8_t>(s[at + 1]) << 8);
}

AudioData makeData(AudioHeader header, size_t bytes, double duration) {
    AudioData data;
    data.header = header;
    data.samples.resize(bytes);
    for (size_t i = 0; i < bytes; ++i) data.samples[i] = static_cast<unsigned char>(i * 7);
    data.duration = duration;
    return data;
}

size_t filesIn(const std::string& dir) {
    size_t n = 0;
    for (boost::filesystem::directory_iterator it(dir), end; it != end; ++it) ++n;
    return n;
}

}  // namespace

TEST(AudioDataTest, ValidNeedsSamplesDurationAndHeader) {
    EXPECT_TRUE(makeData(AudioHeader(2, 2, 44100), 4, 0.1).IsValid());
    EXPECT_FALSE(makeData(AudioHeader(2, 2, 44100), 0, 0.1).IsValid());
    EXPECT_FALSE(makeData(AudioHeader(2, 2, 44100), 4, 0.0).IsValid());
    EXPECT_FALSE(makeData(AudioHeader(2, 0, 44100), 4, 0.1).IsValid());
}

TEST(AudioDataTest, OneSecondStereoFileLayout) {
    const std::string path = scratchDir() + "/one.wav";
    AudioData data = makeData(AudioHeader(2, 2, 44100), 176400, 1.0);
    ASSERT_TRUE(data.WriteWAV(path));
    const std::string file = readFile(path);
    ASSERT_EQ(176444u, file.size());
    EXPECT_EQ("RIFF", file.substr(0, 4));
    EXPECT_EQ(176436u, u32(file, 4));
    EXPECT_EQ("WAVE", file.substr(8, 4));
    EXPECT_EQ("fmt ", file.substr(12, 4));
    EXPECT_EQ(16u, u32(file, 16));
    EXPECT_EQ(1u, u16(file, 20));
    EXPECT_EQ(2u, u16(file, 22));
    EXPECT_EQ(44100u, u32(file, 24));
    EXPECT_EQ(176400u, u32(file, 28));
    EXPECT_EQ(4u, u16(file, 32));
    EXPECT_EQ(16u, u16(file, 34));
    EXPECT_EQ("data", file.substr(36, 4));
    EXPECT_EQ(176400u, u32(file, 40));
    EXPECT_TRUE(file.substr(44) == std::string(data.samples.begin(), data.samples.end()));
}

TEST(AudioDataTest, MonoEightBitFields) {
    const std::string path = scratchDir() + "/mono8.wav";
    // An odd byte count: no pad byte follows the data.
    ASSERT_TRUE(makeData(AudioHeader(1, 1, 22050), 22051, 1.0).WriteWAV(path));
    const std::string file = readFile(path);
    ASSERT_EQ(44u + 22051, file.size());
    EXPECT_EQ(1u, u16(file, 22));
    EXPECT_EQ(22050u, u32(file, 28));
    EXPECT_EQ(1u, u16(file, 32));
    EXPECT_EQ(8u, u16(file, 34));
    EXPECT_EQ(22051u, u32(file, 40));
}

TEST(AudioDataTest, FloatSamplesAreMarkedAsFloat) {
    const std::string path = scratchDir() + "/float.wav";
    ASSERT_TRUE(makeData(AudioHeader(1, 4, 48000, true), 192000, 1.0).WriteWAV(path));
    const std::string file = readFile(path);
    EXPECT_EQ(3u, u16(file, 20));
    EXPECT_EQ(32u, u16(file, 34));
    EXPECT_EQ("pcm_f32le\n", testsupport::capture("ffprobe -v error -show_entries "
                                                  "stream=codec_name -of csv=p=0 '" +
                                                  path + "'"));
}

TEST(AudioDataTest, InvalidDataCreatesAndTruncatesNothing) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/keep.wav";
    writeFile(path, "older contents");
    EXPECT_FALSE(makeData(AudioHeader(2, 2, 44100), 0, 1.0).WriteWAV(path));
    EXPECT_FALSE(makeData(AudioHeader(2, 2, 44100), 8, 0.0).WriteWAV(path));
    EXPECT_FALSE(makeData(AudioHeader(0, 2, 44100), 8, 1.0).WriteWAV(path));
    EXPECT_EQ("older contents", readFile(path));
    EXPECT_FALSE(makeData(AudioHeader(2, 2, 44100), 0, 1.0).WriteWAV(dir + "/new.wav"));
    EXPECT_FALSE(exists(dir + "/new.wav"));
    EXPECT_EQ(1u, filesIn(dir));
}

TEST(AudioDataTest, ExistingFileIsReplaced) {
    const std::string path = scratchDir() + "/replace.wav";
    writeFile(path, std::string(500000, 'x'));
    ASSERT_TRUE(makeData(AudioHeader(1, 2, 8000), 16000, 1.0).WriteWAV(path));
    EXPECT_EQ(16044u, readFile(path).size());
}

TEST(AudioDataTest, UnwritableDestinationReportsFailureAndLeavesNoFile) {
    const std::string dir = scratchDir();
    EXPECT_FALSE(makeData(AudioHeader(1, 2, 8000), 16, 1.0).WriteWAV(dir + "/no/such/dir/x.wav"));
    // A destination that is a folder: the rename fails and the temporary file goes.
    boost::filesystem::create_directory(dir + "/folder.wav");
    EXPECT_FALSE(makeData(AudioHeader(1, 2, 8000), 16, 1.0).WriteWAV(dir + "/folder.wav"));
    EXPECT_EQ(1u, filesIn(dir));
}

// A file-size limit makes the writes fail part way, as a full disk would.
TEST(AudioDataTest, FailedWritesAreDetectedAndLeaveTheOldFile) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/limited.wav";
    writeFile(path, "older contents");
    pid_t child = ::fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {100000, 100000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        bool written = makeData(AudioHeader(2, 2, 44100), 176400, 1.0).WriteWAV(path);
        ::_exit(written ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status)) << "the failed write was reported as success";
    EXPECT_EQ("older contents", readFile(path));
    EXPECT_EQ(1u, filesIn(dir));
}

TEST(AudioDataTest, WriterRefusesDataBeyondThe32BitSizes) {
    const std::string dir = scratchDir();
    WavFileWriter writer;
    ASSERT_TRUE(writer.Open(dir + "/huge.wav"));
    std::vector<unsigned char> block(16, 0);
    // The limit is checked before writing, so no 4 GB file is needed.
    EXPECT_TRUE(writer.Write(block.data(), block.size()));
    EXPECT_EQ(16u, writer.DataBytes());
    EXPECT_FALSE(writer.Write(block.data(), static_cast<size_t>(kMaxWavDataBytes)));
    EXPECT_FALSE(writer.Commit(AudioHeader(1, 2, 8000)));
    EXPECT_FALSE(exists(dir + "/huge.wav"));
    EXPECT_EQ(0u, filesIn(dir));
}

TEST(AudioDataTest, NewFileGetsOrdinaryPermissions) {
    const std::string path = scratchDir() + "/perm.wav";
    ASSERT_TRUE(makeData(AudioHeader(1, 2, 8000), 16, 1.0).WriteWAV(path));
    struct stat st;
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(0666 & ~mask, st.st_mode & 0777);
}

// Writing WAV files: the layout, the naming of converted files, and no
// partial or lost file when a write fails.
#include "audio/AudioData.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>

#include "AudioFormats.h"
#include "audio/DecoderSystem.h"
#include "audio/WavConverterHandler.h"
#include "audio/WavFileWriter.h"

using namespace audiotest;

namespace {

std::string le16(uint32_t value) {
    return media::le32(value).substr(0, 2);
}

AudioData makeData(AudioHeader header, size_t bytes, double duration) {
    AudioData data;
    data.header = header;
    data.samples.resize(bytes);
    for (size_t i = 0; i < bytes; ++i) data.samples[i] = static_cast<unsigned char>(i * 7);
    data.duration = duration;
    return data;
}

// The destination of a source, or "skip:" and the untouched output.
std::string wavPath(const std::string& source) {
    std::string destination = "unchanged";
    if (!WavConverterHandler::WavPathForSource(source, destination)) return "skip:" + destination;
    return destination;
}

size_t filesIn(const std::string& dir) {
    size_t n = 0;
    for (boost::filesystem::directory_iterator it(dir), end; it != end; ++it) ++n;
    return n;
}

}  // namespace

// The canonical 44-byte header, its fields worked out by hand; ffprobe reads
// the result back.
TEST(AudioDataTest, WavLayouts) {
    const struct {
        const char* name;
        AudioHeader header;
        size_t bytes;
        uint32_t format, channels, rate, byteRate, blockAlign, bits;
        const char* codec;
    } rows[] = {
        {"stereo16", AudioHeader(2, 2, 44100), 176400, 1, 2, 44100, 176400, 4, 16, "pcm_s16le"},
        // An odd byte count: no pad byte follows the data.
        {"mono8odd", AudioHeader(1, 1, 22050), 22051, 1, 1, 22050, 22050, 1, 8, "pcm_u8"},
        {"float", AudioHeader(1, 4, 48000, true), 192000, 3, 1, 48000, 192000, 4, 32, "pcm_f32le"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = scratchDir() + "/out.wav";
        AudioData data = makeData(row.header, row.bytes, 1.0);
        ASSERT_TRUE(data.WriteWAV(path));
        const std::string file = readFile(path);
        ASSERT_EQ(44 + row.bytes, file.size());
        EXPECT_EQ("RIFF" + media::le32(36 + row.bytes) + "WAVEfmt " + media::le32(16) +
                      le16(row.format) + le16(row.channels) + media::le32(row.rate) +
                      media::le32(row.byteRate) + le16(row.blockAlign) + le16(row.bits) + "data" +
                      media::le32(row.bytes),
                  file.substr(0, 44));
        EXPECT_TRUE(file.substr(44) == std::string(data.samples.begin(), data.samples.end()));
        EXPECT_EQ(std::string(row.codec) + "\n",
                  testsupport::capture("ffprobe -v error -show_entries stream=codec_name -of "
                                       "csv=p=0 " +
                                       media::quote(path)));
    }
}

// Invalid or oversized data and failed renames leave the older file and no
// temporary one; a replaced file gets ordinary permissions, not a temporary's.
TEST(AudioDataTest, FailedWritesKeepTheOldFile) {
    const std::string dir = scratchDir();
    const std::string path = dir + "/keep.wav";
    writeFile(path, "older contents");
    EXPECT_FALSE(makeData(AudioHeader(0, 2, 44100), 8, 1.0).WriteWAV(path));
    boost::filesystem::create_directory(dir + "/folder.wav");
    EXPECT_FALSE(makeData(AudioHeader(1, 2, 8000), 16, 1.0).WriteWAV(dir + "/folder.wav"));
    EXPECT_FALSE(makeData(AudioHeader(1, 2, 8000), 16, 1.0).WriteWAV(dir + "/no/such/x.wav"));
    // Data past the 32-bit sizes is refused before it is written.
    WavFileWriter writer;
    ASSERT_TRUE(writer.Open(dir + "/huge.wav"));
    std::vector<unsigned char> block(16, 0);
    EXPECT_TRUE(writer.Write(block.data(), block.size()));
    EXPECT_FALSE(writer.Write(block.data(), static_cast<size_t>(kMaxWavDataBytes)));
    EXPECT_FALSE(writer.Commit(AudioHeader(1, 2, 8000)));
    EXPECT_EQ(2u, filesIn(dir));

    ASSERT_TRUE(makeData(AudioHeader(1, 2, 8000), 16000, 1.0).WriteWAV(path));
    EXPECT_EQ(16044u, readFile(path).size());
    struct stat st;
    ASSERT_EQ(0, ::stat(path.c_str(), &st));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(0666 & ~mask, st.st_mode & 0777);
}

TEST(WavConverterHandlerTest, DestinationNaming) {
    const std::pair<const char*, const char*> rows[] = {
        {"/m/song.mp3", "/m/song.wav"},
        {"/m/a.b.c.flac", "/m/a.b.c.wav"},
        // Dots in folder names do not count; a file name without one gets ".wav".
        {"/m/My.Music/song", "/m/My.Music/song.wav"},
        {"song", "song.wav"},
        {"/m/.hidden", "/m/.hidden.wav"},
        {"/m/song.M4A.m4a", "/m/song.M4A.wav"},
        // WAV sources, in any letter case, are skipped and never overwritten.
        {"/m/song.wav", "skip:unchanged"},
        {"/m/song.WAV", "skip:unchanged"},
        {"/m/song.Wav", "skip:unchanged"},
    };
    for (const auto& row : rows) EXPECT_EQ(row.second, wavPath(row.first)) << row.first;
}

// A file-size limit makes a write fail in the middle of a long file: no
// partial WAV appears and the older one survives.
TEST(WavConverterTest, WriteFailureMidFileLeavesNoPartialFile) {
    ASSERT_TRUE(DecoderSystem::Init());
    const std::string dir = scratchDir();
    const std::string destination = dir + "/long.wav";
    writeFile(destination, "older");
    pid_t child = ::fork();
    ASSERT_NE(-1, child);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {2000000, 2000000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        boost::shared_ptr<IDecoder> decoder = DecoderSystem::CreateDecoder();
        bool ok =
            WavConverterHandler::ConvertFile(*decoder, fixturePath("long61.mp3"), destination);
        ::_exit(ok ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("older", readFile(destination));
    EXPECT_EQ(1u, filesIn(dir));
}

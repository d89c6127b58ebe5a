#include "audio/WavConverterHandler.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <csignal>

#include "AudioFormats.h"
#include "audio/DecoderSystem.h"

using namespace audiotest;

namespace {

class WavConverterTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(DecoderSystem::Init()); }
};

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

TEST(WavConverterHandlerTest, DestinationNaming) {
    const std::pair<const char*, const char*> rows[] = {
        {"/m/song.mp3", "/m/song.wav"},
        {"/m/My.Music/song.ogg", "/m/My.Music/song.wav"},
        {"/m/a.b.c.flac", "/m/a.b.c.wav"},
        // Dots in folder names do not count; a file name without one gets ".wav".
        {"/m/My.Music/song", "/m/My.Music/song.wav"},
        {"song", "song.wav"},
        {"/m/.hidden", "/m/.hidden.wav"},
        {"/m/song.M4A.m4a", "/m/song.M4A.wav"},
        {"/m/song.wave.aiff", "/m/song.wave.wav"},
        // WAV sources, in any letter case, are skipped and never overwritten.
        {"/m/song.wav", "skip:unchanged"},
        {"/m/song.WAV", "skip:unchanged"},
        {"/m/song.Wav", "skip:unchanged"},
    };
    for (const auto& row : rows) EXPECT_EQ(row.second, wavPath(row.first)) << row.first;
}

// A file-size limit makes a write fail in the middle of a long file: no
// partial WAV appears and the older one survives.
TEST_F(WavConverterTest, WriteFailureMidFileLeavesNoPartialFile) {
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
            WavConverterHandler::ConvertFile(*decoder, fixturePath("long61.flac"), destination);
        ::_exit(ok ? 1 : 0);
    }
    int status = 0;
    ASSERT_EQ(child, ::waitpid(child, &status, 0));
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(0, WEXITSTATUS(status));
    EXPECT_EQ("older", readFile(destination));
    EXPECT_EQ(1u, filesIn(dir));
}

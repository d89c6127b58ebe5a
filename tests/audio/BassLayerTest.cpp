// The decoding library's C interface: the calls and results the decoder
// system relies on, the length guarantee and the handle table.
#include <gtest/gtest.h>

#include <vector>

#include "AudioFormats.h"
#include "audio/DecoderSystem.h"
#include "platform/bass/bass.h"

using namespace audiotest;

namespace {

class BassLayerTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(DecoderSystem::Init()); }
};

HSTREAM open(const std::string& name) {
    return BASS_StreamCreateFile(0, fixturePath(name).c_str(), 0, 0, BASS_STREAM_DECODE);
}

}  // namespace

TEST_F(BassLayerTest, CreateFileRefusals) {
    EXPECT_EQ(0u, BASS_StreamCreateFile(0, "", 0, 0, BASS_STREAM_DECODE));
    EXPECT_EQ(0u, BASS_StreamCreateFile(0, nullptr, 0, 0, BASS_STREAM_DECODE));
    EXPECT_EQ(0u, BASS_StreamCreateFile(0, "/no/such/file.mp3", 0, 0, BASS_STREAM_DECODE));
    EXPECT_EQ(BASS_ERROR_FILEOPEN, BASS_ErrorGetCode());
    const std::string path = fixturePath("stereo44.wav");
    EXPECT_EQ(0u, BASS_StreamCreateFile(0, path.c_str(), 0, 0, 0));
    EXPECT_EQ(0u, BASS_StreamCreateFile(1, path.c_str(), 0, 0, BASS_STREAM_DECODE));
    EXPECT_EQ(0u,
              BASS_StreamCreateFile(0, path.c_str(), 0, 0, BASS_STREAM_DECODE | BASS_SAMPLE_FLOAT));
    // A name that looks like a URL stays a local file name.
    EXPECT_EQ(0u, BASS_StreamCreateFile(0, "http://127.0.0.1:9/x.mp3", 0, 0, BASS_STREAM_DECODE));
    EXPECT_EQ(BASS_ERROR_FILEOPEN, BASS_ErrorGetCode());
}

// Exact where the container records the length; for the lossy formats the
// container's estimate, close to what the stream delivers but on either side
// of it (ADTS and MP4 AAC fixtures come out short; the decoder test shows no
// audio is lost to that).
TEST_F(BassLayerTest, InfoAndLengthOfEachFormat) {
    for (const Fixture& f : fixtures()) {
        SCOPED_TRACE(f.name);
        HSTREAM s = open(f.name);
        ASSERT_NE(0u, s);
        BASS_CHANNELINFO info;
        ASSERT_TRUE(BASS_ChannelGetInfo(s, &info));
        EXPECT_EQ(static_cast<DWORD>(f.sampleRate), info.freq);
        EXPECT_EQ(static_cast<DWORD>(f.channels), info.chans);
        EXPECT_EQ(f.bytesPerSample == 1, (info.flags & BASS_SAMPLE_8BITS) != 0);
        const QWORD length = BASS_ChannelGetLength(s, BASS_POS_BYTE);
        ASSERT_NE(static_cast<QWORD>(-1), length);
        std::vector<unsigned char> buffer(1 << 20);
        QWORD total = 0;
        while (BASS_ChannelIsActive(s)) {
            DWORD got = BASS_ChannelGetData(s, buffer.data(), static_cast<DWORD>(buffer.size()));
            ASSERT_NE(0xFFFFFFFFu, got);
            total += got;
        }
        EXPECT_EQ(total, BASS_ChannelGetPosition(s, BASS_POS_BYTE));
        if (f.lossless) {
            EXPECT_EQ(total, length);
        } else {
            EXPECT_NEAR(static_cast<double>(total), static_cast<double>(length), 0.1 * total);
        }
        // Once the end is known, the length is never below what was delivered.
        EXPECT_GE(BASS_ChannelGetLength(s, BASS_POS_BYTE), total);
        // Once ended, reading again reports the end.
        EXPECT_EQ(0xFFFFFFFFu, BASS_ChannelGetData(s, buffer.data(), 4096));
        EXPECT_EQ(BASS_ERROR_ENDED, BASS_ErrorGetCode());
        EXPECT_TRUE(BASS_StreamFree(s));
    }
}

TEST_F(BassLayerTest, DataRequestsAreWholeFramesAndDiscardingAdvances) {
    HSTREAM s = open("stereo44.wav");
    ASSERT_NE(0u, s);
    unsigned char buffer[16];
    EXPECT_EQ(4u, BASS_ChannelGetData(s, buffer, 7));
    EXPECT_EQ(176400u, BASS_ChannelGetData(s, nullptr, 176400));
    EXPECT_EQ(176404u, BASS_ChannelGetPosition(s, BASS_POS_BYTE));
    EXPECT_DOUBLE_EQ(1.0, BASS_ChannelBytes2Seconds(s, 176400));
    EXPECT_EQ(0xFFFFFFFFu, BASS_ChannelGetData(s, buffer, BASS_DATA_FLOAT | 8));
    EXPECT_EQ(BASS_ERROR_ILLPARAM, BASS_ErrorGetCode());
    EXPECT_TRUE(BASS_StreamFree(s));
}

TEST_F(BassLayerTest, FreedHandlesAreRefused) {
    HSTREAM s = open("one-second.wav");
    ASSERT_NE(0u, s);
    EXPECT_TRUE(BASS_StreamFree(s));
    EXPECT_FALSE(BASS_StreamFree(s));
    EXPECT_EQ(BASS_ERROR_HANDLE, BASS_ErrorGetCode());
    BASS_CHANNELINFO info;
    EXPECT_FALSE(BASS_ChannelGetInfo(s, &info));
    EXPECT_EQ(static_cast<QWORD>(-1), BASS_ChannelGetLength(s, BASS_POS_BYTE));
    EXPECT_EQ(static_cast<DWORD>(BASS_ACTIVE_STOPPED), BASS_ChannelIsActive(s));
    EXPECT_EQ(0xFFFFFFFFu, BASS_ChannelGetData(s, nullptr, 4));
    EXPECT_EQ(static_cast<QWORD>(-1), BASS_ChannelGetPosition(s, BASS_POS_BYTE));
    EXPECT_LT(BASS_ChannelBytes2Seconds(s, 4), 0.0);
    EXPECT_FALSE(BASS_StreamFree(0));
}

// Only the final component of a name counts, in any letter case.
TEST(DecoderSystemTest, ExtensionSupported) {
    const struct {
        const char* path;
        bool supported;
        const char* extension;
    } rows[] = {{"/music/Song.MP3", true, ".MP3"}, {"/music/noextension", false, ""},
                {"a.aif", true, ".aif"},           {"a.Flac", true, ".Flac"},
                {"a.wma", false, ".wma"},          {"/My.mp3/song", false, ""},
                {"/music/..", false, ""}};
    for (const auto& row : rows) {
        std::string extension = "stale";
        EXPECT_EQ(row.supported, DecoderSystem::ExtensionSupported(row.path, extension))
            << row.path;
        EXPECT_EQ(row.extension, extension) << row.path;
    }
}

#include "audio/BASSDecoder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <sstream>

#include "AudioFormats.h"
#include "audio/DecoderSystem.h"

using namespace audiotest;

namespace {

class BASSDecoderTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(DecoderSystem::Init()); }
};

std::string junk(size_t size, unsigned seed) {
    std::string out(size, '\0');
    for (size_t i = 0; i < size; ++i) {
        seed = seed * 1103515245u + 12345u;
        out[i] = static_cast<char>(seed >> 16);
    }
    return out;
}

}  // namespace

// Every format, decoded to 16 bits and natively. To 16 bits: the same sample
// count as the ffmpeg tool, the same bytes for lossless sources and at most
// one step apart for lossy ones. Natively: what the codec produced, as ffprobe
// names it (float from the lossy codecs, 32-bit integers from 24-bit FLAC and
// ALAC, 16-bit from 16-bit PCM, unsigned 8-bit from 8-bit PCM), the same
// samples the ffmpeg tool prints in that format, and the codec's layout.
TEST_F(BASSDecoderTest, MatchesFfmpegForEveryFixture) {
    const std::map<std::string, uint64_t> layouts = {
        {"mono", 0x4}, {"stereo", 0x3}, {"unknown", 0}};
    for (const Fixture& f : fixtures()) {
        SCOPED_TRACE(f.name);
        const std::string path = fixturePath(f.name);
        BASSDecoder decoder;
        AudioData data;
        ASSERT_TRUE(decoder.Decode(path, data));
        EXPECT_EQ(AudioHeader(f.channels, f.bytesPerSample, f.sampleRate), data.header);
        const std::string ours(data.samples.begin(), data.samples.end());
        const std::string reference = media::decode(path, f.bytesPerSample == 1 ? "u8" : "s16le");
        ASSERT_EQ(reference.size(), ours.size());
        if (f.lossless)
            EXPECT_TRUE(ours == reference);
        else
            EXPECT_LE(media::maxSampleDifference(ours, reference), 1);
        // The duration matches the samples, the final partial block included.
        const double frames = static_cast<double>(data.samples.size()) /
                              (data.header.channels * data.header.bytesPerSample);
        EXPECT_DOUBLE_EQ(frames / data.header.sampleRate, data.duration);
        EXPECT_NEAR(f.seconds, data.duration, 0.1);

        std::istringstream probe(testsupport::capture(
            "ffprobe -v error -select_streams a:0 -show_entries stream=sample_fmt,channel_layout "
            "-of csv=p=0 '" +
            path + "'"));
        std::string sampleFormat, layout;
        std::getline(probe, sampleFormat, ',');
        std::getline(probe, layout);
        ASSERT_NE(std::string::npos,
                  std::string(" u8 s16 s16p s32 s32p flt fltp ").find(" " + sampleFormat + " "));
        ASSERT_EQ(1u, layouts.count(layout));
        const bool isFloat = sampleFormat.compare(0, 3, "flt") == 0;
        const int bytes = sampleFormat == "u8" ? 1 : sampleFormat.compare(0, 3, "s16") == 0 ? 2 : 4;
        AudioHeader header;
        ASSERT_TRUE(decoder.StartDecode(path, 0, header, IDecoder::Output::Native));
        AudioHeader expected(f.channels, bytes, f.sampleRate, isFloat);
        expected.channelLayout = layouts.at(layout);
        EXPECT_EQ(expected, header);
        std::string samples;
        std::vector<unsigned char> block;
        bool done = false;
        for (bool more = true; more;) {
            more = decoder.StepDecode(block, done);
            samples.append(block.begin(), block.end());
        }
        EXPECT_TRUE(done);
        EXPECT_TRUE(decoder.EndDecode(nullptr));
        const std::string raw = isFloat      ? "f32le"
                                : bytes == 1 ? "u8"
                                : bytes == 2 ? "s16le"
                                             : "s32le";
        EXPECT_TRUE(media::decode(path, raw) == samples);
    }
}

// A start offset skips whole seconds; the step limit caps the length.
TEST_F(BASSDecoderTest, StartOffsetAndMaxSteps) {
    const struct {
        const char* name;
        int start, maxSteps;
        std::size_t seconds;
    } rows[] = {{"stereo44.flac", 2, 1000, 3},
                {"long61.mp3", 0, 10, 10},
                {"one-second.wav", 30, 10, 0},
                {"stereo44.ogg", 0, 0, 0}};
    BASSDecoder decoder;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = fixturePath(row.name);
        AudioData data;
        ASSERT_TRUE(decoder.Decode(path, data, row.start, row.maxSteps));
        ASSERT_EQ(row.seconds * 176400, data.samples.size());
        EXPECT_DOUBLE_EQ(static_cast<double>(row.seconds), data.duration);
        if (std::string(row.name).find("flac") != std::string::npos) {
            EXPECT_TRUE(std::string(data.samples.begin(), data.samples.end()) ==
                        media::decode(path).substr(row.start * 176400u));
        }
    }
    // The stream was closed: a new one opens.
    AudioHeader header;
    EXPECT_TRUE(decoder.StartDecode(fixturePath("stereo44.ogg"), 0, header));
    EXPECT_TRUE(decoder.EndDecode(nullptr));
}

// Junk, empty files, a video, crafted nesting a recursive reader would follow
// until its stack ran out (100,000 MP4 boxes; as many EBML elements, though no
// Matroska reader is allowed), a FIFO nobody writes to and a device that never
// ends: no crash, no hang, a reset result, and the decoder stays usable.
TEST_F(BASSDecoderTest, BadFilesFailAndTheDecoderStaysUsable) {
    const std::string dir = scratchDir();
    std::vector<std::string> bad = {dir + "/missing.mp3", dir, dir + "/fifo.mp3", "/dev/urandom",
                                    dir + "/video-only.m4a"};
    for (const std::string ext : {".mp3", ".ogg", ".wav", ".aiff", ".flac", ".m4a", ".aac"}) {
        writeFile(dir + "/random" + ext, junk(50000, static_cast<unsigned>(bad.size())));
        writeFile(dir + "/empty" + ext, "");
        bad.push_back(dir + "/random" + ext);
        bad.push_back(dir + "/empty" + ext);
    }
    ASSERT_EQ(0, run("ffmpeg -nostdin -v error -f lavfi -i testsrc=d=1:s=64x48 -c:v mpeg4 '" + dir +
                     "/video-only.m4a'"));
    ASSERT_EQ(0, run("mkfifo '" + dir + "/fifo.mp3'"));
    std::string boxes = media::be32(20) + "ftypM4A " + std::string(4, '\0') + "M4A ";
    std::string ebml("\x1a\x45\xdf\xa3\x88\x42\x82\x85webm\0", 13);
    for (uint32_t left = 100000; left > 0; --left) {
        boxes += media::be32(8 * left) + "moov";
        ebml += std::string("\x18\x53\x80\x67\x01\xff\xff\xff\xff\xff\xff\xff", 12);
    }
    writeFile(dir + "/nested-boxes.m4a", boxes);
    writeFile(dir + "/nested-ebml.m4a", ebml);
    bad.push_back(dir + "/nested-boxes.m4a");
    bad.push_back(dir + "/nested-ebml.m4a");

    boost::shared_ptr<IDecoder> decoder = DecoderSystem::CreateDecoder();
    for (const std::string& path : bad) {
        SCOPED_TRACE(path);
        AudioData data;
        // Random bytes may happen to parse as a few frames of some format.
        if (!decoder->Decode(path, data)) {
            EXPECT_TRUE(data.samples.empty());
            EXPECT_EQ(AudioHeader(), data.header);
        }
        AudioData good;
        ASSERT_TRUE(decoder->Decode(fixturePath("one-second.wav"), good));
        EXPECT_EQ(176400u, good.samples.size());
    }
}

namespace {

// crafted_metadata.py's kinds; the prefix names the fixture each is built around.
const char* const CRAFTED[] = {
    "flac-100k-comments-one-key",
    "flac-3000-comments-1000-byte-keys",
    "ogg-50k-comments",
    "ogg-50k-comments-mid-stream",
    "ogg-1m-sync-words",
    "mp3-40k-id3v2-user-texts",
    "mp3-id3v2-compressed-frames-after-empty-frame",
    "wav-60k-info-items",
    "wav-60k-cue-points",
    "aiff-5000-id3v2-chunks",
    "m4a-50k-ilst-items",
    "aac-20k-ape-fields-200-byte-keys",
    "m4a-nested-sample-descriptions",
    "m4a-2g-meta-without-handler",
    "mp3-1g-id3v2-padding",
    "wav-1g-zeros-before-audio",
};

// This process's peak resident memory (VmHWM), in bytes.
uint64_t peakMemory() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
}

class CraftedMetadata : public BASSDecoderTest,
                        public ::testing::WithParamInterface<const char*> {};

// Files whose metadata would keep FFmpeg busy for seconds or make it keep
// hundreds of megabytes fail to open promptly, as a damaged file does. The
// bound only tells a hang from a busy machine; FFmpeg kept 650 MB of the
// compressed frames, where the open may add at most 256 MiB to the peak.
TEST_P(CraftedMetadata, FailsToOpenPromptly) {
    const std::string kind = GetParam();
    const std::string format = kind.substr(0, kind.find('-'));
    const std::string base = format == "m4a" ? "stereo44-aac.m4a" : "stereo44." + format;
    const std::string path = audiotest::scratchDir() + "/" + kind + "." + format;
    ASSERT_EQ(0,
              testsupport::run(std::string("/usr/bin/python3 '") + OSTRA_CRAFTED_METADATA + "' " +
                               kind + " '" + audiotest::fixturePath(base) + "' '" + path + "'"));
    const uint64_t before = peakMemory();
    const auto start = std::chrono::steady_clock::now();
    AudioHeader header;
    EXPECT_FALSE(DecoderSystem::CreateDecoder()->StartDecode(path, 0, header));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_LT(peakMemory() - before, uint64_t{256} << 20);
    ::unlink(path.c_str());
}

std::string rowName(const ::testing::TestParamInfo<const char*>& info) {
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Files, CraftedMetadata, ::testing::ValuesIn(CRAFTED), rowName);

}  // namespace

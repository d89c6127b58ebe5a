// Files whose metadata would keep FFmpeg busy for many seconds or make it keep
// hundreds of megabytes (written by crafted_metadata.py around the generated
// fixtures): each fails to open promptly, as a damaged file does, for every
// command that decodes.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <string>

#include "AudioFormats.h"
#include "audio/DecoderSystem.h"

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

class CraftedMetadata : public ::testing::TestWithParam<const char*> {};

// The bound only tells a hang from a busy machine; FFmpeg kept 650 MB of the
// compressed frames, where the open may add at most 256 MiB to the peak.
TEST_P(CraftedMetadata, FailsToOpenPromptly) {
    ASSERT_TRUE(DecoderSystem::Init());
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

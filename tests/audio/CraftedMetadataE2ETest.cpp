// Files whose metadata would keep FFmpeg busy for many seconds or make it keep
// hundreds of megabytes (written by crafted_metadata.py around the generated
// fixtures): through the real helper each fails to open promptly for every
// decoding command, as a damaged file does.
#include <gtest/gtest.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <string>

#include "AudioFormats.h"
#include "support/TestHost.h"

namespace {

using namespace testsupport;

// crafted_metadata.py's kinds; the prefix names the fixture each is built around.
const char* const CRAFTED[] = {
    "flac-100k-comments-one-key",
    "flac-3000-comments-1000-byte-keys",
    "ogg-50k-comments",
    "ogg-50k-comments-mid-stream",
    "ogg-1m-sync-words",
    "mp3-40k-id3v2-user-texts",
    "mp3-id3v2-compressed-frames",
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

// A refused file is answered at once; the bound only tells a hang from a
// busy machine.
const std::chrono::seconds kPrompt(5);
// What the helper's peak memory may grow by while refusing one file; FFmpeg
// kept 650 MB of the compressed frames.
const uint64_t kMaxGrowth = 256u << 20;

// A process's peak resident memory (VmHWM), in bytes.
uint64_t peakMemory(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) return std::stoull(line.substr(6)) * 1024;
    }
    return 0;
}

class CraftedMetadata : public ::testing::TestWithParam<const char*> {};

TEST_P(CraftedMetadata, FailsToOpenPromptlyForEveryDecodingCommand) {
    const std::string kind = GetParam();
    const std::string format = kind.substr(0, kind.find('-'));
    const std::string base = format == "m4a" ? "stereo44-aac.m4a" : "stereo44." + format;
    TempDir dir;
    // convertToWav skips a ".wav" source unopened; the content decides the format anyway.
    const std::string path = dir / (kind + "." + (format == "wav" ? "wave" : format));
    ASSERT_EQ(0, run(std::string(OSTRA_PYTHON) + " '" + OSTRA_CRAFTED_METADATA + "' " + kind +
                     " '" + audiotest::fixturePath(base) + "' '" + path + "'"));
    TestHost host;
    host.startHelper();
    const uint64_t before = peakMemory(host.helper().pid());

    amf::amf_ecma_array paths = stringArray({path});
    amf::amf_object convert;
    convert.set_property("filePaths", &paths);
    std::vector<Value> converted = host.call("convertToWav", &convert, kPrompt);
    ASSERT_EQ(1u, converted.size()) << "no answer to convertToWav within 5 s";
    ASSERT_TRUE(isDone(converted[0]));
    EXPECT_EQ(0, num(prop(prop(converted[0], "data"), "filesConverted")));
    EXPECT_EQ(1, num(prop(prop(converted[0], "data"), "filesSkipped")));
    EXPECT_FALSE(boost::filesystem::exists(dir / (kind + ".wav")));

    amf::amf_ecma_array types = stringArray({"CMX"});
    amf::amf_object fingerprint;
    fingerprint.set_property("fingerprintTypes", &types);
    fingerprint.set_property("filePaths", &paths);
    std::vector<Value> fingerprinted = host.call("fingerprints", &fingerprint, kPrompt);
    ASSERT_EQ(2u, fingerprinted.size()) << "no answer to fingerprints within 5 s";
    const std::vector<const amf::amf0_data_type*> entries = items(prop(fingerprinted[0], "data"));
    ASSERT_EQ(1u, entries.size());
    EXPECT_NE(std::string::npos, str(prop(entries[0], "error")).find("failed to start decode"));
    EXPECT_EQ(path, str(prop(entries[0], "path")));
    EXPECT_EQ(0, num(prop(prop(fingerprinted[1], "data"), "count")));

    EXPECT_LT(peakMemory(host.helper().pid()) - before, kMaxGrowth);
    EXPECT_EQ(0, host.quit());
}

std::string rowName(const ::testing::TestParamInfo<const char*>& info) {
    std::string name = info.param;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

INSTANTIATE_TEST_SUITE_P(Files, CraftedMetadata, ::testing::ValuesIn(CRAFTED), rowName);

}  // namespace

// Files whose metadata would keep FFmpeg busy for many seconds (tens of
// thousands of fields, fields with long keys, thousands of ID3v2 chunks, a
// comment packet in the middle of the audio, an Ogg stream of sync words, WAV
// cue points by the ten thousand, a huge MP4 'meta' box without a handler, a
// gigabyte of zeros where FFmpeg walks headers), keep the checks before it
// busy (MP4 sample descriptions nested in each other) or make it keep
// hundreds of megabytes (compressed ID3v2 frames), through the real helper:
// each fails to open promptly for every decoding command, as a damaged file
// does. The files are written by crafted_metadata.py around the generated
// fixtures.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <fstream>
#include <string>

#include "AudioFormats.h"
#include "support/TestHost.h"

namespace {

using namespace testsupport;

struct CraftedFile {
    const char* kind;  // crafted_metadata.py's name for it, also the file's stem
    const char* base;  // the fixture it is built around
};

const CraftedFile CRAFTED[] = {
    {"flac-100k-comments-one-key", "stereo44.flac"},
    {"flac-3000-comments-1000-byte-keys", "stereo44.flac"},
    {"ogg-50k-comments", "stereo44.ogg"},
    {"ogg-50k-comments-mid-stream", "stereo44.ogg"},
    {"ogg-1m-sync-words", "stereo44.ogg"},
    {"mp3-40k-id3v2-user-texts", "stereo44.mp3"},
    {"mp3-id3v2-compressed-frames", "stereo44.mp3"},
    {"mp3-id3v2-compressed-frames-after-empty-frame", "stereo44.mp3"},
    {"wav-60k-info-items", "stereo44.wav"},
    {"wav-60k-cue-points", "stereo44.wav"},
    {"aiff-5000-id3v2-chunks", "stereo44.aiff"},
    {"m4a-50k-ilst-items", "stereo44-aac.m4a"},
    {"aac-20k-ape-fields-200-byte-keys", "stereo44.aac"},
    {"m4a-nested-sample-descriptions", "stereo44-aac.m4a"},
    {"m4a-2g-meta-without-handler", "stereo44-aac.m4a"},
    {"mp3-1g-id3v2-padding", "stereo44.mp3"},
    {"wav-1g-zeros-before-audio", "stereo44.wav"},
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

class CraftedMetadata : public ::testing::TestWithParam<CraftedFile> {};

TEST_P(CraftedMetadata, FailsToOpenPromptlyForEveryDecodingCommand) {
    const CraftedFile& file = GetParam();
    TempDir dir;
    // convertToWav skips a ".wav" source unopened; the content decides the
    // format anyway.
    std::string extension = boost::filesystem::path(file.base).extension().string();
    if (extension == ".wav") extension = ".wave";
    const std::string path = dir / (std::string(file.kind) + extension);
    ASSERT_EQ(0, run(std::string(OSTRA_PYTHON) + " '" + OSTRA_CRAFTED_METADATA + "' " + file.kind +
                     " '" + audiotest::fixturePath(file.base) + "' '" + path + "'"));
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
    EXPECT_FALSE(boost::filesystem::exists(dir / (std::string(file.kind) + ".wav")));

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

std::string rowName(const ::testing::TestParamInfo<CraftedFile>& info) {
    std::string name = info.param.kind;
    for (char& c : name) {
        if (c == '-') c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(Files, CraftedMetadata, ::testing::ValuesIn(CRAFTED), rowName);

}  // namespace

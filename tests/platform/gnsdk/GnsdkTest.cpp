// The fingerprint SDK stand-in through its C interface with the program's own
// set-up data (its texts are held against fpcalc's by the fingerprint tests).

#include "platform/gnsdk/gnsdk.h"

#include <chromaprint.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "support/MediaFixtures.h"

extern const char kGNSDKInitData[];
extern const char kGNSDKStoredUser[];

namespace {

// Fingerprints 16-bit stereo PCM at 44.1 kHz through the SDK in blocks of
// `blockBytes`.
struct Result {
    gnsdk_error_t code = GNSDK_SUCCESS;
    std::string text;
    uint32_t quality = 0;
    bool complete = false;  // the SDK said it had heard enough
};

Result Fingerprint(gnsdk_user_handle_t user, const char* algorithm, const std::string& pcm,
                   size_t blockBytes) {
    Result result;
    gnsdk_dsp_feature_handle_t feature = nullptr;
    result.code = gnsdk_dsp_feature_audio_begin(user, algorithm, 44100, 16, 2, &feature);
    if (result.code != GNSDK_SUCCESS) return result;
    for (size_t offset = 0; offset < pcm.size(); offset += blockBytes) {
        size_t size = std::min(blockBytes, pcm.size() - offset);
        gnsdk_bool_t complete = 0;
        result.code = gnsdk_dsp_feature_audio_write(feature, pcm.data() + offset, size, &complete);
        if (result.code != GNSDK_SUCCESS) break;
        result.complete = result.complete || complete;
    }
    if (result.code == GNSDK_SUCCESS) result.code = gnsdk_dsp_feature_end_of_write(feature);
    gnsdk_cstr_t text = nullptr;
    if (result.code == GNSDK_SUCCESS) {
        result.code = gnsdk_dsp_feature_retrieve_data(feature, &result.quality, &text);
    }
    if (text != nullptr) result.text = text;
    EXPECT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_release(feature));
    return result;
}

class GnsdkTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_EQ(GNSDK_SUCCESS,
                  gnsdk_manager_initialize(&manager_, kGNSDKInitData, std::strlen(kGNSDKInitData)));
        ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_initialize(manager_));
        ASSERT_EQ(GNSDK_SUCCESS, gnsdk_manager_user_deserialize(kGNSDKStoredUser, &user_));
    }
    void TearDown() override {
        EXPECT_EQ(GNSDK_SUCCESS, gnsdk_manager_user_release(user_));
        EXPECT_EQ(GNSDK_SUCCESS, gnsdk_dsp_shutdown());
        EXPECT_EQ(GNSDK_SUCCESS, gnsdk_manager_shutdown());
    }

    gnsdk_manager_handle_t manager_ = nullptr;
    gnsdk_user_handle_t user_ = nullptr;
};

// Generated audio decoded to 16-bit PCM by the ffmpeg tool, once per process.
const std::string& Sample(const std::string& name, double seconds, int seed) {
    static std::map<std::string, std::string> decoded;
    auto it = decoded.find(name);
    if (it == decoded.end()) {
        it = decoded.emplace(name, media::decode(media::ffmpeg(name, media::tune(seconds, seed))))
                 .first;
        EXPECT_FALSE(it->second.empty()) << name;
    }
    return it->second;
}

// Formats a crafted file could announce through the decoder are refused
// before any buffer is sized for them. (The sample types the decoder hands
// out go through the fingerprinter's comparison with fpcalc.)
TEST_F(GnsdkTest, BeginChecksTheFormat) {
    const struct {
        uint32_t rate, bits, channels;
        gnsdk_error_t code;
    } rows[] = {
        {0, 16, 2, DSPERR_UnsupportedFormat},
        {2000000, 16, 2, DSPERR_UnsupportedFormat},
        {44100, 16, 0, DSPERR_UnsupportedFormat},
        {44100, 16, 33, DSPERR_UnsupportedFormat},
        {44100, 24, 2, DSPERR_UnsupportedFormat},
        {44100, 16 | GNSDK_DSP_SAMPLE_FLOAT, 2, DSPERR_UnsupportedFormat},
        {8000, 8, 6, GNSDK_SUCCESS},
    };
    for (const auto& row : rows) {
        gnsdk_dsp_feature_handle_t feature = nullptr;
        EXPECT_EQ(row.code, gnsdk_dsp_feature_audio_begin(user_, GNSDK_DSP_ALGORITHM_CMX, row.rate,
                                                          row.bits, row.channels, &feature))
            << row.rate << " " << row.bits << " " << row.channels;
        if (feature != nullptr) {
            EXPECT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_release(feature));
        }
    }
    gnsdk_dsp_feature_handle_t feature = nullptr;
    EXPECT_EQ(DSPERR_UnsupportedAlgorithm,
              gnsdk_dsp_feature_audio_begin(user_, "cantametrix-q", 44100, 16, 2, &feature));
}

// Whatever the block sizes (odd ones split frames between writes) and however
// many handles run at once, the same audio gives the same text.
TEST_F(GnsdkTest, BlockSizesPlanesAndParallelHandlesDoNotMatter) {
    const char* cmx = GNSDK_DSP_ALGORITHM_CMX;
    const std::string& first = Sample("tune10.wav", 10, 3);
    const std::string& second = Sample("other45.wav", 45, 6);
    const Result whole = Fingerprint(user_, cmx, first, first.size());
    const Result other = Fingerprint(user_, cmx, second, 176400);
    ASSERT_EQ(GNSDK_SUCCESS, whole.code);
    EXPECT_FALSE(whole.text.empty());
    EXPECT_EQ(whole.text, Fingerprint(user_, cmx, first, 3).text);
    Result gotFirst, gotSecond;
    std::thread a([&] { gotFirst = Fingerprint(user_, cmx, first, 4097); });
    std::thread b([&] { gotSecond = Fingerprint(user_, cmx, second, 65536); });
    a.join();
    b.join();
    EXPECT_EQ(whole.text, gotFirst.text);
    EXPECT_EQ(other.text, gotSecond.text);
    // Released without an end of write: the handle's worker may still hold
    // queued audio, and release stops it.
    gnsdk_dsp_feature_handle_t feature = nullptr;
    ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_audio_begin(user_, cmx, 44100, 16, 2, &feature));
    for (size_t offset = 0; offset + 65536 <= second.size(); offset += 65536) {
        ASSERT_EQ(GNSDK_SUCCESS,
                  gnsdk_dsp_feature_audio_write(feature, second.data() + offset, 65536, nullptr));
    }
    EXPECT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_release(feature));

    // The same samples one plane per channel, in uneven runs; an interleaved
    // write to a planar feature is refused.
    const size_t frames = first.size() / 4;
    std::vector<int16_t> left(frames), right(frames);
    for (size_t i = 0; i < frames; ++i) {
        std::memcpy(&left[i], &first[4 * i], 2);
        std::memcpy(&right[i], &first[4 * i + 2], 2);
    }
    ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_audio_begin(
                                 user_, cmx, 44100, 16 | GNSDK_DSP_SAMPLE_PLANAR, 2, &feature));
    EXPECT_EQ(DSPERR_InvalidArg, gnsdk_dsp_feature_audio_write(feature, first.data(), 4, nullptr));
    for (size_t at = 0, run = 1; at < frames; at += run, run = run * 3 % 4099 + 1) {
        run = std::min(run, frames - at);
        const void* planes[2] = {left.data() + at, right.data() + at};
        ASSERT_EQ(GNSDK_SUCCESS,
                  gnsdk_dsp_feature_audio_write_planes(feature, planes, run, nullptr));
    }
    gnsdk_cstr_t text = nullptr;
    ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_end_of_write(feature));
    ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_retrieve_data(feature, nullptr, &text));
    EXPECT_EQ(whole.text, text);
    EXPECT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_release(feature));
}

TEST_F(GnsdkTest, NanoIsTheHashOfTheThirtySecondFingerprintAndAudioDiffers) {
    const std::string& pcm = Sample("tune45.wav", 45, 1);
    Result micro = Fingerprint(user_, GNSDK_DSP_ALGORITHM_MICRO, pcm, 65536);
    Result nano = Fingerprint(user_, GNSDK_DSP_ALGORITHM_NANO, pcm, 65536);
    ASSERT_EQ(GNSDK_SUCCESS, nano.code);
    ASSERT_EQ(8u, nano.text.size());
    EXPECT_EQ(std::string::npos, nano.text.find_first_not_of("0123456789abcdef"));
    std::vector<uint32_t> raw = media::rawFingerprint(micro.text);
    ASSERT_FALSE(raw.empty());
    uint32_t hash = 0;
    ASSERT_TRUE(chromaprint_hash_fingerprint(raw.data(), static_cast<int>(raw.size()), &hash));
    char expected[9];
    std::snprintf(expected, sizeof expected, "%08x", hash);
    EXPECT_EQ(expected, nano.text);

    // Other audio gives another hash.
    const std::string& otherPcm = Sample("other45.wav", 45, 6);
    Result other = Fingerprint(user_, GNSDK_DSP_ALGORITHM_NANO, otherPcm, 65536);
    EXPECT_NE(nano.text, other.text);
}

// Under two seconds Chromaprint gives no item (an empty text, as fpcalc's);
// under three the fingerprint is flagged short.
TEST_F(GnsdkTest, ShortAudioRaisesTheShortFlag) {
    const struct {
        int tenths;
        bool text;
        uint32_t quality;
    } rows[] = {{20, false, GNSDK_DSP_FEATURE_QUALITY_SHORT},
                {29, true, GNSDK_DSP_FEATURE_QUALITY_SHORT},
                {31, true, 0}};
    for (const auto& row : rows) {
        const std::string cut = Sample("tune10.wav", 10, 3).substr(0, 44100 * 4 * row.tenths / 10);
        for (const char* algorithm : {GNSDK_DSP_ALGORITHM_CMX, GNSDK_DSP_ALGORITHM_NANO}) {
            const Result result = Fingerprint(user_, algorithm, cut, 8192);
            ASSERT_EQ(GNSDK_SUCCESS, result.code);
            EXPECT_EQ(row.text, !result.text.empty()) << row.tenths << algorithm;
            EXPECT_FALSE(result.complete);
            if (algorithm == std::string(GNSDK_DSP_ALGORITHM_CMX)) {
                EXPECT_EQ(row.quality, result.quality) << row.tenths;
            }
        }
    }
}

}  // namespace

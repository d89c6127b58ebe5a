// The fingerprint SDK stand-in through its C interface: set-up checks, the
// log callback, the hashes and flags it derives. Its fingerprints are
// compared with fpcalc's through the fingerprinter, over the real decoder.

#include "platform/gnsdk/gnsdk.h"

#include <chromaprint.h>
#include <gtest/gtest.h>

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <boost/uuid/detail/sha1.hpp>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/MediaFixtures.h"

namespace {

const char kInitData[] = "gnsdk-init/1\nclient=GnsdkTest\nlibraries=manager,dsp\n";

// A serialised user in the SDK's layout; `corrupt` flips one payload byte
// after the checksum was computed.
std::string MakeUser(const std::string& client, bool corrupt = false) {
    std::string bytes(129, '\0');
    std::memcpy(&bytes[0], "OSTRAUSR", 8);
    bytes[8] = 1;
    for (int i = 0; i < 16; ++i) bytes[9 + i] = static_cast<char>(0x30 + i);
    std::memcpy(&bytes[25], client.data(), std::min<size_t>(client.size(), 32));
    boost::uuids::detail::sha1 sha;
    sha.process_bytes(bytes.data(), 109);
    boost::uuids::detail::sha1::digest_type digest;
    sha.get_digest(digest);
    for (int i = 0; i < 5; ++i) {
        for (int b = 0; b < 4; ++b)
            bytes[109 + 4 * i + b] = static_cast<char>(digest[i] >> (24 - 8 * b));
    }
    if (corrupt) bytes[40] ^= 1;
    typedef boost::archive::iterators::base64_from_binary<
        boost::archive::iterators::transform_width<std::string::const_iterator, 6, 8>>
        ToBase64;
    return std::string(ToBase64(bytes.begin()), ToBase64(bytes.end()));
}

struct LogLine {
    uint16_t package;
    uint32_t mask;
    std::string text;
};

std::mutex g_logMutex;
std::vector<LogLine> g_log;

void Collect(const void*, uint16_t package, uint32_t mask, const char* format, va_list args) {
    char text[1024];
    std::vsnprintf(text, sizeof text, format, args);
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.push_back({package, mask, text});
}

std::vector<LogLine> TakeLog() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    std::vector<LogLine> lines;
    lines.swap(g_log);
    return lines;
}

// Interleaved samples with what the SDK is told about them.
struct Pcm {
    int sampleRate;
    int channels;
    uint32_t bits;
    uint64_t layout;  // speaker positions (AV_CH_* mask); 0 for the usual order
    std::vector<unsigned char> bytes;
};

// Fingerprints PCM through the SDK in blocks of `blockBytes`.
struct Result {
    gnsdk_error_t code = GNSDK_SUCCESS;
    std::string text;
    uint32_t quality = 0;
    bool complete = false;
    size_t bytesUntilComplete = 0;
};

Result Fingerprint(gnsdk_user_handle_t user, const char* algorithm, const Pcm& pcm,
                   size_t blockBytes) {
    Result result;
    gnsdk_dsp_feature_handle_t feature = nullptr;
    result.code = gnsdk_dsp_feature_audio_begin(user, algorithm, pcm.sampleRate, pcm.bits,
                                                pcm.channels, &feature);
    if (result.code != GNSDK_SUCCESS) return result;
    if (pcm.layout != 0) {
        result.code = gnsdk_dsp_feature_audio_channel_layout(feature, pcm.layout);
        EXPECT_EQ(GNSDK_SUCCESS, result.code);
    }
    for (size_t offset = 0; offset < pcm.bytes.size(); offset += blockBytes) {
        size_t size = std::min(blockBytes, pcm.bytes.size() - offset);
        gnsdk_bool_t complete = 0;
        result.code =
            gnsdk_dsp_feature_audio_write(feature, pcm.bytes.data() + offset, size, &complete);
        if (result.code != GNSDK_SUCCESS) break;
        if (complete && !result.complete) {
            result.complete = true;
            result.bytesUntilComplete = offset + size;
        }
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
        TakeLog();
        ASSERT_EQ(GNSDK_SUCCESS, gnsdk_manager_initialize(&manager_, kInitData, sizeof kInitData));
        ASSERT_EQ(GNSDK_SUCCESS, gnsdk_manager_logging_enable_callback(
                                     Collect, nullptr, GNSDK_LOG_PKG_ALL,
                                     GNSDK_LOG_LEVEL_ERROR | GNSDK_LOG_LEVEL_WARNING));
        ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_initialize(manager_));
        ASSERT_EQ(GNSDK_SUCCESS,
                  gnsdk_manager_user_deserialize(MakeUser("GnsdkTest").c_str(), &user_));
    }
    void TearDown() override {
        EXPECT_EQ(GNSDK_SUCCESS, gnsdk_manager_user_release(user_));
        EXPECT_EQ(GNSDK_SUCCESS, gnsdk_dsp_shutdown());
        EXPECT_EQ(GNSDK_SUCCESS, gnsdk_manager_shutdown());
        EXPECT_EQ(GNSDKERR_NotInited, gnsdk_manager_shutdown());
    }

    gnsdk_manager_handle_t manager_ = nullptr;
    gnsdk_user_handle_t user_ = nullptr;
};

// Generated audio decoded to 16-bit PCM by the ffmpeg tool, once per process.
const Pcm& Sample(const std::string& name, double seconds, int seed) {
    static std::map<std::string, Pcm> decoded;
    auto it = decoded.find(name);
    if (it == decoded.end()) {
        const std::string path = media::ffmpeg(name, media::tune(seconds, seed));
        const std::string raw = media::decode(path);
        EXPECT_FALSE(raw.empty()) << name;
        it = decoded.emplace(name, Pcm{44100, 2, 16, 0, {raw.begin(), raw.end()}}).first;
    }
    return it->second;
}

// Refused set-up data, and every call before a successful set-up.
TEST(GnsdkManager, InitDataIsCheckedAndCallsBeforeItFail) {
    gnsdk_manager_handle_t manager = nullptr;
    EXPECT_EQ(GNSDKERR_InvalidArg, gnsdk_manager_initialize(nullptr, kInitData, sizeof kInitData));
    EXPECT_EQ(GNSDKERR_InitDataInvalid, gnsdk_manager_initialize(&manager, nullptr, 10));
    EXPECT_EQ(GNSDKERR_InitDataInvalid, gnsdk_manager_initialize(&manager, kInitData, 0));
    const std::string bad[] = {
        "gnsdk-init/2\nclient=A\nlibraries=manager\n",
        "gnsdk-init/1\nlibraries=manager\n",
        "gnsdk-init/1\nclient=A\n",
        "gnsdk-init/1\nclient=A\nlibraries=dsp\n",
        "gnsdk-init/1\nclient=A\nlibraries=manager\ncolour=blue\n",
        "gnsdk-init/1\nclient=A\nlibraries manager\n",
        "gnsdk-init/1\nclient=ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789\nlibraries=manager\n",
        std::string("gnsdk-init/1\nclient=A\0\nlibraries=manager\n", 40),
        "gnsdk-init/1\nclient=A\nlibraries=manager\n" + std::string(5000, '\n'),
    };
    for (const std::string& text : bad) {
        EXPECT_EQ(GNSDKERR_InitDataInvalid,
                  gnsdk_manager_initialize(&manager, text.data(), text.size()))
            << text;
        EXPECT_EQ(nullptr, manager);
    }
    EXPECT_EQ(GNSDKERR_NotInited, gnsdk_manager_shutdown());
    gnsdk_user_handle_t user = nullptr;
    EXPECT_EQ(GNSDKERR_NotInited,
              gnsdk_manager_user_deserialize(MakeUser("GnsdkTest").c_str(), &user));
    EXPECT_EQ(GNSDKERR_NotInited, gnsdk_manager_logging_register_package(225, "x"));
    EXPECT_EQ(GNSDKERR_NotInited,
              gnsdk_manager_logging_enable_callback(Collect, nullptr, GNSDK_LOG_PKG_ALL, 3));
    EXPECT_EQ(GNSDKERR_NotInited, gnsdk_dsp_initialize(nullptr));
    EXPECT_EQ(DSPERR_NotInited, gnsdk_dsp_shutdown());
    gnsdk_dsp_feature_handle_t feature = nullptr;
    EXPECT_EQ(DSPERR_NotInited,
              gnsdk_dsp_feature_audio_begin(user, GNSDK_DSP_ALGORITHM_CMX, 44100, 16, 2, &feature));
}

TEST_F(GnsdkTest, UsersAreValidated) {
    gnsdk_user_handle_t user = nullptr;
    const std::string good = MakeUser("GnsdkTest");
    ASSERT_EQ(172u, good.size());
    std::string notBase64 = good;
    notBase64[10] = '*';
    const std::pair<std::string, const char*> rows[] = {
        {MakeUser("GnsdkTest", true), "checksum mismatch"},
        {MakeUser("SomeoneElse"), "issued for another client"},
        {good.substr(0, 171), "wrong length"},
        {notBase64, "not base64"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(GNSDKERR_UserInvalid, gnsdk_manager_user_deserialize(row.first.c_str(), &user));
        EXPECT_EQ(nullptr, user);
        const std::vector<LogLine> log = TakeLog();
        ASSERT_EQ(1u, log.size());
        EXPECT_EQ(GNSDK_LOG_PKG_MANAGER, log[0].package);
        EXPECT_EQ(GNSDK_LOG_LEVEL_ERROR, log[0].mask);
        EXPECT_EQ(std::string("gnsdk_manager_user_deserialize: the serialized user is invalid (") +
                      row.second + ")",
                  log[0].text);
    }
    EXPECT_EQ(GNSDKERR_InvalidArg, gnsdk_manager_user_deserialize(nullptr, &user));
    EXPECT_EQ(GNSDKERR_InvalidArg, gnsdk_manager_user_deserialize(good.c_str(), nullptr));
    ASSERT_EQ(GNSDK_SUCCESS, gnsdk_manager_user_deserialize(good.c_str(), &user));
    EXPECT_NE(user_, user);
    EXPECT_EQ(GNSDK_SUCCESS, gnsdk_manager_user_release(user));
    EXPECT_EQ(GNSDKERR_InvalidHandle, gnsdk_manager_user_release(user));
}

TEST_F(GnsdkTest, LogPackagesAndFilter) {
    EXPECT_EQ(GNSDK_SUCCESS, gnsdk_manager_logging_register_package(225, "Tester"));
    EXPECT_EQ(GNSDKERR_PackageIdReserved, gnsdk_manager_logging_register_package(0x80, "Tester"));
    EXPECT_EQ(GNSDKERR_PackageIdReserved, gnsdk_manager_logging_register_package(255, "Tester"));
    EXPECT_EQ(GNSDKERR_InvalidArg, gnsdk_manager_logging_register_package(3, ""));
    EXPECT_EQ(GNSDKERR_InvalidArg, gnsdk_manager_logging_enable_callback(Collect, nullptr, 17, 3));
    EXPECT_EQ(3u, TakeLog().size());

    // Only the DSP package's lines: a manager failure is not passed on.
    ASSERT_EQ(GNSDK_SUCCESS,
              gnsdk_manager_logging_enable_callback(Collect, nullptr, GNSDK_LOG_PKG_DSP, 3));
    gnsdk_user_handle_t user = nullptr;
    gnsdk_manager_user_deserialize("short", &user);
    EXPECT_TRUE(TakeLog().empty());
    gnsdk_dsp_feature_handle_t feature = nullptr;
    gnsdk_dsp_feature_audio_begin(user_, "Nope", 44100, 16, 2, &feature);
    std::vector<LogLine> log = TakeLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ("gnsdk_dsp_feature_audio_begin: unsupported fingerprint algorithm (Nope)",
              log[0].text);

    // Warnings only.
    ASSERT_EQ(GNSDK_SUCCESS, gnsdk_manager_logging_enable_callback(
                                 Collect, nullptr, GNSDK_LOG_PKG_ALL, GNSDK_LOG_LEVEL_WARNING));
    gnsdk_dsp_feature_audio_begin(user_, "Nope", 44100, 16, 2, &feature);
    EXPECT_TRUE(TakeLog().empty());
    ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_audio_begin(user_, GNSDK_DSP_ALGORITHM_MICRO, 44100,
                                                           16, 2, &feature));
    ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_end_of_write(feature));
    ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_end_of_write(feature));
    log = TakeLog();
    ASSERT_EQ(1u, log.size());
    EXPECT_EQ(GNSDK_LOG_LEVEL_WARNING, log[0].mask);
    EXPECT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_release(feature));
}

TEST_F(GnsdkTest, BeginChecksItsArguments) {
    gnsdk_dsp_feature_handle_t feature = nullptr;
    const char* cmx = GNSDK_DSP_ALGORITHM_CMX;
    EXPECT_EQ(DSPERR_InvalidArg, gnsdk_dsp_feature_audio_begin(user_, cmx, 44100, 16, 2, nullptr));
    EXPECT_EQ(DSPERR_InvalidHandle,
              gnsdk_dsp_feature_audio_begin(nullptr, cmx, 44100, 16, 2, &feature));
    const struct {
        const char* algorithm;
        uint32_t rate, bits, channels;
        gnsdk_error_t code;
    } rows[] = {
        {"cantametrix-q", 44100, 16, 2, DSPERR_UnsupportedAlgorithm},
        {nullptr, 44100, 16, 2, DSPERR_UnsupportedAlgorithm},
        {cmx, 0, 16, 2, DSPERR_UnsupportedFormat},
        {cmx, 44100, 16, 0, DSPERR_UnsupportedFormat},
        {cmx, 44100, 16, 33, DSPERR_UnsupportedFormat},
        {cmx, 2000000, 16, 2, DSPERR_UnsupportedFormat},
        {cmx, 44100, 24, 2, DSPERR_UnsupportedFormat},
        {cmx, 44100, 8 | GNSDK_DSP_SAMPLE_FLOAT, 2, DSPERR_UnsupportedFormat},
        {cmx, 44100, 16 | GNSDK_DSP_SAMPLE_FLOAT, 2, DSPERR_UnsupportedFormat},
        {cmx, 44100, GNSDK_DSP_SAMPLE_FLOAT, 2, DSPERR_UnsupportedFormat},
        {cmx, 44100, 128 | GNSDK_DSP_SAMPLE_FLOAT, 2, DSPERR_UnsupportedFormat},
        {GNSDK_DSP_ALGORITHM_NANO, 8000, 8, 6, GNSDK_SUCCESS},
        {GNSDK_DSP_ALGORITHM_NANO, 8000, 16, 6, GNSDK_SUCCESS},
        {GNSDK_DSP_ALGORITHM_NANO, 8000, 32, 6, GNSDK_SUCCESS},
        {GNSDK_DSP_ALGORITHM_NANO, 8000, 32 | GNSDK_DSP_SAMPLE_FLOAT, 6, GNSDK_SUCCESS},
        {GNSDK_DSP_ALGORITHM_NANO, 8000, 64 | GNSDK_DSP_SAMPLE_FLOAT, 6, GNSDK_SUCCESS},
    };
    for (const auto& row : rows) {
        feature = nullptr;
        EXPECT_EQ(row.code, gnsdk_dsp_feature_audio_begin(user_, row.algorithm, row.rate, row.bits,
                                                          row.channels, &feature))
            << row.rate << " " << row.bits << " " << row.channels;
        EXPECT_EQ(row.code == GNSDK_SUCCESS, feature != nullptr);
        if (feature != nullptr) {
            EXPECT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_release(feature));
        }
    }
}

TEST_F(GnsdkTest, CallOrderIsEnforced) {
    gnsdk_dsp_feature_handle_t feature = nullptr;
    ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_audio_begin(user_, GNSDK_DSP_ALGORITHM_CMX, 44100,
                                                           16, 2, &feature));
    gnsdk_cstr_t text = "x";
    EXPECT_EQ(DSPERR_NotEnded, gnsdk_dsp_feature_retrieve_data(feature, nullptr, &text));
    EXPECT_EQ(nullptr, text);
    EXPECT_EQ(DSPERR_InvalidArg, gnsdk_dsp_feature_audio_write(feature, nullptr, 4, nullptr));
    // A layout names as many speakers as there are channels, before any audio.
    EXPECT_EQ(DSPERR_InvalidArg, gnsdk_dsp_feature_audio_channel_layout(feature, 0x7));
    EXPECT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_audio_channel_layout(feature, 0x3));
    std::vector<unsigned char> silence(4000, 0);
    EXPECT_EQ(GNSDK_SUCCESS,
              gnsdk_dsp_feature_audio_write(feature, silence.data(), silence.size(), nullptr));
    EXPECT_EQ(DSPERR_InvalidArg, gnsdk_dsp_feature_audio_channel_layout(feature, 0x3));
    ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_end_of_write(feature));
    gnsdk_bool_t complete = 1;
    EXPECT_EQ(DSPERR_WriteAfterEnd,
              gnsdk_dsp_feature_audio_write(feature, silence.data(), silence.size(), &complete));
    uint32_t quality = 0;
    ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_retrieve_data(feature, &quality, &text));
    EXPECT_STREQ("", text);  // 1000 frames are too few for any fingerprint
    EXPECT_EQ(GNSDK_DSP_FEATURE_QUALITY_SHORT, quality);
    EXPECT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_release(feature));
    EXPECT_EQ(DSPERR_InvalidHandle, gnsdk_dsp_feature_release(feature));
    EXPECT_EQ(DSPERR_InvalidHandle, gnsdk_dsp_feature_end_of_write(nullptr));
    EXPECT_EQ(DSPERR_InvalidHandle, gnsdk_dsp_feature_retrieve_data(nullptr, nullptr, &text));
}

TEST_F(GnsdkTest, BlockSizeDoesNotMatter) {
    const Pcm& pcm = Sample("tune10.wav", 10, 3);
    Result whole = Fingerprint(user_, GNSDK_DSP_ALGORITHM_CMX, pcm, pcm.bytes.size());
    // Odd sizes split frames between writes.
    Result odd = Fingerprint(user_, GNSDK_DSP_ALGORITHM_CMX, pcm, 4097);
    Result tiny = Fingerprint(user_, GNSDK_DSP_ALGORITHM_CMX, pcm, 3);
    ASSERT_EQ(GNSDK_SUCCESS, whole.code);
    EXPECT_FALSE(whole.text.empty());
    EXPECT_EQ(whole.text, odd.text);
    EXPECT_EQ(whole.text, tiny.text);

    // The same samples one plane per channel, in uneven runs.
    const size_t frames = pcm.bytes.size() / 4;
    std::vector<int16_t> left(frames), right(frames);
    for (size_t i = 0; i < frames; ++i) {
        std::memcpy(&left[i], &pcm.bytes[4 * i], 2);
        std::memcpy(&right[i], &pcm.bytes[4 * i + 2], 2);
    }
    gnsdk_dsp_feature_handle_t feature = nullptr;
    ASSERT_EQ(GNSDK_SUCCESS,
              gnsdk_dsp_feature_audio_begin(user_, GNSDK_DSP_ALGORITHM_CMX, 44100,
                                            16 | GNSDK_DSP_SAMPLE_PLANAR, 2, &feature));
    EXPECT_EQ(DSPERR_InvalidArg,
              gnsdk_dsp_feature_audio_write(feature, pcm.bytes.data(), 4, nullptr));
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
    const Pcm& pcm = Sample("tune45.wav", 45, 1);
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
    const Pcm& otherPcm = Sample("other45.wav", 45, 6);
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
        Pcm cut = Sample("tune10.wav", 10, 3);
        cut.bytes.resize(static_cast<size_t>(cut.sampleRate) * cut.channels * 2 * row.tenths / 10);
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

TEST_F(GnsdkTest, ReleaseWithoutEndOfWrite) {
    // The handle's worker may still hold queued audio; release stops it.
    const Pcm& pcm = Sample("tune45.wav", 45, 1);
    gnsdk_dsp_feature_handle_t feature = nullptr;
    ASSERT_EQ(GNSDK_SUCCESS,
              gnsdk_dsp_feature_audio_begin(user_, GNSDK_DSP_ALGORITHM_CMX, pcm.sampleRate,
                                            pcm.bits, pcm.channels, &feature));
    for (size_t offset = 0; offset + 65536 <= pcm.bytes.size(); offset += 65536) {
        ASSERT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_audio_write(feature, pcm.bytes.data() + offset,
                                                               65536, nullptr));
    }
    EXPECT_EQ(GNSDK_SUCCESS, gnsdk_dsp_feature_release(feature));
}

TEST_F(GnsdkTest, HandlesWorkInParallel) {
    const Pcm& first = Sample("tune45.wav", 45, 1);
    const Pcm& second = Sample("other45.wav", 45, 6);
    Result expectFirst = Fingerprint(user_, GNSDK_DSP_ALGORITHM_CMX, first, 176400);
    Result expectSecond = Fingerprint(user_, GNSDK_DSP_ALGORITHM_CMX, second, 176400);
    Result gotFirst, gotSecond;
    std::thread a([&] { gotFirst = Fingerprint(user_, GNSDK_DSP_ALGORITHM_CMX, first, 176400); });
    std::thread b([&] { gotSecond = Fingerprint(user_, GNSDK_DSP_ALGORITHM_CMX, second, 176400); });
    a.join();
    b.join();
    EXPECT_EQ(expectFirst.text, gotFirst.text);
    EXPECT_EQ(expectSecond.text, gotSecond.text);
}

}  // namespace

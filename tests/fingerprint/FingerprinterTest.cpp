// The fingerprinter over the real decoder and SDK: fingerprints compared with
// fpcalc's, the error records, and how far each algorithm decodes.

#include "fingerprint/Fingerprinter.h"

#include <gtest/gtest.h>

#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "audio/DecoderSystem.h"
#include "fingerprint/FingerprintSystem.h"
#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace {

const std::string kCmx = "Cantametrix-Q";
const std::string kMicro = "MicroFAPI-Q";
const std::string kNano = "NanoFAPI-Q";

class SystemsEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_TRUE(DecoderSystem::Init());
        ASSERT_TRUE(FingerprintSystem::Init());
    }
};

const ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new SystemsEnvironment());

// A generated tune (see media::tune) encoded with `args`, cached by name.
std::string Sample(const std::string& name, double seconds, int seed, const std::string& args = "",
                   int channels = 0) {
    return media::ffmpeg(name, media::tune(seconds, seed, channels) + " " + args);
}

std::string DecodeBase64(const std::string& text) {
    typedef boost::archive::iterators::transform_width<
        boost::archive::iterators::binary_from_base64<std::string::const_iterator>, 8, 6>
        FromBase64;
    std::string bytes(FromBase64(text.begin()), FromBase64(text.end()));
    // The encoder pads the last group with zero bits, never whole bytes.
    return bytes.substr(0, text.size() * 6 / 8);
}

// Passes every call to a real decoder and counts the blocks it hands out.
class CountingDecoder : public IDecoder {
  public:
    CountingDecoder() : inner_(DecoderSystem::CreateDecoder()) {}
    bool Decode(const std::string& path, AudioData& out) override {
        return inner_->Decode(path, out);
    }
    bool Decode(const std::string& path, AudioData& out, int start, int steps) override {
        return inner_->Decode(path, out, start, steps);
    }
    bool StartDecode(const std::string& path, int start, AudioHeader& header) override {
        ++starts;
        return inner_->StartDecode(path, start, header);
    }
    bool StartDecode(const std::string& path, int start, AudioHeader& header,
                     Output output) override {
        ++starts;
        return inner_->StartDecode(path, start, header, output);
    }
    bool StepDecode(std::vector<unsigned char>& block, bool& done) override {
        ++steps;
        return inner_->StepDecode(block, done);
    }
    bool EndDecode(double* seconds) override {
        ++ends;
        return inner_->EndDecode(seconds);
    }
    int starts = 0;
    int steps = 0;
    int ends = 0;

  private:
    boost::shared_ptr<IDecoder> inner_;
};

struct Outcome {
    bool ok = false;
    std::map<std::string, std::string> fingerprints;
    std::string error;
};

Outcome FingerprintFile(const std::string& path, const std::set<std::string>& algorithms,
                        boost::shared_ptr<IDecoder> decoder = DecoderSystem::CreateDecoder()) {
    Outcome outcome;
    outcome.fingerprints["stale"] = "the fingerprinter clears its output";
    boost::shared_ptr<IFingerprinter> fingerprinter = FingerprintSystem::CreateFingerprinter();
    outcome.ok =
        fingerprinter->Fingerprint(decoder, path, algorithms, outcome.fingerprints, outcome.error);
    return outcome;
}

std::string Record(uint32_t code, const std::string& source, const std::string& message) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%x", code);
    return std::string("***ERROR***: GNSDK Error(") + hex + "): " + message +
           "\n\tSource File: " + source + "\n\tFile: Fingerprinter.cpp\n\tLine: ";
}

// Codecs, sample types, rates and channel counts the host meets, with lengths
// around the 30- and 120-second limits; "wide" files differ between their
// channels and "loud" ones reach full scale, where rounding differences show
// first; the quad file names speakers that are not the usual ones for four
// channels; "300-tags" files carry more tag fields than a well-tagged library
// file. Each gives exactly what fpcalc prints.
struct SweepFile {
    const char* name;
    double seconds;
    int seed;
    const char* codecArgs;
    int distinctChannels = 0;  // 0: one generated channel, written as stereo
    int tags = 0;              // fields written besides the encoder's own
};

// `count` tag fields for the ffmpeg command line.
std::string TagArgs(int count) {
    std::vector<std::pair<std::string, std::string>> fields;
    for (int i = 0; i < count; ++i)
        fields.emplace_back("custom_field_" + std::to_string(i), "value " + std::to_string(i));
    return media::tags(fields);
}

#define WIDE_LOUD "-af 'volume=1.6,pan=stereo|c0=c0|c1=-0.6*c1' "

const SweepFile SWEEP[] = {
    {"fp-mp3cbr-44k-stereo-120.4s.mp3", 120.4, 31, "-c:a libmp3lame -b:a 192k"},
    {"fp-mp3vbr-22k-mono-30.4s.mp3", 30.4, 32, "-ar 22050 -ac 1 -c:a libmp3lame -q:a 2"},
    {"fp-aac-48k-stereo-29.6s.m4a", 29.6, 33, "-ar 48000 -c:a aac"},
    {"fp-adts-44k-300-tags-45s.aac", 45, 19, "-c:a aac -f adts -write_id3v2 1 -write_apetag 1", 0,
     300},
    {"fp-alac16-44k-wide-loud-300-tags-45s.m4a", 45, 34,
     WIDE_LOUD "-c:a alac -sample_fmt s16p -movflags use_metadata_tags", 0, 300},
    {"fp-alac24-96k-mono-20s.m4a", 20, 35, "-ar 96000 -ac 1 -c:a alac -sample_fmt s32p"},
    {"fp-flac16-8k-mono-30s.flac", 30, 36, "-ar 8000 -ac 1 -sample_fmt s16"},
    {"fp-flac16-44k-wide-loud-119.6s.flac", 119.6, 37, WIDE_LOUD "-sample_fmt s16"},
    {"fp-vorbis-32k-wide-120s.ogg", 120, 39, WIDE_LOUD "-ar 32000 -c:a libvorbis"},
    {"fp-wav8-11k-mono-20s.wav", 20, 40, "-ar 11025 -ac 1 -c:a pcm_u8"},
    {"fp-mp3-44k-300-tags-9.5s.mp3", 9.5, 23, "-c:a libmp3lame -id3v2_version 3", 0, 300},
    {"fp-wav24-16k-stereo-30.4s.wav", 30.4, 42, "-ar 16000 -c:a pcm_s24le"},
    {"fp-wavf64-96k-stereo-12s.wav", 12, 11, "-ar 96000 -c:a pcm_f64le"},
    {"fp-wavf32-48k-mono-loud-29.6s.wav", 29.6, 43,
     "-ar 48000 -ac 1 -af volume=1.6 -c:a pcm_f32le"},
    {"fp-aiff16-22k-wide-loud-47s.aiff", 47, 44, WIDE_LOUD "-ar 22050"},
    {"fp-flac24-22k-quad-20s.flac", 20, 45, "-channel_layout quad", 4},
    // 267542 frames at 44.1 kHz leave the converted stream a few samples short
    // of one more Chromaprint frame, which the converter's filter tail would
    // complete; fpcalc does not feed that tail, so neither may we.
    {"fp-tail-267542-frames.wav", 7, 7, "-af aresample=44100,atrim=end_sample=267542"},
};

TEST(Fingerprinter, IdenticalToFpcalc) {
    std::vector<std::string> paths;
    for (const SweepFile& file : SWEEP) {
        paths.push_back(Sample(file.name, file.seconds, file.seed,
                               file.codecArgs + TagArgs(file.tags), file.distinctChannels));
    }
    for (const std::string& path : paths) {
        Outcome outcome = FingerprintFile(path, {kCmx, kMicro});
        ASSERT_TRUE(outcome.ok) << path << "\n" << outcome.error;
        std::string cmx = media::fpcalc(path, 120);
        ASSERT_FALSE(cmx.empty()) << path;
        EXPECT_TRUE(cmx == outcome.fingerprints[kCmx]) << path;
        EXPECT_TRUE(media::fpcalc(path, 30) == DecodeBase64(outcome.fingerprints[kMicro])) << path;
    }
}

TEST(Fingerprinter, AllThreeInOnePass) {
    std::string path = Sample("mixed-b45.flac", 45, 12);
    boost::shared_ptr<CountingDecoder> decoder(new CountingDecoder());
    Outcome all = FingerprintFile(path, {kCmx, kMicro, kNano}, decoder);
    ASSERT_TRUE(all.ok) << all.error;
    EXPECT_EQ(1, decoder->starts);
    EXPECT_EQ(1, decoder->ends);
    EXPECT_EQ(3u, all.fingerprints.size());
    EXPECT_EQ(FingerprintFile(path, {kCmx}).fingerprints[kCmx], all.fingerprints[kCmx]);
    EXPECT_EQ(FingerprintFile(path, {kMicro}).fingerprints[kMicro], all.fingerprints[kMicro]);
    EXPECT_EQ(FingerprintFile(path, {kNano}).fingerprints[kNano], all.fingerprints[kNano]);
}

TEST(Fingerprinter, DecodesOnlyAsFarAsNeeded) {
    std::string path = Sample("mixed-c150.mp3", 150, 13);
    boost::shared_ptr<CountingDecoder> micro(new CountingDecoder());
    ASSERT_TRUE(FingerprintFile(path, {kMicro}, micro).ok);
    // 30 seconds, one block for the conversion delay, one discarded.
    EXPECT_GE(micro->steps, 31);
    EXPECT_LE(micro->steps, 33);
    boost::shared_ptr<CountingDecoder> cmx(new CountingDecoder());
    ASSERT_TRUE(FingerprintFile(path, {kCmx}, cmx).ok);
    EXPECT_GE(cmx->steps, 121);
    EXPECT_LE(cmx->steps, 123);
    boost::shared_ptr<CountingDecoder> none(new CountingDecoder());
    Outcome empty = FingerprintFile(path, {}, none);
    EXPECT_TRUE(empty.ok);
    EXPECT_TRUE(empty.fingerprints.empty());
    EXPECT_EQ(2, none->steps);
}

TEST(Fingerprinter, TooShortFiles) {
    std::string two = Sample("short-2.mp3", 2, 24);
    Outcome cmx = FingerprintFile(two, {kCmx});
    EXPECT_FALSE(cmx.ok);
    EXPECT_EQ(
        0u, cmx.error.find(Record(kAppError, two,
                                  "gnsdk_dsp_feature_retrieve_data returned invalid data (EMPTY)")))
        << cmx.error;
    Outcome micro = FingerprintFile(two, {kMicro});
    EXPECT_FALSE(micro.ok);
    EXPECT_NE(std::string::npos, micro.error.find("(EMPTY)"));

    // Under three seconds but enough for some fingerprint: only the
    // Cantametrix-Q result asks for the short flag.
    std::string almost = Sample("short-2.9.wav", 2.9, 25);
    cmx = FingerprintFile(almost, {kCmx});
    EXPECT_FALSE(cmx.ok);
    EXPECT_EQ(
        0u, cmx.error.find(Record(kAppError, almost,
                                  "gnsdk_dsp_feature_retrieve_data returned invalid data (SHORT)")))
        << cmx.error;
    micro = FingerprintFile(almost, {kMicro, kNano});
    EXPECT_TRUE(micro.ok) << micro.error;
}

// Refused before any decoding: no decoder, an algorithm the SDK does not know.
// A file that does not decode fails, and the decoder serves the next file.
TEST(Fingerprinter, Failures) {
    std::string path = Sample("mixed-a10.mp3", 10, 11);
    Outcome none = FingerprintFile(path, {kCmx}, boost::shared_ptr<IDecoder>());
    EXPECT_FALSE(none.ok);
    EXPECT_TRUE(none.fingerprints.empty());
    EXPECT_EQ(0u, none.error.find(Record(kAppError, path, "invalid decoder"))) << none.error;
    boost::shared_ptr<CountingDecoder> decoder(new CountingDecoder());
    Outcome bad = FingerprintFile(path, {kCmx, "MICRO", "Alpha"}, decoder);
    EXPECT_FALSE(bad.ok);
    EXPECT_EQ(
        0u, bad.error.find(Record(kAppError, path, "invalid algorithm specified for GNSDK: Alpha")))
        << bad.error;
    EXPECT_EQ(0, decoder->starts);
    testsupport::TempDir dir;
    testsupport::writeFile(dir / "not-audio.mp3", "this is not audio at all\n");
    EXPECT_FALSE(FingerprintFile(dir / "not-audio.mp3", {kCmx}, decoder).ok);
    EXPECT_EQ(1, decoder->ends);
    Outcome next = FingerprintFile(path, {kCmx}, decoder);
    EXPECT_TRUE(next.ok) << next.error;
}

}  // namespace

// One fingerprint in progress: converts the written PCM and feeds Chromaprint.
#pragma once

#include <chromaprint.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "platform/gnsdk/Resampler.h"
#include "platform/gnsdk/gnsdk.h"

namespace Ostra::gnsdk {

enum class Algorithm {
    Micro,  // compressed fingerprint of the first 30 seconds
    Nano,   // 32-bit similarity hash of the first 30 seconds' fingerprint
    Cmx,    // compressed fingerprint of the first 120 seconds
};

// False when `name` is not one of the three algorithm names.
bool AlgorithmFromName(const char* name, Algorithm& algorithm);

// Chromaprint works on 11025 Hz mono; every input is converted to that first.
constexpr int kFingerprintRate = 11025;
// Fewer converted samples than this raise GNSDK_DSP_FEATURE_QUALITY_SHORT:
// three seconds is about the shortest audio whose fingerprint still tells
// recordings apart.
constexpr int64_t kShortSamples = 3 * kFingerprintRate;

// One fingerprint of one stream of PCM. The SDK's feature handle owns one; it
// is used by one thread at a time. Methods return an SDK code and, on failure,
// a reason in `why` for the log.
class Feature {
  public:
    explicit Feature(Algorithm algorithm);
    Feature(const Feature&) = delete;
    Feature& operator=(const Feature&) = delete;

    gnsdk_error_t Begin(uint32_t sampleRate, uint32_t bitsPerSample, uint32_t channels,
                        std::string& why);
    // Before the first write: the channels' speaker positions (0: the usual
    // order for the count).
    gnsdk_error_t SetChannelLayout(uint64_t mask, std::string& why);
    gnsdk_error_t Write(const uint8_t* data, size_t size, bool& complete, std::string& why);
    // For a feature begun planar: `frames` samples of each channel at planes[c].
    gnsdk_error_t WritePlanes(const uint8_t* const* planes, size_t frames, bool& complete,
                              std::string& why);
    gnsdk_error_t EndOfWrite(std::string& why);
    gnsdk_error_t Retrieve(uint32_t* quality, const char** text) const;

    bool Ended() const { return m_ended; }

  private:
    struct ChromaprintFree {
        void operator()(ChromaprintContext* ctx) const { chromaprint_free(ctx); }
    };

    // (Re)creates the converter for the begun format and `layout`.
    gnsdk_error_t StartConverter(uint64_t layout, std::string& why);
    gnsdk_error_t WriteBytes(const uint8_t* data, size_t size, std::string& why);
    // Writes whole frames, interleaved at planes[0] or planar (which this
    // advances); `frames` may be large, it is converted in slices.
    gnsdk_error_t WriteFrames(const uint8_t** planes, size_t frames, std::string& why);
    // Starts the write calls share: false with the code when nothing may be written.
    bool StartWrite(bool planar, bool& complete, gnsdk_error_t& code, std::string& why);
    // Feeds converted samples up to the algorithm's duration.
    gnsdk_error_t Feed(const int16_t* samples, int64_t count, std::string& why);
    gnsdk_error_t Finish(std::string& why);

    Algorithm m_algorithm;
    int64_t m_limit;  // converted samples the algorithm uses
    int64_t m_fed = 0;
    bool m_complete = false;
    bool m_ended = false;
    bool m_failed = false;  // a write or the end failed: no fingerprint
    bool m_written = false;
    bool m_planar = false;  // written through WritePlanes
    AVSampleFormat m_format = AV_SAMPLE_FMT_NONE;
    uint32_t m_sampleRate = 0;
    uint32_t m_channels = 0;
    size_t m_frameBytes = 0;
    size_t m_sampleBytes = 0;
    std::unique_ptr<Resampler> m_resampler;  // null when the input is already 11025 Hz mono 16-bit
    std::unique_ptr<ChromaprintContext, ChromaprintFree> m_chromaprint;
    std::vector<uint8_t> m_partial;  // bytes of a frame split across writes
    std::vector<int16_t> m_aligned;  // 16-bit input copied for alignment
    std::string m_text;
    uint32_t m_quality = 0;
};

}  // namespace Ostra::gnsdk

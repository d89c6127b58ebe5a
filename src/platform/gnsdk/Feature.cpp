#include "platform/gnsdk/Feature.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace Ostra::gnsdk {

namespace {

// Frames converted per libswresample call, which bounds the output buffer.
constexpr size_t kSliceFrames = 1 << 16;
constexpr uint32_t kMaxSampleRate = 1000000;
// As many channels as the decoder passes on; libswresample mixes down up to 64.
constexpr uint32_t kMaxChannels = 32;

int64_t SecondsFor(Algorithm algorithm) {
    return algorithm == Algorithm::Cmx ? 120 : 30;
}

// The sample format that bits_per_sample (with its float flag) names;
// AV_SAMPLE_FMT_NONE for any other value.
AVSampleFormat FormatFor(uint32_t bitsPerSample) {
    switch (bitsPerSample) {
        case 8:
            return AV_SAMPLE_FMT_U8;
        case 16:
            return AV_SAMPLE_FMT_S16;
        case 32:
            return AV_SAMPLE_FMT_S32;
        case 32 | GNSDK_DSP_SAMPLE_FLOAT:
            return AV_SAMPLE_FMT_FLT;
        case 64 | GNSDK_DSP_SAMPLE_FLOAT:
            return AV_SAMPLE_FMT_DBL;
        default:
            return AV_SAMPLE_FMT_NONE;
    }
}

}  // namespace

bool AlgorithmFromName(const char* name, Algorithm& algorithm) {
    if (name == nullptr) return false;
    if (std::strcmp(name, GNSDK_DSP_ALGORITHM_MICRO) == 0) {
        algorithm = Algorithm::Micro;
    } else if (std::strcmp(name, GNSDK_DSP_ALGORITHM_NANO) == 0) {
        algorithm = Algorithm::Nano;
    } else if (std::strcmp(name, GNSDK_DSP_ALGORITHM_CMX) == 0) {
        algorithm = Algorithm::Cmx;
    } else {
        return false;
    }
    return true;
}

Feature::Feature(Algorithm algorithm)
    : m_algorithm(algorithm), m_limit(SecondsFor(algorithm) * kFingerprintRate) {}

gnsdk_error_t Feature::Begin(uint32_t sampleRate, uint32_t bitsPerSample, uint32_t channels,
                             std::string& why) {
    m_planar = (bitsPerSample & GNSDK_DSP_SAMPLE_PLANAR) != 0;
    const AVSampleFormat format = FormatFor(bitsPerSample & ~GNSDK_DSP_SAMPLE_PLANAR);
    if (format == AV_SAMPLE_FMT_NONE) {
        why = "bits per sample must be 8, 16 or 32, or 32 or 64 with the float flag";
        return DSPERR_UnsupportedFormat;
    }
    if (sampleRate == 0 || sampleRate > kMaxSampleRate) {
        why = "sample rate out of range";
        return DSPERR_UnsupportedFormat;
    }
    if (channels == 0 || channels > kMaxChannels) {
        why = "channel count out of range";
        return DSPERR_UnsupportedFormat;
    }
    m_format = format;
    m_sampleRate = sampleRate;
    m_channels = channels;
    m_sampleBytes = static_cast<size_t>(av_get_bytes_per_sample(format));
    m_frameBytes = m_sampleBytes * channels;
    gnsdk_error_t code = StartConverter(0, why);
    if (code != GNSDK_SUCCESS) return code;
    m_chromaprint.reset(chromaprint_new(CHROMAPRINT_ALGORITHM_DEFAULT));
    if (!m_chromaprint) {
        why = "no fingerprint context";
        return DSPERR_NoMemory;
    }
    if (!chromaprint_start(m_chromaprint.get(), kFingerprintRate, 1)) {
        why = "the fingerprint context did not start";
        return DSPERR_ProcessingFailed;
    }
    return GNSDK_SUCCESS;
}

gnsdk_error_t Feature::StartConverter(uint64_t layout, std::string& why) {
    m_resampler.reset();
    // fpcalc converts whatever is not 11025 Hz mono 16-bit already.
    if (m_format == AV_SAMPLE_FMT_S16 && m_channels == 1 && m_sampleRate == kFingerprintRate)
        return GNSDK_SUCCESS;
    // Planar or interleaved, the converter turns its input into the same
    // internal samples, so the fingerprint does not depend on which.
    const AVSampleFormat format = m_planar ? av_get_planar_sample_fmt(m_format) : m_format;
    m_resampler.reset(new Resampler());
    if (!m_resampler->Init(format, static_cast<int>(m_sampleRate), static_cast<int>(m_channels),
                           layout, kFingerprintRate, why)) {
        return DSPERR_ProcessingFailed;
    }
    return GNSDK_SUCCESS;
}

gnsdk_error_t Feature::SetChannelLayout(uint64_t mask, std::string& why) {
    if (m_ended) return DSPERR_WriteAfterEnd;
    if (m_written) {
        why = "the channel layout must come before the audio";
        return DSPERR_InvalidArg;
    }
    if (mask != 0 && static_cast<uint32_t>(__builtin_popcountll(mask)) != m_channels) {
        why = "the channel layout names another number of channels";
        return DSPERR_InvalidArg;
    }
    return StartConverter(mask, why);
}

bool Feature::StartWrite(bool planar, bool& complete, gnsdk_error_t& code, std::string& why) {
    complete = m_complete;
    m_written = true;
    code = GNSDK_SUCCESS;
    if (m_ended) {
        code = DSPERR_WriteAfterEnd;
    } else if (m_failed) {
        why = "an earlier write failed";
        code = DSPERR_ProcessingFailed;
    } else if (planar != m_planar) {
        why = m_planar ? "a planar feature is written plane by plane"
                       : "an interleaved feature is written as bytes";
        code = DSPERR_InvalidArg;
    }
    return code == GNSDK_SUCCESS && !m_complete;
}

gnsdk_error_t Feature::Write(const uint8_t* data, size_t size, bool& complete, std::string& why) {
    gnsdk_error_t code;
    if (!StartWrite(false, complete, code, why) || size == 0) return code;
    code = WriteBytes(data, size, why);
    if (code != GNSDK_SUCCESS) m_failed = true;
    complete = m_complete;
    return code;
}

gnsdk_error_t Feature::WritePlanes(const uint8_t* const* planes, size_t frames, bool& complete,
                                   std::string& why) {
    gnsdk_error_t code;
    if (!StartWrite(true, complete, code, why) || frames == 0) return code;
    const uint8_t* cursor[kMaxChannels];
    for (uint32_t c = 0; c < m_channels; ++c) {
        cursor[c] = planes[c];
        if (cursor[c] == nullptr) {
            why = "a channel without samples";
            m_failed = true;
            return DSPERR_InvalidArg;
        }
    }
    code = WriteFrames(cursor, frames, why);
    if (code != GNSDK_SUCCESS) m_failed = true;
    complete = m_complete;
    return code;
}

gnsdk_error_t Feature::WriteBytes(const uint8_t* data, size_t size, std::string& why) {
    if (!m_partial.empty()) {
        size_t take = std::min(m_frameBytes - m_partial.size(), size);
        m_partial.insert(m_partial.end(), data, data + take);
        data += take;
        size -= take;
        if (m_partial.size() < m_frameBytes) return GNSDK_SUCCESS;
        const uint8_t* partial = m_partial.data();
        gnsdk_error_t code = WriteFrames(&partial, 1, why);
        m_partial.clear();
        if (code != GNSDK_SUCCESS) return code;
    }
    size_t frames = size / m_frameBytes;
    const uint8_t* whole = data;
    gnsdk_error_t code = WriteFrames(&whole, frames, why);
    if (code != GNSDK_SUCCESS) return code;
    if (!m_complete) m_partial.assign(data + frames * m_frameBytes, data + size);
    return GNSDK_SUCCESS;
}

gnsdk_error_t Feature::WriteFrames(const uint8_t** planes, size_t frames, std::string& why) {
    const uint32_t count = m_planar ? m_channels : 1;
    const size_t step = m_planar ? m_sampleBytes : m_frameBytes;
    while (frames > 0 && !m_complete) {
        size_t slice = std::min(frames, kSliceFrames);
        gnsdk_error_t code;
        if (m_resampler) {
            int produced = m_resampler->Convert(planes, static_cast<int>(slice));
            if (produced < 0) {
                why = "conversion failed";
                return DSPERR_ProcessingFailed;
            }
            code = Feed(m_resampler->Output(), produced, why);
        } else {
            // Already 11025 Hz mono 16-bit; copied because the caller's bytes
            // need not be aligned for 16-bit access.
            m_aligned.resize(slice);
            std::memcpy(m_aligned.data(), planes[0], slice * sizeof(int16_t));
            code = Feed(m_aligned.data(), static_cast<int64_t>(slice), why);
        }
        if (code != GNSDK_SUCCESS) return code;
        for (uint32_t c = 0; c < count; ++c) planes[c] += slice * step;
        frames -= slice;
    }
    return GNSDK_SUCCESS;
}

gnsdk_error_t Feature::Feed(const int16_t* samples, int64_t count, std::string& why) {
    count = std::min(count, m_limit - m_fed);
    if (count > 0 && !chromaprint_feed(m_chromaprint.get(), samples, static_cast<int>(count))) {
        why = "the fingerprint context refused the audio";
        return DSPERR_ProcessingFailed;
    }
    m_fed += count;
    if (m_fed >= m_limit) m_complete = true;
    return GNSDK_SUCCESS;
}

gnsdk_error_t Feature::EndOfWrite(std::string& why) {
    if (m_ended) return GNSDK_SUCCESS;
    m_ended = true;
    // The converter still holds the last few samples of its filter delay
    // (about ten at 44.1 kHz). fpcalc never drains them, and feeding them
    // would now and then complete one more Chromaprint frame and so change
    // the text; they are dropped to keep the texts equal.
    m_resampler.reset();
    m_partial.clear();
    if (m_failed) {
        why = "an earlier write failed";
        return DSPERR_ProcessingFailed;
    }
    gnsdk_error_t code = Finish(why);
    if (code != GNSDK_SUCCESS) m_failed = true;
    return code;
}

gnsdk_error_t Feature::Finish(std::string& why) {
    ChromaprintContext* ctx = m_chromaprint.get();
    if (!chromaprint_finish(ctx)) {
        why = "the fingerprint context did not finish";
        return DSPERR_ProcessingFailed;
    }
    if (m_fed < kShortSamples) m_quality |= GNSDK_DSP_FEATURE_QUALITY_SHORT;
    int items = 0;
    if (!chromaprint_get_raw_fingerprint_size(ctx, &items)) {
        why = "no fingerprint size";
        return DSPERR_ProcessingFailed;
    }
    if (items <= 0) return GNSDK_SUCCESS;  // too little audio for any fingerprint: empty text
    if (m_algorithm == Algorithm::Nano) {
        uint32_t hash = 0;
        if (!chromaprint_get_fingerprint_hash(ctx, &hash)) {
            why = "no fingerprint hash";
            return DSPERR_ProcessingFailed;
        }
        char text[9];
        std::snprintf(text, sizeof text, "%08x", hash);
        m_text = text;
    } else {
        char* fingerprint = nullptr;
        if (!chromaprint_get_fingerprint(ctx, &fingerprint) || fingerprint == nullptr) {
            why = "no fingerprint";
            return DSPERR_ProcessingFailed;
        }
        m_text = fingerprint;
        chromaprint_dealloc(fingerprint);
    }
    m_chromaprint.reset();
    return GNSDK_SUCCESS;
}

gnsdk_error_t Feature::Retrieve(uint32_t* quality, const char** text) const {
    if (!m_ended) return DSPERR_NotEnded;
    if (m_failed) return DSPERR_ProcessingFailed;
    if (quality != nullptr) *quality = m_quality;
    *text = m_text.c_str();
    return GNSDK_SUCCESS;
}

}  // namespace Ostra::gnsdk

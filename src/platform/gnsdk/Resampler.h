// Conversion of decoded PCM to the fingerprint's input format.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

extern "C" {
#include <libavutil/samplefmt.h>
}

#include "lib/ffmpeg/Owners.h"

namespace Ostra::gnsdk {

// Converts interleaved or planar PCM to mono signed 16-bit at another rate with
// libswresample, configured as fpcalc's audio reader configures it (filter
// size 16, phase shift 8, linear interpolation, cutoff 0.8, the default
// layout for the channel count), and like it leaving the internal sample
// format to libswresample: 16-bit for 8- and 16-bit input, float for 32-bit
// integers and float, double for double. Given the decoder's own samples,
// as fpcalc's converter is, it makes the same samples and therefore the same
// fingerprint. Owned and used by one thread at a time.
class Resampler {
  public:
    Resampler() = default;
    Resampler(const Resampler&) = delete;
    Resampler& operator=(const Resampler&) = delete;

    // False with a reason when libswresample refuses the format.
    // `layout` names the channels' speaker positions (an AV_CH_* mask); 0
    // means the usual order for the channel count.
    bool Init(AVSampleFormat format, int sampleRate, int channels, uint64_t layout, int outRate,
              std::string& why);
    // Converts `frames` frames: interleaved at in[0], or one plane per
    // channel when Init was given a planar format. Returns the number of
    // output samples, which stay readable at Output() until the next call, or -1.
    int Convert(const uint8_t* const* in, int frames);
    const int16_t* Output() const { return m_out.data(); }

  private:
    Ostra::ffmpeg::ResamplerPtr m_swr;
    std::vector<int16_t> m_out;
};

}  // namespace Ostra::gnsdk

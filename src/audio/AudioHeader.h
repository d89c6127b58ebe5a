#pragma once

#include <cstdint>
#include <string>

// Format of interleaved PCM: a plain value, safe to copy between threads.
struct AudioHeader {
    int channels = 0;
    // 1 (unsigned), 2 or 4 (signed) for integer samples; 4 or 8 for float.
    int bytesPerSample = 0;
    int sampleRate = 0;
    // IEEE floating-point samples, which only a native decode delivers.
    bool isFloat = false;
    // Speaker positions of the channels (FFmpeg's AV_CH_* mask) as the codec
    // names them, which only a native decode reports; 0: none named, the
    // usual order for the channel count.
    uint64_t channelLayout = 0;

    AudioHeader() = default;
    AudioHeader(int channelCount, int bytes, int rate, bool floatSamples = false)
        : channels(channelCount), bytesPerSample(bytes), sampleRate(rate), isFloat(floatSamples) {}
    // Parses "rate:bits:channels" (integer samples); fields the text does not
    // supply stay zero.
    explicit AudioHeader(const std::string& text);

    bool IsValid() const;
    bool operator==(const AudioHeader& other) const;
    bool operator!=(const AudioHeader& other) const { return !(*this == other); }
    // "rate:bits:channels", for example "44100:16:2"; it does not say float.
    operator std::string() const;
};

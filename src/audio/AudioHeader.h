#pragma once

#include <string>

// Format of interleaved PCM: a plain value, safe to copy between threads.
struct AudioHeader {
    int channels = 0;
    int bytesPerSample = 0;
    int sampleRate = 0;

    AudioHeader() = default;
    AudioHeader(int channelCount, int bytes, int rate)
        : channels(channelCount), bytesPerSample(bytes), sampleRate(rate) {}
    // Parses "rate:bits:channels"; fields the text does not supply stay zero.
    explicit AudioHeader(const std::string& text);

    bool IsValid() const;
    bool operator==(const AudioHeader& other) const;
    bool operator!=(const AudioHeader& other) const { return !(*this == other); }
    // "rate:bits:channels", for example "44100:16:2".
    operator std::string() const;
};

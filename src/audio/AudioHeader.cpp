#include "audio/AudioHeader.h"

#include <cstdio>

AudioHeader::AudioHeader(const std::string& text) {
    int bits = 0;
    std::sscanf(text.c_str(), "%d:%d:%d", &sampleRate, &bits, &channels);
    bytesPerSample = bits / 8;
}

bool AudioHeader::IsValid() const {
    return channels >= 1 && bytesPerSample >= 1 && sampleRate >= 1;
}

bool AudioHeader::operator==(const AudioHeader& other) const {
    return channels == other.channels && bytesPerSample == other.bytesPerSample &&
           sampleRate == other.sampleRate && isFloat == other.isFloat &&
           channelLayout == other.channelLayout;
}

AudioHeader::operator std::string() const {
    return std::to_string(sampleRate) + ":" + std::to_string(bytesPerSample * 8) + ":" +
           std::to_string(channels);
}

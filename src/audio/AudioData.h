#pragma once

#include <string>
#include <vector>

#include "audio/AudioHeader.h"

// One decoded file, owning its samples. A plain value used by one thread at a time.
struct AudioData {
    AudioHeader header;
    std::vector<unsigned char> samples;  // interleaved PCM, frames in time order
    double duration = 0.0;               // seconds decoded

    bool IsValid() const;
    // Writes a canonical 44-byte-header PCM WAV file. False when the data is not
    // valid (nothing is created then), when it does not fit the 32-bit size
    // fields, or when the file could not be written completely.
    bool WriteWAV(const std::string& path) const;
};

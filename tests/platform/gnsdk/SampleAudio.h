// Synthetic audio for the fingerprint tests, made with the ffmpeg command-line
// tool: a different sequence of notes over faint noise for each seed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sampleaudio {

// Writes `seconds` of stereo 44.1 kHz audio (the same in both channels) for `seed` to `path`,
// encoded as the file name's extension implies unless `codecArgs` says otherwise. True when ffmpeg
// succeeded. With `distinctChannels`, that many channels of their own instead (at 22.05 kHz
// unless `codecArgs` says otherwise).
bool Make(const std::string& path, double seconds, int seed, const std::string& codecArgs = "",
          int distinctChannels = 0);

// A generated file in the build's shared sample folder, made on first use
// (one process at a time may write it; others wait for the finished file by
// its atomic rename). `name` says what the file exercises and must be unique
// for its parameters.
std::string Sample(const std::string& name, double seconds, int seed,
                   const std::string& codecArgs = "", int distinctChannels = 0);

// Decoded PCM of a file, interleaved at its own rate and channel count.
struct Pcm {
    int sampleRate = 0;
    int channels = 0;
    // The SDK's bits_per_sample for the samples (with its float flag).
    uint32_t bits = 16;
    // The channels' speaker positions (AV_CH_* mask); 0 for the usual order.
    uint64_t layout = 0;
    std::vector<unsigned char> bytes;
    size_t FrameBytes() const { return static_cast<size_t>((bits & 0xFF) / 8) * channels; }
};
// Decodes with the ffmpeg tool to `format`: one of its raw formats "u8",
// "s16le", "s32le", "f32le", "f64le". Asking for the codec's own sample type
// gives the codec's samples unchanged.
bool Decode(const std::string& path, Pcm& pcm, const std::string& format = "s16le");

// What `fpcalc -length <seconds> -plain` prints for the file (without the
// end of line); empty when it printed nothing.
std::string Fpcalc(const std::string& path, int seconds);

// Chromaprint's similarity of two compressed fingerprints: the share of
// equal bits over the best alignment, 0 to 1.
double Similarity(const std::string& a, const std::string& b);

// Decodes a compressed fingerprint to its raw 32-bit items.
std::vector<uint32_t> RawFingerprint(const std::string& compressed);

}  // namespace sampleaudio

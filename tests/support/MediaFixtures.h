// Real audio files for the tests, made by the ffmpeg command line and kept in
// the build tree: one generation serves every test process of every run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace media {

// The file `name` made by the shell `script`, which writes it to "$OUT".
// Cached under a folder named for the script and the Python programs it runs,
// so a changed recipe makes a new file; concurrent processes each write a
// private file and rename it in place. Fails the calling test and returns ""
// when the script fails.
std::string make(const std::string& name, const std::string& script);
// make() with `ffmpeg -nostdin -v error -y ARGS "$OUT"`.
std::string ffmpeg(const std::string& name, const std::string& args);

// lavfi inputs ("-f lavfi -i ..."): a two-tone mix with noise (stereo has a
// different signal per channel), and for fingerprints a tune whose note
// sequence depends on the seed, either mono upmixed to stereo 44.1 kHz or
// `channels` distinct channels at 22.05 kHz.
std::string tone(double seconds, int rate = 44100, int channels = 2);
std::string tune(double seconds, int seed, int channels = 0);
// " -metadata key='value'" for each pair.
std::string tags(const std::vector<std::pair<std::string, std::string>>& fields);
std::string quote(const std::string& text);

// What `ffmpeg -i PATH -f FORMAT -` prints: raw samples in one of its formats
// ("u8", "s16le", "s32le", "f32le", "f64le").
std::string decode(const std::string& path, const std::string& format = "s16le");
// Largest per-sample difference of two s16le buffers (over the shorter).
int maxSampleDifference(const std::string& a, const std::string& b);
// `fpcalc -length SECONDS -plain PATH` without the line end.
std::string fpcalc(const std::string& path, int seconds);
// Chromaprint's raw items of a compressed fingerprint.
std::vector<uint32_t> rawFingerprint(const std::string& compressed);
// Integers as the bytes files hold them: big- and little-endian 32 bits, and
// the 28-bit synchsafe form of ID3v2 sizes.
std::string be32(std::uint32_t value);
std::string le32(std::uint32_t value);
std::string synchsafe(std::uint32_t value);
// `openssl dgst -sha1` of a file, in hex.
std::string sha1OfFile(const std::string& path);

}  // namespace media

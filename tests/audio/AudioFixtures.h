// Audio files generated once per test run with the ffmpeg tool into a
// temporary folder, and the reference decodes the tests compare against.
#pragma once

#include <string>
#include <vector>

namespace audiotest {

struct Fixture {
    std::string name;  // file name inside fixtureDir()
    int channels;
    int sampleRate;
    int bytesPerSample;  // as the decoder delivers it
    bool lossless;
    double seconds;  // nominal length
};

// Every generated file, one per format and layout exercised.
const std::vector<Fixture>& fixtures();
const Fixture& fixture(const std::string& name);
// Folder holding the generated files: a cache under the system temp folder,
// filled on first use and shared by the test processes of later runs.
const std::string& fixtureDir();
std::string fixturePath(const std::string& name);

// A fresh, empty folder for one test's outputs, removed at exit.
std::string scratchDir();

// What `ffmpeg -i F -f s16le -acodec pcm_s16le -` prints for a file.
std::string ffmpegS16(const std::string& path);
// The same in another of ffmpeg's raw formats ("u8", "s32le", "f32le", ...).
std::string ffmpegRaw(const std::string& path, const std::string& format);
int run(const std::string& command);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);
bool exists(const std::string& path);

// Decoded bytes widened to signed 16-bit little-endian, as ffmpeg prints them.
std::string asS16(const std::vector<unsigned char>& samples, int bytesPerSample);
// Largest per-sample difference of two s16le buffers of the same size.
int maxSampleDifference(const std::string& a, const std::string& b);

}  // namespace audiotest

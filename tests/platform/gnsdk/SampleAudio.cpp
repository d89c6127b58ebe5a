#include "platform/gnsdk/SampleAudio.h"

#include <chromaprint.h>

#include <algorithm>
#include <bitset>
#include <boost/filesystem.hpp>
#include <cstdio>
#include <map>
#include <sstream>

#include "platform/gnsdk/gnsdk.h"
#include "support/TestHost.h"

namespace sampleaudio {

namespace {

// One channel: a note that changes a few times a second, its fifth, a slower
// bass line and faint noise. The seed picks the tempo and the note sequence.
std::string Channel(int seed, int channel) {
    std::ostringstream e;
    int tempo = 3 + seed % 4;
    int step = 5 + seed % 7;
    e << "0.35*sin(2*PI*t*110*pow(2\\,mod(floor(t*" << tempo << ")*" << step << "+" << seed * 3
      << "\\,24)/12))"
      << "+0.2*sin(2*PI*t*165*pow(2\\,mod(floor(t*" << tempo << ")*" << step + 2 << "+" << seed
      << "+" << channel << "\\,19)/12))"
      << "+0.15*sin(2*PI*t*55*pow(2\\,mod(floor(t*" << tempo << "/4)*" << seed + 3 << "\\,12)/12))"
      << "+0.03*(random(" << channel << ")-0.5)";
    return e.str();
}

}  // namespace

bool Make(const std::string& path, double seconds, int seed, const std::string& codecArgs,
          int distinctChannels) {
    // Computed as mono at 22.05 kHz, which halves the cost twice over, then
    // written as stereo 44.1 kHz unless codecArgs says otherwise.
    std::ostringstream cmd;
    cmd << "ffmpeg -nostdin -v error -y -f lavfi -i \"aevalsrc=exprs='" << Channel(seed, 0);
    for (int channel = 1; channel < distinctChannels; ++channel)
        cmd << "|" << Channel(seed + channel, channel);
    cmd << "':s=22050:d=" << seconds << "\" " << (distinctChannels > 0 ? "" : "-ac 2 -ar 44100 ")
        << codecArgs << " '" << path << "'";
    return testsupport::run(cmd.str()) == 0;
}

std::string Sample(const std::string& name, double seconds, int seed, const std::string& codecArgs,
                   int distinctChannels) {
    boost::filesystem::path dir(OSTRA_SAMPLE_DIR);
    boost::filesystem::path path = dir / name;
    if (boost::filesystem::exists(path)) return path.string();
    boost::filesystem::create_directories(dir);
    boost::filesystem::path part =
        dir / boost::filesystem::unique_path("part-%%%%%%%%" + path.extension().string());
    if (Make(part.string(), seconds, seed, codecArgs, distinctChannels)) {
        boost::filesystem::rename(part, path);
    } else {
        boost::system::error_code ignored;
        boost::filesystem::remove(part, ignored);
    }
    return path.string();
}

bool Decode(const std::string& path, Pcm& pcm, const std::string& format) {
    const std::map<std::string, uint32_t> bits = {{"u8", 8},
                                                  {"s16le", 16},
                                                  {"s32le", 32},
                                                  {"f32le", 32 | GNSDK_DSP_SAMPLE_FLOAT},
                                                  {"f64le", 64 | GNSDK_DSP_SAMPLE_FLOAT}};
    if (bits.count(format) == 0) return false;
    pcm.bits = bits.at(format);
    std::string info = testsupport::capture(
        "ffprobe -v error -select_streams a:0 -show_entries stream=sample_rate,channels -of "
        "default=noprint_wrappers=1 '" +
        path + "'");
    std::istringstream lines(info);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.compare(0, 12, "sample_rate=") == 0) pcm.sampleRate = std::stoi(line.substr(12));
        if (line.compare(0, 9, "channels=") == 0) pcm.channels = std::stoi(line.substr(9));
    }
    std::string raw =
        testsupport::capture("ffmpeg -nostdin -v error -i '" + path + "' -map 0:a:0 -f " + format +
                             " -acodec pcm_" + format + " -");
    pcm.bytes.assign(raw.begin(), raw.end());
    return pcm.sampleRate > 0 && pcm.channels > 0 && !pcm.bytes.empty();
}

std::string Fpcalc(const std::string& path, int seconds) {
    std::string out = testsupport::capture("fpcalc -length " + std::to_string(seconds) +
                                           " -plain '" + path + "' 2>/dev/null");
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

std::vector<uint32_t> RawFingerprint(const std::string& compressed) {
    std::vector<uint32_t> result;
    uint32_t* raw = nullptr;
    int size = 0;
    int algorithm = 0;
    if (chromaprint_decode_fingerprint(compressed.c_str(), static_cast<int>(compressed.size()),
                                       &raw, &size, &algorithm, 1) &&
        raw != nullptr) {
        result.assign(raw, raw + size);
    }
    chromaprint_dealloc(raw);
    return result;
}

double Similarity(const std::string& a, const std::string& b) {
    std::vector<uint32_t> x = RawFingerprint(a);
    std::vector<uint32_t> y = RawFingerprint(b);
    if (x.empty() || y.empty()) return 0.0;
    double best = 0.0;
    const int maxOffset = 80;  // about ten seconds either way
    for (int offset = -maxOffset; offset <= maxOffset; ++offset) {
        size_t equalBits = 0;
        size_t items = 0;
        for (size_t i = 0; i < x.size(); ++i) {
            long j = static_cast<long>(i) + offset;
            if (j < 0 || j >= static_cast<long>(y.size())) continue;
            equalBits += 32 - std::bitset<32>(x[i] ^ y[static_cast<size_t>(j)]).count();
            ++items;
        }
        // Alignments that overlap only a little say nothing.
        if (items < std::min(x.size(), y.size()) / 2) continue;
        best = std::max(best, static_cast<double>(equalBits) / (32.0 * items));
    }
    return best;
}

}  // namespace sampleaudio

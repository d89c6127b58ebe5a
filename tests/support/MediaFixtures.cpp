#include "support/MediaFixtures.h"

#include <chromaprint.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iterator>
#include <sstream>

#include "support/TestHost.h"

namespace media {

namespace fs = boost::filesystem;

std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The script's text and that of every Python program it runs by absolute
// path, so an edited generator makes new files too.
std::string recipe(const std::string& script) {
    std::string text = script;
    std::istringstream words(script);
    for (std::string word; words >> word;) {
        if (word.size() > 1 && word.front() == '\'' && word.back() == '\'')
            word = word.substr(1, word.size() - 2);
        if (word.front() != '/' || fs::path(word).extension() != ".py") continue;
        std::ifstream in(word, std::ios::binary);
        text += std::string(std::istreambuf_iterator<char>(in), {});
    }
    return text;
}

std::string make(const std::string& name, const std::string& script) {
    char key[32];
    std::snprintf(key, sizeof key, "%016zx", std::hash<std::string>()(recipe(script)));
    const fs::path dir = fs::path(OSTRA_MEDIA_DIR) / key;
    const fs::path path = dir / name;
    boost::system::error_code ec;
    if (fs::exists(path, ec)) return path.string();
    fs::create_directories(dir, ec);
    // The private name keeps the extension: ffmpeg picks the container by it.
    const fs::path part = dir / fs::unique_path("part-%%%%%%%%" + path.extension().string());
    if (testsupport::run("OUT=" + quote(part.string()) + "; " + script) != 0 ||
        !fs::exists(part, ec)) {
        fs::remove(part, ec);
        ADD_FAILURE() << "could not make " << name << " with: " << script;
        return std::string();
    }
    // Published by a link, never a rename: a rename over a file another
    // process made meanwhile is, on some file systems, an unlink and a
    // rename, and a test linking the file in between finds nothing.
    if (::link(part.c_str(), path.c_str()) != 0 && errno != EEXIST) fs::rename(part, path, ec);
    fs::remove(part, ec);
    return path.string();
}

std::string ffmpeg(const std::string& name, const std::string& args) {
    return make(name, "ffmpeg -nostdin -v error -y " + args + " \"$OUT\"");
}

std::string tone(double seconds, int rate, int channels) {
    std::ostringstream s;
    s << "-f lavfi -i \"aevalsrc='";
    if (channels == 1) {
        s << "0.5*sin(523*2*PI*t)+0.05*random(1)";
    } else {
        s << "0.4*sin(440*2*PI*t)+0.1*sin(3000*2*PI*t)|0.3*sin(660*2*PI*t)+0.05*random(0)";
    }
    s << "':s=" << rate << ":d=" << seconds << "\"";
    return s.str();
}

namespace {

// A note that changes a few times a second, its fifth, a slower bass line
// and faint noise; the seed picks the tempo and the note sequence.
std::string tuneChannel(int seed, int channel) {
    std::ostringstream e;
    const int tempo = 3 + seed % 4;
    const int step = 5 + seed % 7;
    e << "0.35*sin(2*PI*t*110*pow(2\\,mod(floor(t*" << tempo << ")*" << step << "+" << seed * 3
      << "\\,24)/12))+0.2*sin(2*PI*t*165*pow(2\\,mod(floor(t*" << tempo << ")*" << step + 2 << "+"
      << seed << "+" << channel << "\\,19)/12))+0.15*sin(2*PI*t*55*pow(2\\,mod(floor(t*" << tempo
      << "/4)*" << seed + 3 << "\\,12)/12))+0.03*(random(" << channel << ")-0.5)";
    return e.str();
}

}  // namespace

std::string tune(double seconds, int seed, int channels) {
    // Computed at 22.05 kHz, which halves the cost, then upmixed unless the
    // channels are to differ.
    std::ostringstream s;
    s << "-f lavfi -i \"aevalsrc=exprs='" << tuneChannel(seed, 0);
    for (int channel = 1; channel < channels; ++channel)
        s << "|" << tuneChannel(seed + channel, channel);
    s << "':s=22050:d=" << seconds << "\"" << (channels > 0 ? "" : " -ac 2 -ar 44100");
    return s.str();
}

std::string tags(const std::vector<std::pair<std::string, std::string>>& fields) {
    std::string out;
    for (const auto& field : fields) out += " -metadata " + quote(field.first + "=" + field.second);
    return out;
}

std::string decode(const std::string& path, const std::string& format) {
    return testsupport::capture("ffmpeg -nostdin -v error -i " + quote(path) + " -map 0:a:0 -f " +
                                format + " -acodec pcm_" + format + " - 2>/dev/null");
}

int maxSampleDifference(const std::string& a, const std::string& b) {
    int worst = 0;
    for (std::size_t i = 0; i + 1 < std::min(a.size(), b.size()); i += 2) {
        const int x =
            static_cast<int16_t>(static_cast<uint8_t>(a[i]) | static_cast<uint8_t>(a[i + 1]) << 8);
        const int y =
            static_cast<int16_t>(static_cast<uint8_t>(b[i]) | static_cast<uint8_t>(b[i + 1]) << 8);
        worst = std::max(worst, std::abs(x - y));
    }
    return worst;
}

std::string fpcalc(const std::string& path, int seconds) {
    std::string out = testsupport::capture("fpcalc -length " + std::to_string(seconds) +
                                           " -plain " + quote(path) + " 2>/dev/null");
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

std::vector<uint32_t> rawFingerprint(const std::string& compressed) {
    std::vector<uint32_t> result;
    uint32_t* raw = nullptr;
    int size = 0, algorithm = 0;
    if (chromaprint_decode_fingerprint(compressed.c_str(), static_cast<int>(compressed.size()),
                                       &raw, &size, &algorithm, 1) &&
        raw != nullptr) {
        result.assign(raw, raw + size);
    }
    chromaprint_dealloc(raw);
    return result;
}

std::string be32(std::uint32_t value) {
    std::string bytes;
    for (int shift = 24; shift >= 0; shift -= 8) bytes += static_cast<char>(value >> shift);
    return bytes;
}

std::string le32(std::uint32_t value) {
    std::string bytes;
    for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(value >> shift);
    return bytes;
}

std::string synchsafe(std::uint32_t value) {
    std::string bytes;
    for (int shift = 21; shift >= 0; shift -= 7)
        bytes += static_cast<char>((value >> shift) & 0x7f);
    return bytes;
}

std::string sha1OfFile(const std::string& path) {
    const std::string out = testsupport::capture("openssl dgst -sha1 -r " + quote(path));
    return out.substr(0, out.find(' '));
}

}  // namespace media

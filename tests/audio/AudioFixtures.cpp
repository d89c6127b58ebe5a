#include "AudioFixtures.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <sstream>

namespace audiotest {

namespace fs = boost::filesystem;

namespace {

struct Recipe {
    Fixture fixture;
    std::string source;   // lavfi source
    std::string options;  // encoder options
};

std::string stereo(int rate, double seconds) {
    std::ostringstream s;
    s << "aevalsrc='0.4*sin(440*2*PI*t)+0.1*sin(3000*2*PI*t)|0.3*sin(660*2*PI*t)+0.05*random(0)':s="
      << rate << ":d=" << seconds;
    return s.str();
}

std::string mono(int rate, double seconds) {
    std::ostringstream s;
    s << "aevalsrc='0.5*sin(523*2*PI*t)+0.05*random(1)':s=" << rate << ":d=" << seconds;
    return s.str();
}

// Three hundred fields besides the title and artist, more than a well-tagged
// library file carries: tags like these must not cost a file its decode.
std::string manyTags() {
    std::string args;
    for (int i = 0; i < 300; ++i) {
        const std::string n = std::to_string(i);
        args += " -metadata 'musicbrainz_custom_field_" + n + "=value number " + n + "'";
    }
    return args;
}

const std::vector<Recipe>& recipes() {
    static const std::vector<Recipe> all = {
        {{"stereo44.mp3", 2, 44100, 2, false, 5}, stereo(44100, 5), "-c:a libmp3lame -b:a 192k"},
        {{"stereo44.ogg", 2, 44100, 2, false, 5}, stereo(44100, 5), "-c:a libvorbis -q:a 4"},
        {{"stereo44.wav", 2, 44100, 2, true, 5}, stereo(44100, 5), "-c:a pcm_s16le"},
        {{"stereo44.aiff", 2, 44100, 2, true, 5}, stereo(44100, 5), "-c:a pcm_s16be"},
        {{"stereo44.aif", 2, 44100, 2, true, 5}, stereo(44100, 5), "-f aiff -c:a pcm_s16be"},
        {{"stereo44.flac", 2, 44100, 2, true, 5}, stereo(44100, 5), "-c:a flac"},
        {{"stereo44-aac.m4a", 2, 44100, 2, false, 5}, stereo(44100, 5), "-c:a aac -b:a 160k"},
        {{"stereo44-alac.m4a", 2, 44100, 2, true, 5}, stereo(44100, 5), "-c:a alac"},
        {{"stereo44.aac", 2, 44100, 2, false, 5}, stereo(44100, 5), "-c:a aac -b:a 160k -f adts"},
        {{"mono22.mp3", 1, 22050, 2, false, 4}, mono(22050, 4), "-c:a libmp3lame -b:a 64k"},
        {{"mono22.wav", 1, 22050, 2, true, 4}, mono(22050, 4), "-c:a pcm_s16le"},
        {{"mono48.flac", 1, 48000, 2, true, 4}, mono(48000, 4), "-c:a flac"},
        {{"mono48.aac", 1, 48000, 2, false, 4}, mono(48000, 4), "-c:a aac -f adts"},
        {{"stereo48.ogg", 2, 48000, 2, false, 4}, stereo(48000, 4), "-c:a libvorbis"},
        {{"stereo48-aac.m4a", 2, 48000, 2, false, 4}, stereo(48000, 4), "-c:a aac"},
        {{"stereo22.aiff", 2, 22050, 2, true, 3}, stereo(22050, 3), "-c:a pcm_s16be"},
        {{"u8mono22.wav", 1, 22050, 1, true, 3}, mono(22050, 3), "-c:a pcm_u8"},
        {{"u8stereo44.wav", 2, 44100, 1, true, 3}, stereo(44100, 3), "-c:a pcm_u8"},
        {{"s8mono22.aiff", 1, 22050, 1, true, 3}, mono(22050, 3), "-c:a pcm_s8"},
        {{"one-second.mp3", 2, 44100, 2, false, 1}, stereo(44100, 1), "-c:a libmp3lame"},
        {{"one-second.wav", 2, 44100, 2, true, 1}, stereo(44100, 1), "-c:a pcm_s16le"},
        {{"long61.flac", 2, 44100, 2, true, 61}, stereo(44100, 61), "-c:a flac"},
        {{"long61.mp3", 2, 44100, 2, false, 61}, stereo(44100, 61), "-c:a libmp3lame"},
        {{"tagged.flac", 2, 44100, 2, true, 2}, stereo(44100, 2), "-c:a flac" + manyTags()},
        {{"tagged.ogg", 2, 44100, 2, false, 2}, stereo(44100, 2), "-c:a libvorbis" + manyTags()},
        {{"tagged.mp3", 2, 44100, 2, false, 2},
         stereo(44100, 2),
         "-c:a libmp3lame -id3v2_version 3" + manyTags()},
        {{"tagged-alac.m4a", 2, 44100, 2, true, 2},
         stereo(44100, 2),
         "-c:a alac -movflags use_metadata_tags" + manyTags()},
        {{"tagged.aiff", 2, 44100, 2, true, 2},
         stereo(44100, 2),
         "-c:a pcm_s16be -write_id3v2 1" + manyTags()},
    };
    return all;
}

std::once_flag g_generated;
std::string g_dir;

struct Cleanup {
    std::vector<std::string> dirs;
    std::mutex mutex;
    ~Cleanup() {
        for (const std::string& d : dirs) {
            boost::system::error_code ec;
            fs::remove_all(d, ec);
        }
    }
};
Cleanup g_cleanup;

std::string makeTempDir() {
    fs::path dir = fs::temp_directory_path() / fs::unique_path("ostra-audio-%%%%-%%%%-%%%%");
    fs::create_directories(dir);
    std::lock_guard<std::mutex> lock(g_cleanup.mutex);
    g_cleanup.dirs.push_back(dir.string());
    return dir.string();
}

// The fixtures are shared by every test process of a run (CTest starts one
// per test): they are generated once into a cache folder under the system
// temp directory, named after the recipes, under a file lock.
void generate() {
    std::string key;
    for (const Recipe& r : recipes()) key += r.fixture.name + r.source + r.options + ";";
    char name[64];
    std::snprintf(name, sizeof name, "ostra-audio-fixtures-%u-%zx",
                  static_cast<unsigned>(::getuid()), std::hash<std::string>()(key));
    g_dir = (fs::temp_directory_path() / name).string();
    const std::string lockPath = g_dir + ".lock";
    int lock = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lock >= 0) ::flock(lock, LOCK_EX);
    if (!exists(g_dir + "/complete")) {
        boost::system::error_code ec;
        fs::remove_all(g_dir, ec);
        fs::create_directories(g_dir);
        std::string script;
        for (const Recipe& r : recipes()) {
            script += "ffmpeg -nostdin -v error -y -f lavfi -i \"" + r.source + "\" " + r.options +
                      " -metadata title='" + r.fixture.name + "' -metadata artist='Ostra Tests' '" +
                      g_dir + "/" + r.fixture.name + "' &\n";
        }
        script += "wait\n";
        bool ok = run(script) == 0;
        for (const Recipe& r : recipes()) ok = ok && exists(g_dir + "/" + r.fixture.name);
        if (ok) writeFile(g_dir + "/complete", "");
    }
    if (lock >= 0) ::close(lock);
    for (const Recipe& r : recipes()) {
        if (!exists(g_dir + "/" + r.fixture.name))
            ADD_FAILURE() << "fixture missing: " << r.fixture.name;
    }
}

}  // namespace

const std::vector<Fixture>& fixtures() {
    static const std::vector<Fixture> all = [] {
        std::vector<Fixture> out;
        for (const Recipe& r : recipes()) out.push_back(r.fixture);
        return out;
    }();
    return all;
}

const Fixture& fixture(const std::string& name) {
    for (const Fixture& f : fixtures())
        if (f.name == name) return f;
    throw std::runtime_error("no fixture " + name);
}

const std::string& fixtureDir() {
    std::call_once(g_generated, generate);
    return g_dir;
}

std::string fixturePath(const std::string& name) {
    return fixtureDir() + "/" + name;
}

std::string scratchDir() {
    return makeTempDir();
}

int run(const std::string& command) {
    int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string ffmpegS16(const std::string& path) {
    return ffmpegRaw(path, "s16le");
}

std::string ffmpegRaw(const std::string& path, const std::string& format) {
    std::string command = "ffmpeg -nostdin -v error -i '" + path + "' -f " + format +
                          " -acodec pcm_" + format + " - 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return std::string();
    std::string out;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

bool exists(const std::string& path) {
    boost::system::error_code ec;
    return fs::exists(path, ec);
}

std::string asS16(const std::vector<unsigned char>& samples, int bytesPerSample) {
    if (bytesPerSample == 2) return std::string(samples.begin(), samples.end());
    std::string out;
    out.reserve(samples.size() * 2);
    for (unsigned char u : samples) {
        int v = (static_cast<int>(u) - 128) * 256;
        out.push_back(static_cast<char>(v & 0xFF));
        out.push_back(static_cast<char>((v >> 8) & 0xFF));
    }
    return out;
}

int maxSampleDifference(const std::string& a, const std::string& b) {
    int worst = 0;
    const size_t n = std::min(a.size(), b.size()) / 2;
    for (size_t i = 0; i < n; ++i) {
        int x = static_cast<int16_t>(static_cast<uint8_t>(a[2 * i]) |
                                     (static_cast<uint8_t>(a[2 * i + 1]) << 8));
        int y = static_cast<int16_t>(static_cast<uint8_t>(b[2 * i]) |
                                     (static_cast<uint8_t>(b[2 * i + 1]) << 8));
        worst = std::max(worst, std::abs(x - y));
    }
    return worst;
}

}  // namespace audiotest

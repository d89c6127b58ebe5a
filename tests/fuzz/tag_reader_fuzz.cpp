// The tag reader on arbitrary file contents. The first byte picks the name
// the file goes by (TagLib picks its parser by the extension, then by the
// content), the rest is the file. A read file carries its path and size, and
// reading by descriptor or by name gives the same answer.
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>

#include "metadata/TagReader.h"

namespace {

const char* const kNames[] = {"in.mp3",  "in.m4a",  "in.mp4", "in.aac", "in.flac", "in.ogg",
                              "in.wav",  "in.aiff", "in.wma", "in.tta", "in.mpc",  "in.wv",
                              "in.opus", "in.ape",  "in.xyz", "IN.MP3"};

int inputFile() {
    static int fd = memfd_create("ostra_fuzz_tags", 0);
    if (fd < 0) std::abort();
    return fd;
}

void writeInput(const uint8_t* data, size_t size) {
    const int fd = inputFile();
    if (ftruncate(fd, 0) != 0) std::abort();
    size_t written = 0;
    while (written < size) {
        const ssize_t n = pwrite(fd, data + written, size - written, static_cast<off_t>(written));
        if (n <= 0) std::abort();
        written += static_cast<size_t>(n);
    }
}

// A link named name to the input, for the lookups that open by path.
std::string linkTo(const std::string& name) {
    static std::string dir;
    if (dir.empty()) {
        char pattern[] = "/tmp/ostra_fuzz_tagsXXXXXX";
        if (mkdtemp(pattern) == nullptr) std::abort();
        dir = pattern;
    }
    const std::string link = dir + "/" + name;
    struct stat info;
    if (lstat(link.c_str(), &info) != 0) {
        const std::string target = "/proc/self/fd/" + std::to_string(inputFile());
        if (symlink(target.c_str(), link.c_str()) != 0) std::abort();
    }
    return link;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const std::string name = kNames[data[0] % (sizeof kNames / sizeof kNames[0])];
    writeInput(data + 1, size - 1);
    const int fd = inputFile();

    std::map<std::string, std::string> text, byName;
    std::map<std::string, long long> numbers, numbersByName;
    const bool read = Ostra::ExtractMetadataFromOpenFile(fd, name, text, numbers);
    if (read && (text["path"] != name || numbers["size"] != static_cast<long long>(size - 1))) {
        std::abort();
    }
    // Opened by name, through a link that carries the same name, the same
    // bytes give the same answer; the album artist looked up on its own
    // agrees with the one the extraction found.
    const std::string path = linkTo(name);
    if (Ostra::ExtractMetadataFromFileAtPath(path, byName, numbersByName) != read ||
        numbersByName != numbers) {
        std::abort();
    }
    std::string albumArtist;
    if (read &&
        Ostra::GetAlbumArtistFromFile(path, albumArtist) != (text.count("albumArtist") == 1)) {
        std::abort();
    }
    Ostra::isFileALAC(path);
    return 0;
}

// The peer of the helper's "scanDirectory" in the scan benchmark: a minimal
// walker that reads, straight through TagLib, the fields the helper returns
// (common tag fields, length, track, the mp3 comment id, the album artist from
// the file the reference opened, the Apple Lossless probe and codec, the size)
// and prints only the number of files read.
//
// Usage: scan_tag_walker DIR [--reopen]
//   --reopen reads the album artist by opening each file a second time.
#include <sys/stat.h>
#include <taglib/aifffile.h>
#include <taglib/asffile.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>
#include <taglib/textidentificationframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <boost/regex.hpp>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>

namespace fs = std::filesystem;

namespace {

std::string tpe2(TagLib::ID3v2::Tag* tag) {
    if (tag == nullptr || tag->frameList("TPE2").isEmpty()) return std::string();
    return tag->frameList("TPE2").front()->toString().to8Bit(true);
}

std::string xiph(TagLib::Ogg::XiphComment* comment) {
    if (comment == nullptr) return std::string();
    const TagLib::Ogg::FieldListMap& fields = comment->fieldListMap();
    for (const char* key : {"ALBUMARTIST", "ALBUM ARTIST"}) {
        auto found = fields.find(key);
        if (found != fields.end() && !found->second.isEmpty()) {
            return found->second.front().to8Bit(true);
        }
    }
    return std::string();
}

std::string albumArtist(TagLib::File* file) {
    if (auto* mpeg = dynamic_cast<TagLib::MPEG::File*>(file)) return tpe2(mpeg->ID3v2Tag());
    if (auto* mp4 = dynamic_cast<TagLib::MP4::File*>(file)) {
        const TagLib::MP4::Tag* tag = mp4->tag();
        if (tag == nullptr || !tag->contains("aART")) return std::string();
        const TagLib::StringList values = tag->item("aART").toStringList();
        return values.isEmpty() ? std::string() : values.front().to8Bit(true);
    }
    if (auto* flac = dynamic_cast<TagLib::FLAC::File*>(file)) {
        const std::string fromId3 = tpe2(flac->ID3v2Tag());
        return fromId3.empty() ? xiph(flac->xiphComment()) : fromId3;
    }
    if (auto* vorbis = dynamic_cast<TagLib::Ogg::Vorbis::File*>(file)) return xiph(vorbis->tag());
    if (auto* wav = dynamic_cast<TagLib::RIFF::WAV::File*>(file)) return tpe2(wav->tag());
    if (auto* aiff = dynamic_cast<TagLib::RIFF::AIFF::File*>(file)) return tpe2(aiff->tag());
    if (auto* asf = dynamic_cast<TagLib::ASF::File*>(file)) {
        const TagLib::ASF::AttributeList values = asf->tag()->attribute("WM/AlbumArtist");
        return values.isEmpty() ? std::string() : values.front().toString().to8Bit(true);
    }
    return std::string();
}

bool alacProbe(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::fopen(path.c_str(), "rb"), &std::fclose);
    char window[150];
    return f && std::fseek(f.get(), 350, SEEK_SET) == 0 &&
           std::fread(window, 1, sizeof window, f.get()) == sizeof window &&
           memmem(window, sizeof window, "alac", 4) != nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const bool reopen = argc > 2 && std::strcmp(argv[2], "--reopen") == 0;
    const std::set<std::string> extensions = {".mp3", ".m4a",  ".flac", ".ogg",
                                              ".wav", ".aiff", ".wma"};
    static const boost::regex dmid("(2\\d{8})");
    long long files = 0, checksum = 0;
    for (const auto& entry : fs::recursive_directory_iterator(argv[1])) {
        if (!entry.is_regular_file()) continue;
        const std::string path = entry.path().string();
        std::string ext = entry.path().extension().string();
        for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (extensions.count(ext) == 0) continue;
        struct stat status;
        if (::stat(path.c_str(), &status) != 0) continue;
        TagLib::FileRef ref(path.c_str(), true, TagLib::AudioProperties::Average);
        if (ref.isNull() || ref.tag() == nullptr || ref.audioProperties() == nullptr) continue;
        const TagLib::Tag* tag = ref.tag();
        std::string text = tag->title().to8Bit(true) + tag->artist().to8Bit(true) +
                           tag->album().to8Bit(true) + tag->genre().to8Bit(true);
        boost::smatch match;
        const std::string comment = tag->comment().to8Bit(false);
        if (ext == ".mp3" && boost::regex_search(comment, match, dmid)) text += match.str(1);
        if (reopen) {
            TagLib::FileRef again(path.c_str(), true, TagLib::AudioProperties::Average);
            text += albumArtist(again.file());
        } else {
            text += albumArtist(ref.file());
        }
        if (ext == ".m4a") {
            auto* mp4 = dynamic_cast<TagLib::MP4::File*>(ref.file());
            if (alacProbe(path) ||
                (mp4 && mp4->audioProperties()->codec() == TagLib::MP4::Properties::ALAC)) {
                text += "kind";
            }
        }
        checksum += static_cast<long long>(text.size()) + status.st_size +
                    ref.audioProperties()->lengthInSeconds() + tag->track();
        ++files;
    }
    std::cout << files << "\n";
    return checksum > 0 ? 0 : 1;
}

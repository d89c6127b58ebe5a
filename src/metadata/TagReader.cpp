#include "metadata/TagReader.h"

#include <sys/stat.h>
#include <taglib/aifffile.h>
#include <taglib/asffile.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/mp4file.h>
#include <taglib/mpegfile.h>
#include <taglib/tag.h>
#include <taglib/textidentificationframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>

#include <algorithm>
#include <boost/regex.hpp>
#include <boost/thread/exceptions.hpp>
#include <cctype>
#include <cstdio>
#include <memory>

#include "scan/PathUtils.h"

namespace Ostra {

namespace {

const char kAlacKind[] = "Apple Lossless audio file";

// The window the Apple Lossless probe looks at: bytes 350 to 499, where a
// plainly written iTunes ".m4a" keeps its sample description.
constexpr long kAlacProbeOffset = 350;
constexpr std::size_t kAlacProbeLength = 150;

// Text from the last "." of the path to its end; empty when there is none.
std::string extensionOf(const std::string& path) {
    const std::string::size_type dot = path.rfind('.');
    return dot == std::string::npos ? std::string() : path.substr(dot);
}

std::string lowerExtensionOf(const std::string& path) {
    std::string ext = extensionOf(path);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

std::string toUtf8(const TagLib::String& text) {
    return text.to8Bit(true);
}

const boost::regex& dmidPattern() {
    static const boost::regex pattern("(2\\d{8})", boost::regex::perl);
    return pattern;
}

bool probeAlacWindow(const std::string& path) {
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(path.c_str(), "rb"),
                                                         &std::fclose);
    if (!file) return false;
    if (std::fseek(file.get(), kAlacProbeOffset, SEEK_SET) != 0) return false;
    char window[kAlacProbeLength];
    if (std::fread(window, 1, sizeof window, file.get()) != sizeof window) return false;
    static const char kCode[] = "alac";
    return std::search(window, window + sizeof window, kCode, kCode + 4) != window + sizeof window;
}

// The same window read through a file TagLib already holds open.
bool probeAlacWindow(TagLib::File& file) {
    file.seek(kAlacProbeOffset);
    const TagLib::ByteVector window = file.readBlock(kAlacProbeLength);
    return window.size() == kAlacProbeLength && window.find("alac") >= 0;
}

bool reportsAlacCodec(TagLib::MP4::File& file) {
    if (!file.isValid()) return false;
    const TagLib::MP4::Properties* properties = file.audioProperties();
    return properties != nullptr && properties->codec() == TagLib::MP4::Properties::ALAC;
}

// The Apple Lossless test, reusing the caller's open file for this path (or
// null) both for the codec and for the window, so it costs no extra open.
bool isFileALACWith(const std::string& path, TagLib::File* opened) {
    if (lowerExtensionOf(path) != ".m4a") return false;
    auto* mp4 = dynamic_cast<TagLib::MP4::File*>(opened);
    if (mp4 != nullptr && reportsAlacCodec(*mp4)) return true;
    if (opened != nullptr ? probeAlacWindow(*opened) : probeAlacWindow(path)) return true;
    if (mp4 != nullptr) return false;
    TagLib::MP4::File file(path.c_str(), true, TagLib::AudioProperties::Average);
    return reportsAlacCodec(file);
}

// Uses the caller's file when it already is of class F (a FileRef picks its
// class from the extension too, so this is the common case); otherwise opens
// the path as F, which gives the same answer at the cost of a second parse.
template <class F, class Read>
bool readAlbumArtistAs(const std::string& path, TagLib::File* opened, std::string& albumArtist,
                       Read read) {
    if (auto* same = dynamic_cast<F*>(opened)) {
        return same->isValid() && read(*same, albumArtist);
    }
    F file(path.c_str(), true, TagLib::AudioProperties::Average);
    return file.isValid() && read(file, albumArtist);
}

bool albumArtistFromMP4(TagLib::MP4::File& file, std::string& albumArtist) {
    const TagLib::MP4::Tag* tag = file.tag();
    if (tag == nullptr || !tag->contains("aART")) return false;
    const TagLib::StringList values = tag->item("aART").toStringList();
    if (values.isEmpty()) return false;
    albumArtist = toUtf8(values.front());
    return !albumArtist.empty();
}

bool albumArtistFromASF(TagLib::ASF::File& file, std::string& albumArtist) {
    const TagLib::ASF::Tag* tag = file.tag();
    if (tag == nullptr) return false;
    const TagLib::ASF::AttributeList values = tag->attribute("WM/AlbumArtist");
    if (values.isEmpty()) return false;
    albumArtist = toUtf8(values.front().toString());
    return !albumArtist.empty();
}

bool albumArtistFromFLAC(TagLib::FLAC::File& file, std::string& albumArtist) {
    if (getAlbumArtistFromID3v2Tag(albumArtist, file.ID3v2Tag(false))) return true;
    return getAlbumArtistFromXiphComment(albumArtist, file.xiphComment(false));
}

bool albumArtistWith(const std::string& path, TagLib::File* opened, std::string& albumArtist) {
    albumArtist.clear();
    const std::string ext = lowerExtensionOf(path);
    if (ext == ".mp3") {
        return readAlbumArtistAs<TagLib::MPEG::File>(
            path, opened, albumArtist, [](TagLib::MPEG::File& f, std::string& out) {
                return getAlbumArtistFromID3v2Tag(out, f.ID3v2Tag(false));
            });
    }
    if (ext == ".wav") {
        return readAlbumArtistAs<TagLib::RIFF::WAV::File>(
            path, opened, albumArtist, [](TagLib::RIFF::WAV::File& f, std::string& out) {
                return getAlbumArtistFromID3v2Tag(out, f.tag());
            });
    }
    if (ext == ".aiff" || ext == ".aif") {
        return readAlbumArtistAs<TagLib::RIFF::AIFF::File>(
            path, opened, albumArtist, [](TagLib::RIFF::AIFF::File& f, std::string& out) {
                return getAlbumArtistFromID3v2Tag(out, f.tag());
            });
    }
    if (ext == ".flac") {
        return readAlbumArtistAs<TagLib::FLAC::File>(path, opened, albumArtist,
                                                     albumArtistFromFLAC);
    }
    if (ext == ".ogg") {
        return readAlbumArtistAs<TagLib::Ogg::Vorbis::File>(
            path, opened, albumArtist, [](TagLib::Ogg::Vorbis::File& f, std::string& out) {
                return getAlbumArtistFromXiphComment(out, f.tag());
            });
    }
    if (ext == ".m4a" || ext == ".aac" || ext == ".mp4") {
        return readAlbumArtistAs<TagLib::MP4::File>(path, opened, albumArtist, albumArtistFromMP4);
    }
    if (ext == ".wma") {
        return readAlbumArtistAs<TagLib::ASF::File>(path, opened, albumArtist, albumArtistFromASF);
    }
    return false;
}

// The "dmid" step: a failure here never ends the extraction.
void readDmid(const std::string& path, const TagLib::Tag& tag,
              std::map<std::string, std::string>& textFields) {
    if (extensionOf(path) != ".mp3") return;
    try {
        const TagLib::String comment = tag.comment();
        if (comment.isEmpty()) return;
        const std::string latin1 = comment.to8Bit(false);
        boost::smatch match;
        if (boost::regex_search(latin1, match, dmidPattern())) textFields["dmid"] = match.str(1);
    } catch (const std::exception&) {
    }
}

}  // namespace

bool ExtractMetadataFromFileAtPath(const std::string& path,
                                   std::map<std::string, std::string>& textFields,
                                   std::map<std::string, long long>& intFields) {
    textFields.clear();
    intFields.clear();
    try {
        // Only regular files are read: TagLib would report a directory as an
        // empty audio file, and opening a FIFO would block until a writer came.
        // The size is taken here, from the same query.
        struct stat status;
        if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return false;

        TagLib::FileRef ref(path.c_str(), true, TagLib::AudioProperties::Average);
        if (ref.isNull()) return false;
        const TagLib::Tag* tag = ref.tag();
        const TagLib::AudioProperties* properties = ref.audioProperties();
        if (tag == nullptr || properties == nullptr) return false;

        std::string id;
        SongIdFromPath(path, id);
        textFields["id"] = id;
        textFields["path"] = path;

        const std::pair<const char*, TagLib::String> common[] = {
            {"title", tag->title()},
            {"artist", tag->artist()},
            {"album", tag->album()},
            {"genre", tag->genre()},
        };
        for (const auto& field : common) {
            std::string text = toUtf8(field.second);
            if (!text.empty()) textFields[field.first] = std::move(text);
        }

        readDmid(path, *tag, textFields);

        // Like the "dmid" step, the probe and the album artist only ever leave
        // their own key out.
        try {
            if (isFileALACWith(path, ref.file())) textFields["kind"] = kAlacKind;
        } catch (const std::exception&) {
        }
        try {
            std::string albumArtist;
            if (albumArtistWith(path, ref.file(), albumArtist)) {
                textFields["albumArtist"] = albumArtist;
            }
        } catch (const std::exception&) {
        }

        intFields["size"] = static_cast<long long>(status.st_size);
        intFields["duration"] = properties->lengthInSeconds();
        intFields["trackNumber"] = tag->track();
        return true;
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (...) {
        return false;
    }
}

bool GetAlbumArtistFromFile(const std::string& path, std::string& albumArtist) {
    albumArtist.clear();
    try {
        return albumArtistWith(path, nullptr, albumArtist);
    } catch (const std::exception&) {
        albumArtist.clear();
        return false;
    }
}

bool getAlbumArtistFromID3v2Tag(std::string& albumArtist, TagLib::ID3v2::Tag* tag) {
    albumArtist.clear();
    if (tag == nullptr) return false;
    const TagLib::ID3v2::FrameList& frames = tag->frameList("TPE2");
    if (frames.isEmpty()) return false;
    // A TPE2 frame TagLib could not decode (compressed or encrypted) comes back
    // as an unknown frame and holds no text.
    const auto* frame = dynamic_cast<const TagLib::ID3v2::TextIdentificationFrame*>(frames.front());
    if (frame != nullptr) albumArtist = toUtf8(frame->toString());
    return !albumArtist.empty();
}

bool getAlbumArtistFromXiphComment(std::string& albumArtist, TagLib::Ogg::XiphComment* comment) {
    albumArtist.clear();
    if (comment == nullptr) return false;
    const TagLib::Ogg::FieldListMap& fields = comment->fieldListMap();
    auto found = fields.find("ALBUMARTIST");
    if (found == fields.end() || found->second.isEmpty()) found = fields.find("ALBUM ARTIST");
    if (found != fields.end() && !found->second.isEmpty()) {
        albumArtist = toUtf8(found->second.front());
    }
    return !albumArtist.empty();
}

bool isFileALAC(const std::string& path) {
    try {
        return isFileALACWith(path, nullptr);
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace Ostra

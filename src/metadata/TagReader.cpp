#include "metadata/TagReader.h"

#include <sys/stat.h>
#include <taglib/aifffile.h>
#include <taglib/asffile.h>
#include <taglib/fileref.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2framefactory.h>
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
#include <boost/thread/thread.hpp>
#include <cctype>
#include <cstdint>
#include <memory>

#include "cache/FileCache.h"
#include "metadata/DescriptorStream.h"
#include "metadata/TagCache.h"
#include "metadata/TagLimits.h"
#include "util/PathUtils.h"
#include "util/RegularFile.h"

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

// The window, read through the stream the file was opened as.
bool probeAlacWindow(TagLib::IOStream& stream) {
    stream.seek(kAlacProbeOffset);
    const TagLib::ByteVector window = stream.readBlock(kAlacProbeLength);
    return window.size() == kAlacProbeLength && window.find("alac") >= 0;
}

bool reportsAlacCodec(TagLib::MP4::File& file) {
    if (!file.isValid()) return false;
    const TagLib::MP4::Properties* properties = file.audioProperties();
    return properties != nullptr && properties->codec() == TagLib::MP4::Properties::ALAC;
}

// A format-specific file over the stream, parsed from its start (the RIFF
// and ASF readers begin where the stream stands); the MPEG and FLAC classes
// also take the frame factory their by-name constructors use.
template <class F>
std::unique_ptr<F> parseAs(TagLib::IOStream& stream) {
    stream.seek(0);
    return std::unique_ptr<F>(new F(&stream, true, TagLib::AudioProperties::Average));
}
template <>
std::unique_ptr<TagLib::MPEG::File> parseAs<TagLib::MPEG::File>(TagLib::IOStream& stream) {
    stream.seek(0);
    return std::unique_ptr<TagLib::MPEG::File>(new TagLib::MPEG::File(
        &stream, TagLib::ID3v2::FrameFactory::instance(), true, TagLib::AudioProperties::Average));
}
template <>
std::unique_ptr<TagLib::FLAC::File> parseAs<TagLib::FLAC::File>(TagLib::IOStream& stream) {
    stream.seek(0);
    return std::unique_ptr<TagLib::FLAC::File>(new TagLib::FLAC::File(
        &stream, TagLib::ID3v2::FrameFactory::instance(), true, TagLib::AudioProperties::Average));
}

// The Apple Lossless test, reusing the caller's parsed file (or null) for the
// codec; everything is read through the one stream, so it costs no open.
bool isFileALACWith(const std::string& path, TagLib::File* opened, TagLib::IOStream& stream) {
    if (lowerExtensionOf(path) != ".m4a") return false;
    auto* mp4 = dynamic_cast<TagLib::MP4::File*>(opened);
    if (mp4 != nullptr && reportsAlacCodec(*mp4)) return true;
    if (probeAlacWindow(stream)) return true;
    if (mp4 != nullptr) return false;
    return reportsAlacCodec(*parseAs<TagLib::MP4::File>(stream));
}

// Uses the caller's file when it already is of class F (a FileRef picks its
// class from the extension too, so this is the common case); otherwise parses
// the stream as F, which gives the same answer at the cost of a second parse.
template <class F, class Read>
bool readAlbumArtistAs(TagLib::File* opened, TagLib::IOStream& stream, std::string& albumArtist,
                       Read read) {
    if (auto* same = dynamic_cast<F*>(opened)) {
        return same->isValid() && read(*same, albumArtist);
    }
    const std::unique_ptr<F> file = parseAs<F>(stream);
    return file->isValid() && read(*file, albumArtist);
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

bool albumArtistWith(const std::string& path, TagLib::File* opened, TagLib::IOStream& stream,
                     std::string& albumArtist) {
    albumArtist.clear();
    const std::string ext = lowerExtensionOf(path);
    if (ext == ".mp3") {
        return readAlbumArtistAs<TagLib::MPEG::File>(
            opened, stream, albumArtist, [](TagLib::MPEG::File& f, std::string& out) {
                return getAlbumArtistFromID3v2Tag(out, f.ID3v2Tag(false));
            });
    }
    if (ext == ".wav") {
        return readAlbumArtistAs<TagLib::RIFF::WAV::File>(
            opened, stream, albumArtist, [](TagLib::RIFF::WAV::File& f, std::string& out) {
                return getAlbumArtistFromID3v2Tag(out, f.tag());
            });
    }
    if (ext == ".aiff" || ext == ".aif") {
        return readAlbumArtistAs<TagLib::RIFF::AIFF::File>(
            opened, stream, albumArtist, [](TagLib::RIFF::AIFF::File& f, std::string& out) {
                return getAlbumArtistFromID3v2Tag(out, f.tag());
            });
    }
    if (ext == ".flac") {
        return readAlbumArtistAs<TagLib::FLAC::File>(opened, stream, albumArtist,
                                                     albumArtistFromFLAC);
    }
    if (ext == ".ogg") {
        return readAlbumArtistAs<TagLib::Ogg::Vorbis::File>(
            opened, stream, albumArtist, [](TagLib::Ogg::Vorbis::File& f, std::string& out) {
                return getAlbumArtistFromXiphComment(out, f.tag());
            });
    }
    if (ext == ".m4a" || ext == ".aac" || ext == ".mp4") {
        return readAlbumArtistAs<TagLib::MP4::File>(opened, stream, albumArtist,
                                                    albumArtistFromMP4);
    }
    if (ext == ".wma") {
        return readAlbumArtistAs<TagLib::ASF::File>(opened, stream, albumArtist,
                                                    albumArtistFromASF);
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

// True when the stream stopped reading at a stop request, so that the parse
// saw a file cut short; the interruption is raised here where it can be.
bool stopped(const DescriptorStream& stream) {
    if (!stream.interrupted()) return false;
    boost::this_thread::interruption_point();
    return true;
}

// A file opened by name for one of the lookups by path, walked for the box
// limits before TagLib may parse it.
class OpenedFile {
  public:
    explicit OpenedFile(const std::string& path)
        : file_(util::RegularFile::open(path)), stream_(file_.descriptor(), path, file_.size()) {
        usable_ =
            file_.isOpen() && Mp4BoxesWithinLimits(stream_) && OggCommentsWithinLimits(stream_);
    }
    bool usable() const { return usable_ && !stream_.refused() && !stream_.interrupted(); }
    DescriptorStream& stream() { return stream_; }

  private:
    util::RegularFile file_;
    DescriptorStream stream_;
    bool usable_ = false;
};

}  // namespace

bool ExtractMetadataFromFileAtPath(const std::string& path,
                                   std::map<std::string, std::string>& textFields,
                                   std::map<std::string, long long>& intFields) {
    textFields.clear();
    intFields.clear();
    const util::RegularFile file = util::RegularFile::open(path);
    if (!file.isOpen()) return false;
    return ExtractMetadataFromOpenFile(file.descriptor(), path, textFields, intFields);
}

bool ExtractMetadataFromOpenFile(int fd, const std::string& path,
                                 std::map<std::string, std::string>& textFields,
                                 std::map<std::string, long long>& intFields, bool lookUp) {
    textFields.clear();
    intFields.clear();
    try {
        if (fd < 0 || path.empty() || !util::IsValidPath(path)) return false;
        // Only regular files are read: TagLib would report a directory as an
        // empty audio file. The size is taken here, from the same query.
        struct stat status;
        if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size < 0) {
            return false;
        }
        // An unchanged file answers from the cache without being read.
        const TagCache cache(path, status);
        if (lookUp && cache.find(textFields, intFields)) return true;

        DescriptorStream stream(fd, path, static_cast<std::uint64_t>(status.st_size));
        if (!Mp4BoxesWithinLimits(stream) || !OggCommentsWithinLimits(stream) || stopped(stream)) {
            return false;
        }
        stream.seek(0);

        TagLib::FileRef ref(&stream, true, TagLib::AudioProperties::Average);
        if (stopped(stream) || stream.refused() || ref.isNull()) return false;
        const TagLib::Tag* tag = ref.tag();
        const TagLib::AudioProperties* properties = ref.audioProperties();
        if (tag == nullptr || properties == nullptr) return false;

        std::string id;
        util::SongIdFromPath(path, id);
        textFields["id"] = id;
        textFields["path"] = path;

        const std::pair<const char*, TagLib::String> common[] = {
            {"title", tag->title()},
            {"artist", tag->artist()},
            {"album", tag->album()},
            {"genre", tag->genre()},
        };
        // Each field is copied twice (TagLib's wide text, then UTF-8); a stop
        // lands between them.
        for (const auto& field : common) {
            boost::this_thread::interruption_point();
            std::string text = toUtf8(field.second);
            if (!text.empty()) textFields[field.first] = std::move(text);
        }

        boost::this_thread::interruption_point();
        readDmid(path, *tag, textFields);
        boost::this_thread::interruption_point();

        // Like the "dmid" step, the probe and the album artist only ever leave
        // their own key out.
        try {
            if (isFileALACWith(path, ref.file(), stream)) textFields["kind"] = kAlacKind;
        } catch (const std::exception&) {
        }
        boost::this_thread::interruption_point();
        try {
            std::string albumArtist;
            if (albumArtistWith(path, ref.file(), stream, albumArtist)) {
                textFields["albumArtist"] = albumArtist;
            }
        } catch (const std::exception&) {
        }
        // Parsing the stream as another format for the album artist may have
        // met a tag past the limits, or a stop request.
        if (stream.refused() || stopped(stream)) {
            textFields.clear();
            return false;
        }

        intFields["size"] = static_cast<long long>(status.st_size);
        intFields["duration"] = properties->lengthInSeconds();
        intFields["trackNumber"] = tag->track();
        cache.store(textFields, intFields);
        return true;
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (...) {
        return false;
    }
}

bool FindKnownTags(const struct stat& status, const std::string& path, KnownTags& tags) {
    if (cache::processCache() == nullptr) return false;
    try {
        if (path.empty() || !util::IsValidPath(path) || !S_ISREG(status.st_mode) ||
            status.st_size < 0) {
            return false;
        }
        return TagCache(path, status).find(tags);
    } catch (const std::exception&) {
        // Out of memory: the file is read instead.
    }
    return false;
}

bool GetAlbumArtistFromFile(const std::string& path, std::string& albumArtist) {
    albumArtist.clear();
    try {
        OpenedFile file(path);
        if (!file.usable()) return false;
        const bool found = albumArtistWith(path, nullptr, file.stream(), albumArtist);
        // Parsing may have met a tag past the limits.
        if (file.usable()) return found;
    } catch (const std::exception&) {
    }
    albumArtist.clear();
    return false;
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
        OpenedFile file(path);
        if (!file.usable()) return false;
        const bool alac = isFileALACWith(path, nullptr, file.stream());
        // Parsing may have met a tag past the limits.
        return alac && file.usable();
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace Ostra

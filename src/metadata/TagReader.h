#pragma once

#include <sys/stat.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace TagLib {
namespace ID3v2 {
class Tag;
}
namespace Ogg {
class XiphComment;
}
}  // namespace TagLib

namespace Ostra {

// Tag reading for one file at a time. Every call opens and closes its own
// TagLib objects, so calls on different threads never share state. A file is
// opened once, checked on its descriptor to be a regular file, and only that
// descriptor is read (RegularFile, DescriptorStream); a file whose structure
// is past the limits of TagLimits.h counts as one that cannot be read.

// Fills the two maps (cleared first) with the song-record fields of the file:
// "id", "path", "title", "artist", "album", "genre", "dmid", "kind",
// "albumArtist" as text; "size", "duration", "trackNumber" as integers (64-bit,
// so sizes of 2 GiB and more stay exact). False when TagLib cannot open the
// file, it has no tag or audio properties, or a later step fails; the maps
// then hold whatever was set before the failure.
bool ExtractMetadataFromFileAtPath(const std::string& path,
                                   std::map<std::string, std::string>& textFields,
                                   std::map<std::string, long long>& intFields);

// The same for a file the caller has open: fd is read (never closed, never
// reopened) and must be a regular file; path only names it, for the file
// type, "id" and "path". Both look the file up in the process's file cache
// first and store what a successful read gave; safe on several threads at
// once. lookUp false skips the lookup, for a caller that has just made it
// (FindKnownTags).
bool ExtractMetadataFromOpenFile(int fd, const std::string& path,
                                 std::map<std::string, std::string>& textFields,
                                 std::map<std::string, long long>& intFields, bool lookUp = true);

// The tag fields the process's file cache holds for a file it knows
// unchanged: what ExtractMetadataFromOpenFile gave it, without "id" and
// "path", in ascending key order as the reader stores them. An entry the
// reader did not write may repeat a key (the later field counts, as in the
// maps) or come in another order. The fields point into bytes; reused from
// one file to the next, a KnownTags keeps its memory.
struct KnownTags {
    struct Field {
        std::string_view key;
        std::string_view text;  // of a text
        long long integer = 0;  // of an integer
        bool isText = false;
    };
    std::string bytes;
    std::vector<Field> fields;
};

// Fills tags for a file the cache knows unchanged; false when it has to be
// read. status is the fstat of the descriptor the caller would read, made
// when it opened it (util::RegularFile::status).
bool FindKnownTags(const struct stat& status, const std::string& path, KnownTags& tags);

// Clears albumArtist and fills it from the format-specific tag chosen by the
// path's lower-cased extension; true when it is not empty afterwards.
bool GetAlbumArtistFromFile(const std::string& path, std::string& albumArtist);

// The first "TPE2" frame's text; tag may be null.
bool getAlbumArtistFromID3v2Tag(std::string& albumArtist, TagLib::ID3v2::Tag* tag);

// "ALBUMARTIST", or "ALBUM ARTIST" when that has no value; comment may be null.
bool getAlbumArtistFromXiphComment(std::string& albumArtist, TagLib::Ogg::XiphComment* comment);

// True for an ".m4a" file holding Apple Lossless audio: "alac" in bytes 350 to
// 499, or an MP4 sample description TagLib reports as ALAC.
bool isFileALAC(const std::string& path);

}  // namespace Ostra

#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "amf/amf0.h"
#include "amf/object_writer.h"
#include "metadata/TagReader.h"

namespace Ostra {

// What a song record's two metadata keys are made of: its texts "artist",
// "albumArtist", "album", "title" and numbers "diskNumber", "trackNumber". A
// part the record lacks, or holds as another type, is unset. The texts point
// into the record.
struct MetadataKeyParts {
    std::optional<std::string_view> artist, albumArtist, album, title;
    std::optional<double> diskNumber, trackNumber;

    static MetadataKeyParts of(const amf::amf_property_map& song);
};

// The keys that find a song's copies under other names: artist (or album
// artist), album, title, disk and track number, each text cut to its first
// bytes with its white space trimmed and compressed. Only a song with a
// title has them (empty otherwise), and a key takes part in the duplicate
// check only when its first two parts are not both empty: a key of a title
// and numbers alone would merge distinct songs that share a title. Such a
// key is still written into the record.
struct MetadataKeys {
    std::string artistKey;
    std::string albumArtistKey;
    bool artistKeyUsed = false;
    bool albumArtistKeyUsed = false;

    static MetadataKeys of(const MetadataKeyParts& parts);
};

// The record of a scan for a file the file cache knows, encoded on a file
// worker exactly as the processor sends it for a new song: the stored
// fields, "id" and "path", "objectType" "song" and both metadata keys. The
// processor appends it as it is, unless it turns out to be a duplicate.
struct EncodedSong {
    std::string record;
    bool artistKeyUsed = false;
    bool albumArtistKeyUsed = false;

    std::string_view id() const { return view(id_); }
    std::string_view artistKey() const { return view(artistKey_); }
    std::string_view albumArtistKey() const { return view(albumArtistKey_); }

    // Builds the song of the file at path from its stored tags; false (song
    // unspecified) when the record could not be written this way: fields
    // out of key order or one of a key a scan sets, a text too long for a
    // short string. Such a file takes SongOfKnownTags instead.
    bool encode(const KnownTags& tags, const std::string& path);
    // The record as the scanner hands it to the processor, without what
    // the processor adds ("objectType" and the metadata keys), as
    // SongOfKnownTags builds it; null when it holds none.
    std::unique_ptr<amf::amf_object> decoded() const;

  private:
    // Writes an entry of text the processor reads back.
    void put(amf::object_writer& writer, std::string_view key, std::string_view text);

    struct Span {
        std::uint32_t at = 0;
        std::uint32_t size = 0;
    };
    std::string_view view(Span span) const {
        return std::string_view(record).substr(span.at, span.size);
    }
    Span id_, artistKey_, albumArtistKey_;
};

// The song record of a file from its stored tags as the scanner hands it to
// the processor: the fields in turn (a later one replacing an earlier one
// of its key), "id" and "path".
std::unique_ptr<amf::amf_object> SongOfKnownTags(const KnownTags& tags, const std::string& path);

}  // namespace Ostra

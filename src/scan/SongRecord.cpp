#include "scan/SongRecord.h"

#include <algorithm>
#include <array>
#include <boost/lexical_cast.hpp>
#include <cmath>

#include "amf/access.h"
#include "amf/object_writer.h"
#include "util/PathUtils.h"

namespace Ostra {

namespace {

// Metadata keys compare only this many leading bytes of each text part, so
// titles that differ past it count as equal.
const std::size_t kMetadataTextLength = 30;

std::optional<std::string_view> textOf(const amf::amf_property_map& song, const char* key) {
    const std::string* text = amf::getString(song.get_property(key));
    return text != nullptr ? std::optional<std::string_view>(*text) : std::nullopt;
}

void appendText(std::optional<std::string_view> text, std::string& metadataKey) {
    if (!text) return;
    // Bytes, not characters: a multi-byte UTF-8 character may be cut.
    std::string_view part = text->substr(0, kMetadataTextLength);
    // Trimmed at both ends, and each run of white space inside it kept as
    // its first character (boost::algorithm::trim_all_if), appended without
    // a copy of its own: this runs for every song of a scan.
    const util::IsWhiteSpace space;
    while (!part.empty() && space(part.front())) part.remove_prefix(1);
    while (!part.empty() && space(part.back())) part.remove_suffix(1);
    for (std::size_t i = 0; i < part.size(); ++i) {
        if (i == 0 || !space(part[i]) || !space(part[i - 1])) metadataKey.push_back(part[i]);
    }
}

void appendNumber(std::optional<double> value, std::string& metadataKey) {
    if (!value) {
        metadataKey.push_back('_');
        return;
    }
    const double number = *value;
    // Whole numbers below 10^15 read the same in the shortest round-trip form
    // as in plain integer digits, which are far cheaper to produce. Negative
    // zero keeps its sign through the general path.
    if (number == std::trunc(number) && std::fabs(number) < 1e15 && !std::signbit(number)) {
        metadataKey += std::to_string(static_cast<long long>(number));
        return;
    }
    try {
        metadataKey += boost::lexical_cast<std::string>(number);
    } catch (const boost::bad_lexical_cast&) {
        metadataKey.push_back('_');
    }
}

// One entry of an encoded song.
struct Entry {
    std::string_view key;
    std::string_view text;
    double number = 0;
    bool isText = true;
};

// The stored fields of a file, the entries a scan adds besides them.
constexpr std::size_t kMaxEntries = 40;
constexpr std::size_t kAddedEntries = 5;

}  // namespace

MetadataKeyParts MetadataKeyParts::of(const amf::amf_property_map& song) {
    MetadataKeyParts parts;
    parts.artist = textOf(song, "artist");
    parts.albumArtist = textOf(song, "albumArtist");
    parts.album = textOf(song, "album");
    parts.title = textOf(song, "title");
    parts.diskNumber = amf::getNumber(song.get_property("diskNumber"));
    parts.trackNumber = amf::getNumber(song.get_property("trackNumber"));
    return parts;
}

MetadataKeys MetadataKeys::of(const MetadataKeyParts& parts) {
    MetadataKeys keys;
    if (!parts.title) return keys;
    std::string shared;
    shared.push_back('-');
    appendText(parts.album, shared);
    const bool hasAlbum = shared.size() > 1;
    shared.push_back('-');
    appendText(parts.title, shared);
    shared.push_back('-');
    appendNumber(parts.diskNumber, shared);
    shared.push_back('-');
    appendNumber(parts.trackNumber, shared);

    appendText(parts.artist, keys.artistKey);
    keys.artistKeyUsed = hasAlbum || !keys.artistKey.empty();
    keys.artistKey += shared;
    appendText(parts.albumArtist, keys.albumArtistKey);
    keys.albumArtistKeyUsed = hasAlbum || !keys.albumArtistKey.empty();
    keys.albumArtistKey += shared;
    return keys;
}

bool EncodedSong::encode(const KnownTags& tags, const std::string& path) {
    if (tags.fields.size() + kAddedEntries > kMaxEntries) return false;
    std::array<Entry, kMaxEntries> entries;
    std::size_t count = 0;
    MetadataKeyParts parts;
    for (const KnownTags::Field& field : tags.fields) {
        const std::string_view key = field.key;
        // A key of digits alone is an array index to a map, which orders
        // those apart; the processor reads "songPlistId" as a playlist's.
        if (key.empty() || key.size() > amf::kMaxShortStringLength ||
            (key[0] >= '0' && key[0] <= '9') || key == "songPlistId" ||
            field.text.size() > amf::kMaxShortStringLength) {
            return false;
        }
        Entry& entry = entries[count++];
        entry.key = key;
        entry.isText = field.isText;
        if (field.isText) {
            entry.text = field.text;
            if (key == "artist") parts.artist = field.text;
            if (key == "albumArtist") parts.albumArtist = field.text;
            if (key == "album") parts.album = field.text;
            if (key == "title") parts.title = field.text;
        } else {
            entry.number = static_cast<double>(field.integer);
            if (key == "diskNumber") parts.diskNumber = entry.number;
            if (key == "trackNumber") parts.trackNumber = entry.number;
        }
    }
    std::string id;
    util::SongIdFromPath(path, id);
    if (path.size() > amf::kMaxShortStringLength || id.size() > amf::kMaxShortStringLength)
        return false;
    const MetadataKeys keys = MetadataKeys::of(parts);
    entries[count++] = {"id", id};
    entries[count++] = {"path", path};
    entries[count++] = {"objectType", "song"};
    entries[count++] = {"artistMetadataKey", keys.artistKey};
    entries[count++] = {"albumArtistMetadataKey", keys.albumArtistKey};
    // The stored fields come in key order already; insertion puts the
    // added ones in place.
    for (std::size_t i = 1; i < count; ++i) {
        for (std::size_t j = i; j > 0 && entries[j].key < entries[j - 1].key; --j)
            std::swap(entries[j], entries[j - 1]);
    }
    std::size_t size = amf::object_writer::kFrameBytes;
    for (std::size_t i = 0; i < count; ++i) {
        // A key twice: the stored fields repeat one, or hold one a scan sets.
        if (i > 0 && entries[i].key == entries[i - 1].key) return false;
        size += entries[i].isText
                    ? amf::object_writer::text_entry_size(entries[i].key, entries[i].text)
                    : amf::object_writer::number_entry_size(entries[i].key);
    }
    record.clear();
    record.reserve(size);
    amf::object_writer writer(record);
    for (std::size_t i = 0; i < count; ++i) {
        const Entry& entry = entries[i];
        if (!entry.isText) {
            writer.number(entry.key, entry.number);
            continue;
        }
        const Span span{static_cast<std::uint32_t>(writer.text(entry.key, entry.text)),
                        static_cast<std::uint32_t>(entry.text.size())};
        if (entry.key == "id") id_ = span;
        if (entry.key == "artistMetadataKey") artistKey_ = span;
        if (entry.key == "albumArtistMetadataKey") albumArtistKey_ = span;
    }
    writer.end();
    artistKeyUsed = keys.artistKeyUsed;
    albumArtistKeyUsed = keys.albumArtistKeyUsed;
    return true;
}

std::unique_ptr<amf::amf_object> EncodedSong::decoded() const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(record.data());
    std::unique_ptr<amf::amf0_data_type> value(amf::decode(bytes, bytes + record.size()));
    if (!value || value->get_type() != amf::AMF_OBJECT) return nullptr;
    return std::unique_ptr<amf::amf_object>(static_cast<amf::amf_object*>(value.release()));
}

std::unique_ptr<amf::amf_object> SongOfKnownTags(const KnownTags& tags, const std::string& path) {
    std::unique_ptr<amf::amf_object> song(new amf::amf_object());
    // Room for "id", "path" and the processor's few.
    song->reserve_properties(tags.fields.size() + 6);
    for (const KnownTags::Field& field : tags.fields) {
        if (field.isText) {
            song->set_string_property(std::string(field.key), std::string(field.text));
        } else {
            song->set_numeric_property(std::string(field.key), static_cast<double>(field.integer));
        }
    }
    std::string id;
    util::SongIdFromPath(path, id);
    song->set_string_property("id", std::move(id));
    song->set_string_property("path", path);
    return song;
}

}  // namespace Ostra

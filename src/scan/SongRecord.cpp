#include "scan/SongRecord.h"

#include <boost/lexical_cast.hpp>
#include <cmath>
#include <iterator>
#include <utility>

#include "amf/access.h"
#include "amf/object_writer.h"
#include "hostlink/ResponseBatch.h"
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
    // Room for every part at its longest, and numbers.
    constexpr std::size_t kRoom = 4 * kMetadataTextLength + 64;
    std::string shared;
    shared.reserve(kRoom);
    keys.artistKey.reserve(kRoom);
    keys.albumArtistKey.reserve(kRoom);
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
    using amf::object_writer;
    std::size_t size = object_writer::kFrameBytes;
    MetadataKeyParts parts;
    for (std::size_t i = 0; i < tags.fields.size(); ++i) {
        const KnownTags::Field& field = tags.fields[i];
        const std::string_view key = field.key;
        // In the order the reader stores them, each key once.
        if (key.empty() || key.size() > amf::kMaxShortStringLength ||
            (i > 0 && !(tags.fields[i - 1].key < key)) ||
            field.text.size() > amf::kMaxShortStringLength) {
            return false;
        }
        if (field.isText) {
            size += object_writer::text_entry_size(key, field.text);
            if (key == "artist") parts.artist = field.text;
            if (key == "albumArtist") parts.albumArtist = field.text;
            if (key == "album") parts.album = field.text;
            if (key == "title") parts.title = field.text;
        } else {
            size += object_writer::number_entry_size(key);
            if (key == "diskNumber") parts.diskNumber = static_cast<double>(field.integer);
            if (key == "trackNumber") parts.trackNumber = static_cast<double>(field.integer);
        }
    }
    std::string id;
    util::SongIdFromPath(path, id);
    if (path.size() > amf::kMaxShortStringLength || id.size() > amf::kMaxShortStringLength)
        return false;
    const MetadataKeys keys = MetadataKeys::of(parts);
    // What a scan sets, in key order.
    const std::pair<std::string_view, std::string_view> added[] = {
        {"albumArtistMetadataKey", keys.albumArtistKey},
        {"artistMetadataKey", keys.artistKey},
        {"id", id},
        {"objectType", "song"},
        {"path", path}};
    for (const auto& entry : added)
        size += object_writer::text_entry_size(entry.first, entry.second);
    // Never the case for fields a read gives; the processor appends the
    // record to a batch as it is.
    if (size > kMaxBatchBytes) return false;

    object_writer writer(record, size);
    std::size_t next = 0;  // of added
    for (const KnownTags::Field& field : tags.fields) {
        for (; next < std::size(added) && added[next].first <= field.key; ++next) {
            // The stored fields hold a key a scan sets.
            if (added[next].first == field.key) return false;
            put(writer, added[next].first, added[next].second);
        }
        if (field.isText) {
            writer.text(field.key, field.text);
        } else {
            writer.number(field.key, static_cast<double>(field.integer));
        }
    }
    for (; next < std::size(added); ++next) put(writer, added[next].first, added[next].second);
    artistKeyUsed = keys.artistKeyUsed;
    albumArtistKeyUsed = keys.albumArtistKeyUsed;
    return writer.end();
}

void EncodedSong::put(amf::object_writer& writer, std::string_view key, std::string_view text) {
    const Span span{static_cast<std::uint32_t>(writer.text(key, text)),
                    static_cast<std::uint32_t>(text.size())};
    if (key == "id") id_ = span;
    if (key == "artistMetadataKey") artistKey_ = span;
    if (key == "albumArtistMetadataKey") albumArtistKey_ = span;
}

std::unique_ptr<amf::amf_object> EncodedSong::decoded() const {
    const auto* bytes = reinterpret_cast<const unsigned char*>(record.data());
    std::unique_ptr<amf::amf0_data_type> value(amf::decode(bytes, bytes + record.size()));
    if (!value || value->get_type() != amf::AMF_OBJECT) return nullptr;
    std::unique_ptr<amf::amf_object> song(static_cast<amf::amf_object*>(value.release()));
    for (const char* added : {"objectType", "artistMetadataKey", "albumArtistMetadataKey"})
        song->remove_property(added);
    return song;
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

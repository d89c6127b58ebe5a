#include "scan/MediaProcessor.h"

#include <boost/algorithm/string/trim_all.hpp>
#include <boost/lexical_cast.hpp>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>

#include "amf/access.h"
#include "util/PathUtils.h"

namespace Ostra {

namespace {

const std::size_t kTableBuckets = 100;
// Metadata keys compare only this many leading bytes of each text part, so
// titles that differ past it count as equal.
const std::size_t kMetadataTextLength = 30;

// Only a short AMF0 string counts as text; anything else under the key is absent.
const std::string* stringProperty(const amf::amf_property_map* map, const char* key) {
    return amf::getString(map->get_property(key));
}

bool endsWith(std::string_view text, const char* suffix) {
    return text.compare(text.size() - 3, 3, suffix) == 0;
}

}  // namespace

MediaProcessor::MediaProcessor(Request& request, unsigned long batchSize)
    : request_(request),
      batch_(request, batchSize),
      knownIds_(kTableBuckets),
      paths_(kTableBuckets),
      albumArtistKeys_(kTableBuckets),
      artistKeys_(kTableBuckets),
      replacements_(kTableBuckets),
      playlistIds_(kTableBuckets) {}

void MediaProcessor::processSongObject(amf::amf_object* song) {
    if (song == nullptr || !verifySongObject(song)) return;
    // Copies: the record's own strings change when keys are set on it below.
    const std::string path = *stringProperty(song, "path");
    const std::string id = *stringProperty(song, "id");
    const std::string* plistIdValue = stringProperty(song, "songPlistId");
    const std::string playlistId = plistIdValue ? *plistIdValue : std::string();

    std::string artistKey, albumArtistKey;
    if (checkAndResolveDuplicate(song, path, id, playlistId, artistKey, albumArtistKey)) return;

    song->set_string_property("objectType", "song");
    song->set_string_property("artistMetadataKey", artistKey);
    song->set_string_property("albumArtistMetadataKey", albumArtistKey);
    ++uniqueSongCount_;
    append(song);
}

void MediaProcessor::processPlaylistObject(amf::amf_object* playlist) {
    if (playlist == nullptr) return;
    std::unique_ptr<amf::amf_ecma_array> songs(new amf::amf_ecma_array());
    const amf::amf_ecma_array* listed = amf::asEcmaArray(*playlist, "songs");
    if (listed != nullptr) {
        // The array's own order: index keys ascend by their bytes ("10" before "2").
        for (const auto& entry : *listed) {
            const std::string* text = amf::getString(entry.second);
            if (text == nullptr) continue;
            const std::string& plistId = *text;
            auto found = playlistIds_.find(plistId);
            if (found == playlistIds_.end()) continue;
            songs->push_back(std::unique_ptr<amf::amf0_data_type>(
                new amf::amf_string(std::string(found->second))));
        }
    }
    playlist->set_property("songs", std::move(songs));
    playlist->set_string_property("objectType", "playlist");
    ++playlistCount_;
    append(playlist);
}

bool MediaProcessor::knowsSongPlaylistId(const std::string& playlistId) const {
    return playlistIds_.find(playlistId) != playlistIds_.end();
}

void MediaProcessor::finish() {
    amf::amf_object report;
    report.set_string_property("objectType", "report");
    report.set_numeric_property("duplicateCount", duplicateCount_);
    report.set_numeric_property("uniqueSongCount", uniqueSongCount_);
    report.set_numeric_property("playlistCount", playlistCount_);
    batch_.finish(report);
}

void MediaProcessor::error(std::string message) {
    request_.SendErrorResponse(message);
}

bool MediaProcessor::verifySongObject(amf::amf_object* song) {
    const std::string* path = stringProperty(song, "path");
    if (path == nullptr) return false;
    if (stringProperty(song, "id") == nullptr) {
        std::string id;
        util::SongIdFromPath(*path, id);
        song->set_string_property("id", id);
    }
    return true;
}

bool MediaProcessor::checkAndResolveDuplicate(amf::amf_object* song, const std::string& path,
                                              const std::string& id, const std::string& playlistId,
                                              std::string& artistKey, std::string& albumArtistKey) {
    Match match;
    SongIdRef ownId;
    // The tables the checks that missed have entered this song's keys in.
    bool idEntered = false, pathEntered = false, artistKeyEntered = false;
    bool found = isDuplicateId(id, ownId, match);
    if (!found) {
        idEntered = true;
        found = isDuplicatePath(path, ownId, match);
    }
    if (!found) {
        pathEntered = true;
        if (hasMetadata(song)) {
            MetadataKeyUse use = metadataKeysFromSong(song, artistKey, albumArtistKey);
            if (use.artistKey) {
                found = isDuplicateArtistMetadataKey(artistKey, ownId, match);
                artistKeyEntered = !found;
            }
            if (!found && use.albumArtistKey)
                found = isDuplicateAlbumArtistMetadataKey(albumArtistKey, ownId, match);
        }
    }
    if (!found) {
        if (!playlistId.empty()) connectSongPlaylistIdToSongId(playlistId, ownId);
        return false;
    }
    if (artistKeyEntered) artistKeys_.erase(artistKey);
    if (pathEntered) paths_.erase(path);
    if (idEntered) knownIds_.erase(id);
    if (!playlistId.empty()) connectSongPlaylistIdToSongId(playlistId, match.keptId);
    reportDuplicate(song, path, match.keptId, id, match.type, match.key);
    return true;
}

// The arena copy of an empty text (an id of a path made only of removed
// characters, an empty key) is the empty view itself.
std::string_view MediaProcessor::keep(std::string_view text) {
    if (text.empty()) return std::string_view();
    char* copy = static_cast<char*>(arena_.allocate(text.size(), 1));
    std::memcpy(copy, text.data(), text.size());
    return std::string_view(copy, text.size());
}

void MediaProcessor::assign(IdTable& table, std::string_view key, SongIdRef value) {
    const auto entry = table.find(key);
    if (entry == table.end())
        table.emplace(keep(key), value);
    else
        entry->second = value;
}

// The key is copied into the arena only when it is new: a duplicate's
// lookup leaves nothing behind.
bool MediaProcessor::claim(IdTable& table, const std::string& key, SongIdRef ownId,
                           const char* type, Match& match) {
    const auto found = table.find(key);
    if (found == table.end()) {
        table.emplace(keep(key), ownId);
        return false;
    }
    match.keptId = found->second;
    match.type = type;
    match.key = key;
    return true;
}

bool MediaProcessor::isDuplicateId(const std::string& id, SongIdRef& ownId, Match& match) {
    const auto found = knownIds_.find(id);
    if (found == knownIds_.end()) {
        ownId = keep(id);
        knownIds_.insert(ownId);
        return false;
    }
    match.keptId = *found;
    match.type = "id";
    match.key = id;
    return true;
}

bool MediaProcessor::isDuplicatePath(const std::string& path, SongIdRef ownId, Match& match) {
    return claim(paths_, path, ownId, "path", match);
}

bool MediaProcessor::isDuplicateArtistMetadataKey(const std::string& key, SongIdRef ownId,
                                                  Match& match) {
    return claim(artistKeys_, key, ownId, "artistMDK", match);
}

bool MediaProcessor::isDuplicateAlbumArtistMetadataKey(const std::string& key, SongIdRef ownId,
                                                       Match& match) {
    return claim(albumArtistKeys_, key, ownId, "albumArtistMDK", match);
}

bool MediaProcessor::hasMetadata(const amf::amf_object* song) {
    return stringProperty(song, "title") != nullptr;
}

MediaProcessor::MetadataKeyUse MediaProcessor::metadataKeysFromSong(const amf::amf_object* song,
                                                                    std::string& artistKey,
                                                                    std::string& albumArtistKey) {
    std::string shared;
    shared.push_back('-');
    appendStringToMetadataKey(song, "album", shared);
    const bool hasAlbum = shared.size() > 1;
    shared.push_back('-');
    appendStringToMetadataKey(song, "title", shared);
    shared.push_back('-');
    appendNumericToMetadataKey(song, "diskNumber", shared);
    shared.push_back('-');
    appendNumericToMetadataKey(song, "trackNumber", shared);

    MetadataKeyUse use;
    artistKey.clear();
    appendStringToMetadataKey(song, "artist", artistKey);
    use.artistKey = hasAlbum || !artistKey.empty();
    artistKey += shared;
    albumArtistKey.clear();
    appendStringToMetadataKey(song, "albumArtist", albumArtistKey);
    use.albumArtistKey = hasAlbum || !albumArtistKey.empty();
    albumArtistKey += shared;
    return use;
}

void MediaProcessor::appendStringToMetadataKey(const amf::amf_object* song, const char* key,
                                               std::string& metadataKey) {
    const std::string* value = stringProperty(song, key);
    if (value == nullptr) return;
    // Bytes, not characters: a multi-byte UTF-8 character may be cut.
    std::string_view part = std::string_view(*value).substr(0, kMetadataTextLength);
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

void MediaProcessor::appendNumericToMetadataKey(const amf::amf_object* song, const char* key,
                                                std::string& metadataKey) {
    const std::optional<double> value = amf::getNumber(*song, key);
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

void MediaProcessor::reportDuplicate(amf::amf_object* song, const std::string& path,
                                     SongIdRef keptId, const std::string& ownId, const char* type,
                                     const std::string& key) {
    const std::string preferredId(getPreferredSongId(keptId));
    if (isPreferred(ownId, preferredId)) {
        // The replacing record is registered nowhere else: this table keeps its id.
        assign(replacements_, keptId, keep(ownId));
        song->set_string_property("objectType", "replacement");
        song->set_string_property("path", path);
        song->set_string_property("duplicateOf", preferredId);
        song->set_string_property("type", type);
        song->set_string_property("key", key);
        append(song);
    } else {
        amf::amf_object notice;
        notice.set_string_property("objectType", "duplicate");
        notice.set_string_property("path", path);
        notice.set_string_property("duplicateOf", preferredId);
        notice.set_string_property("type", type);
        notice.set_string_property("key", key);
        append(&notice);
    }
    ++duplicateCount_;
}

MediaProcessor::SongIdRef MediaProcessor::getPreferredSongId(SongIdRef keptId) const {
    SongIdRef current = keptId;
    for (int step = 0; step < 2; ++step) {
        auto found = replacements_.find(current);
        if (found == replacements_.end()) break;
        current = found->second;
    }
    return current;
}

bool MediaProcessor::isPreferred(std::string_view ownId, std::string_view preferredId) {
    if (ownId.size() < 3 || preferredId.size() < 3) return false;
    // Ids end in the letters of the file's extension (its dot is removed).
    if (endsWith(preferredId, "mp3")) return false;
    if (endsWith(ownId, "mp3")) return true;
    if (endsWith(preferredId, "m4a")) return false;
    return endsWith(ownId, "m4a");
}

void MediaProcessor::connectSongPlaylistIdToSongId(const std::string& playlistId,
                                                   SongIdRef songId) {
    assign(playlistIds_, playlistId, songId);
}

// Each record is encoded into the batch as it comes, so only its bytes wait
// for the batch to fill. A record too large for any frame (tags of tens of
// MiB) goes out without its oversized values, as a file whose tags could
// not be read would.
void MediaProcessor::append(const amf::amf_object* record) {
    if (batch_.add(*record)) return;
    const std::size_t kMaxKeptValueBytes = 1024 * 1024;
    amf::amf_object reduced;
    for (const auto& entry : record->get_value()) {
        if (amf::get_size(entry.second) <= kMaxKeptValueBytes)
            reduced.set_property(entry.first.get_value(), entry.second);
    }
    batch_.add(reduced);
}

}  // namespace Ostra

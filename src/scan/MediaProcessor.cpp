#include "scan/MediaProcessor.h"

#include <cstring>
#include <memory>

#include "amf/access.h"
#include "util/PathUtils.h"

namespace Ostra {

namespace {

const std::size_t kTableBuckets = 100;

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

    MetadataKeys keys = MetadataKeys::of(MetadataKeyParts::of(*song));
    Match match;
    if (isDuplicate({id, path, playlistId, keys.artistKey, keys.albumArtistKey, keys.artistKeyUsed,
                     keys.albumArtistKeyUsed},
                    match)) {
        reportDuplicate(song, path, id, match);
        return;
    }
    song->set_string_property("objectType", "song");
    song->set_string_property("artistMetadataKey", std::move(keys.artistKey));
    song->set_string_property("albumArtistMetadataKey", std::move(keys.albumArtistKey));
    ++uniqueSongCount_;
    append(song);
}

// A new song goes out as it came; only a duplicate is decoded, into the
// record processSongObject would have held at that point.
void MediaProcessor::processEncodedSong(const EncodedSong& song, const std::string& path) {
    Match match;
    if (!isDuplicate({song.id(), path, std::string_view(), song.artistKey(), song.albumArtistKey(),
                      song.artistKeyUsed, song.albumArtistKeyUsed},
                     match)) {
        ++uniqueSongCount_;
        // Always appended: encode() keeps a record within a batch's bytes.
        batch_.addEncoded(song.record);
        return;
    }
    const std::unique_ptr<amf::amf_object> record = song.decoded();
    if (record) reportDuplicate(record.get(), path, song.id(), match);
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

bool MediaProcessor::isDuplicate(const SongKeys& keys, Match& match) {
    SongIdRef ownId;
    // The tables the checks that missed have entered this song's keys in.
    bool idEntered = false, pathEntered = false, artistKeyEntered = false;
    bool found = isDuplicateId(keys.id, ownId, match);
    if (!found) {
        idEntered = true;
        found = claim(paths_, keys.path, ownId, "path", match);
    }
    if (!found) {
        pathEntered = true;
        if (keys.artistKeyUsed) {
            found = claim(artistKeys_, keys.artistKey, ownId, "artistMDK", match);
            artistKeyEntered = !found;
        }
        if (!found && keys.albumArtistKeyUsed)
            found = claim(albumArtistKeys_, keys.albumArtistKey, ownId, "albumArtistMDK", match);
    }
    if (!found) {
        if (!keys.playlistId.empty()) connectSongPlaylistIdToSongId(keys.playlistId, ownId);
        return false;
    }
    if (artistKeyEntered) artistKeys_.erase(keys.artistKey);
    if (pathEntered) paths_.erase(keys.path);
    if (idEntered) knownIds_.erase(keys.id);
    if (!keys.playlistId.empty()) connectSongPlaylistIdToSongId(keys.playlistId, match.keptId);
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
// lookup leaves nothing behind. One probe finds the key or its free slot.
bool MediaProcessor::claim(IdTable& table, std::string_view key, SongIdRef ownId, const char* type,
                           Match& match) {
    bool added = false;
    const auto found = table.lazy_emplace(key, [&](const IdTable::constructor& construct) {
        added = true;
        construct(keep(key), ownId);
    });
    if (added) return false;
    match.keptId = found->second;
    match.type = type;
    match.key = key;
    return true;
}

bool MediaProcessor::isDuplicateId(std::string_view id, SongIdRef& ownId, Match& match) {
    bool added = false;
    const auto found = knownIds_.lazy_emplace(id, [&](const IdSet::constructor& construct) {
        added = true;
        ownId = keep(id);
        construct(ownId);
    });
    if (added) return false;
    match.keptId = *found;
    match.type = "id";
    match.key = id;
    return true;
}

void MediaProcessor::reportDuplicate(amf::amf_object* song, const std::string& path,
                                     std::string_view ownId, const Match& match) {
    const std::string preferredId(getPreferredSongId(match.keptId));
    if (isPreferred(ownId, preferredId)) {
        // The replacing record is registered nowhere else: this table keeps its id.
        assign(replacements_, match.keptId, keep(ownId));
        song->set_string_property("objectType", "replacement");
        song->set_string_property("path", path);
        song->set_string_property("duplicateOf", preferredId);
        song->set_string_property("type", match.type);
        song->set_string_property("key", match.key);
        append(song);
    } else {
        amf::amf_object notice;
        notice.set_string_property("objectType", "duplicate");
        notice.set_string_property("path", path);
        notice.set_string_property("duplicateOf", preferredId);
        notice.set_string_property("type", match.type);
        notice.set_string_property("key", match.key);
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

void MediaProcessor::connectSongPlaylistIdToSongId(std::string_view playlistId, SongIdRef songId) {
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

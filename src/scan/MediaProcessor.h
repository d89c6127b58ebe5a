#pragma once

#include <absl/container/flat_hash_map.h>
#include <absl/container/flat_hash_set.h>

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>

#include "amf/amf0.h"
#include "hostlink/Request.h"
#include "hostlink/ResponseBatch.h"
#include "scan/IMediaProcessor.h"

namespace Ostra {

// Checks song records, detects duplicates by id, path and two metadata keys,
// picks which copy the host keeps (mp3 over m4a over anything else, the
// earlier song on a tie), rewrites playlists to surviving song ids, and sends
// everything in batches closed by a report.
//
// One processor serves one scan request and is used only by the worker thread
// running that request; it takes no locks.
class MediaProcessor : public IMediaProcessor {
  public:
    // The request must outlive the processor. A batch size of 0 sends every
    // appended object at once, like 1.
    MediaProcessor(Request& request, unsigned long batchSize);
    MediaProcessor(const MediaProcessor&) = delete;
    MediaProcessor& operator=(const MediaProcessor&) = delete;

    void processSongObject(amf::amf_object* song) override;
    void processEncodedSong(const EncodedSong& song, const std::string& path) override;
    void processPlaylistObject(amf::amf_object* playlist) override;
    bool knowsSongPlaylistId(const std::string& playlistId) const override;
    void finish() override;
    void error(std::string message) override;

  private:
    // The tables hold views of texts copied once into arena_, which only
    // grows and is released with the processor: a key costs no allocation of
    // its own, and a song's id is stored once however many tables name it.
    // The tables are open addressing: a lookup that misses, as nearly all
    // do, reads one group of control bytes instead of walking a chain.
    typedef std::string_view SongIdRef;
    typedef absl::flat_hash_map<std::string_view, SongIdRef> IdTable;
    typedef absl::flat_hash_set<std::string_view> IdSet;

    struct Match {
        SongIdRef keptId;  // as found in the table
        const char* type = nullptr;
        std::string key;
    };

    // What the duplicate check of a song looks at.
    struct SongKeys {
        std::string_view id, path, playlistId;
        std::string_view artistKey, albumArtistKey;
        bool artistKeyUsed = false, albumArtistKeyUsed = false;
    };

    bool verifySongObject(amf::amf_object* song);
    // Each check enters its key for the song being taken in when it misses,
    // so a new song leaves the check registered; a later hit takes the
    // entries out again. True for a duplicate, with match set.
    bool isDuplicate(const SongKeys& keys, Match& match);
    bool isDuplicateId(std::string_view id, SongIdRef& ownId, Match& match);
    bool claim(IdTable& table, std::string_view key, SongIdRef ownId, const char* type,
               Match& match);
    // A copy of text in the arena.
    std::string_view keep(std::string_view text);
    // table[key] = value, a new key copied into the arena.
    void assign(IdTable& table, std::string_view key, SongIdRef value);
    void reportDuplicate(amf::amf_object* song, const std::string& path, std::string_view ownId,
                         const Match& match);
    SongIdRef getPreferredSongId(SongIdRef keptId) const;
    static bool isPreferred(std::string_view ownId, std::string_view preferredId);
    void connectSongPlaylistIdToSongId(std::string_view playlistId, SongIdRef songId);
    void append(const amf::amf_object* record);

    Request& request_;
    ResponseBatch batch_;
    std::pmr::monotonic_buffer_resource arena_;
    IdSet knownIds_;
    IdTable paths_;
    IdTable albumArtistKeys_;
    IdTable artistKeys_;
    // Replaced song id -> the id of the record that replaced it.
    IdTable replacements_;
    IdTable playlistIds_;
    std::int32_t uniqueSongCount_ = 0;
    std::int32_t playlistCount_ = 0;
    std::int32_t duplicateCount_ = 0;
};

}  // namespace Ostra

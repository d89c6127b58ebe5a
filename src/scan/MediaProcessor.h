#pragma once

#include <boost/shared_ptr.hpp>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "amf/amf0.h"
#include "hostlink/Request.h"
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
    void processPlaylistObject(amf::amf_object* playlist) override;
    void finish() override;
    void error(std::string message) override;

  private:
    // Every table value is a song id that is registered in knownIds_; the
    // tables point at the set's own copy (set nodes never move), so a song's
    // id is stored once however many tables name it.
    typedef const std::string* SongIdRef;
    typedef std::unordered_map<std::string, SongIdRef> IdTable;

    struct Match {
        SongIdRef keptId = nullptr;  // as found in the table
        const char* type = nullptr;
        std::string key;
    };

    bool verifySongObject(amf::amf_object* song);
    bool checkAndResolveDuplicate(amf::amf_object* song, const std::string& path,
                                  const std::string& id, const std::string& playlistId,
                                  std::string& artistKey, std::string& albumArtistKey);
    bool isDuplicateId(const std::string& id, Match& match) const;
    bool isDuplicatePath(const std::string& path, Match& match) const;
    bool isDuplicateArtistMetadataKey(const std::string& key, Match& match) const;
    bool isDuplicateAlbumArtistMetadataKey(const std::string& key, Match& match) const;
    static bool hasMetadata(const amf::amf_object* song);
    static void metadataKeysFromSong(const amf::amf_object* song, std::string& artistKey,
                                     std::string& albumArtistKey);
    static void appendStringToMetadataKey(const amf::amf_object* song, const char* key,
                                          std::string& metadataKey);
    static void appendNumericToMetadataKey(const amf::amf_object* song, const char* key,
                                           std::string& metadataKey);
    void reportDuplicate(amf::amf_object* song, const std::string& path, const std::string& keptId,
                         const std::string& ownId, const char* type, const std::string& key);
    const std::string& getPreferredSongId(const std::string& keptId) const;
    static bool isPreferred(const std::string& ownId, const std::string& preferredId);
    void connectSongPlaylistIdToSongId(const std::string& playlistId, SongIdRef songId);
    void append(const amf::amf0_data_type* value);

    Request& request_;
    unsigned long batchSize_;
    boost::shared_ptr<amf::amf_encoded_ecma_array> batch_;
    std::unordered_set<std::string> knownIds_;
    IdTable paths_;
    IdTable albumArtistKeys_;
    IdTable artistKeys_;
    // Replaced song id -> the id of the record that replaced it. The replacing
    // record is not registered anywhere else, so this table owns its ids.
    std::unordered_map<std::string, std::string> replacements_;
    IdTable playlistIds_;
    std::int32_t uniqueSongCount_ = 0;
    std::int32_t playlistCount_ = 0;
    std::int32_t duplicateCount_ = 0;
};

}  // namespace Ostra

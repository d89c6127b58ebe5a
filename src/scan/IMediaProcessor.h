#pragma once

#include <memory>
#include <string>

#include "amf/amf0.h"
#include "scan/SongRecord.h"

namespace Ostra {

// The sink of one scan request. Scanners hand it song and playlist records one
// at a time (borrowed: the caller keeps ownership and may destroy a record
// after the call); the processor may add keys to them in place.
class IMediaProcessor {
  public:
    virtual ~IMediaProcessor() = default;
    virtual void processSongObject(amf::amf_object* song) = 0;
    // The same for a song record of the file at path already encoded
    // (EncodedSong::encode), as a new song's record goes out. A sink that
    // does not send records takes it decoded.
    virtual void processEncodedSong(const EncodedSong& song, const std::string& path) {
        (void)path;
        std::unique_ptr<amf::amf_object> record = song.decoded();
        if (record) processSongObject(record.get());
    }
    virtual void processPlaylistObject(amf::amf_object* playlist) = 0;
    // Whether a playlist entry naming this "songPlistId" would survive
    // processPlaylistObject as things stand, so a scanner need not keep the
    // entries that would not. A sink that does not map playlists keeps them all.
    virtual bool knowsSongPlaylistId(const std::string& playlistId) const {
        (void)playlistId;
        return true;
    }
    // Sends the report and the last batch with "done" true; called once.
    virtual void finish() = 0;
    // Sends an error response; finish() still follows.
    virtual void error(std::string message) = 0;
};

}  // namespace Ostra

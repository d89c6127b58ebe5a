// Audio files for the metadata tests, generated on first use with the ffmpeg
// command line (and, for what ffmpeg cannot write, tagfix.py over mutagen)
// into a temporary folder that lives as long as the test process.
#pragma once

#include <string>

#include "support/TestHost.h"

namespace metadatatest {

// Values every fully tagged fixture carries.
extern const char kTitle[];
extern const char kArtist[];
extern const char kAlbum[];
extern const char kGenre[];
extern const char kAlbumArtist[];
extern const int kTrack;
extern const int kDurationSeconds;
// The nine-digit id inside kComment.
extern const char kComment[];
extern const char kDmid[];

class AudioFixtures {
  public:
    static AudioFixtures& instance();

    // Path of the named fixture, generated on first request; fails the
    // calling test (and returns an empty path) when generation fails. Names:
    //   tagged_v23.mp3 tagged_v24.mp3 tagged_v1.mp3 (ID3v2.3 and an ID3v1 block)
    //   TAGGED.MP3 (upper-case copy of tagged_v23.mp3) comment_v1only.mp3
    //   chapters.mp3 (tagged_v24.mp3 with a table of contents and chapters)
    //   untagged.mp3 (title and artist only, no track) long_title.mp3
    //   aac.m4a aac_faststart.m4a alac.m4a alac_faststart.m4a alac.mp4
    //   tagged.flac id3_tpe2.flac tagged.ogg spaced.ogg
    //   tagged.wav info_only.wav tagged.aiff tagged.aif tagged.wma
    //   not_audio.mp3 empty.m4a truncated.flac truncated.m4a
    std::string path(const std::string& name);
    // A fresh, empty folder inside the fixture folder.
    std::string newDir(const std::string& name);
    const std::string& root() const { return dir_.path(); }

  private:
    AudioFixtures() = default;
    bool generate(const std::string& name, const std::string& target);

    testsupport::TempDir dir_;
};

// An MP3 with the full tag set and the given COMM text, made by copying
// tagged_v23.mp3 to `name` in the fixture folder.
std::string mp3WithComment(const std::string& name, const std::string& comment);

// Shell-quotes a path for /bin/sh.
std::string quote(const std::string& text);

}  // namespace metadatatest

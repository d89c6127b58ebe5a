// Tagged audio for the metadata tests: made by the ffmpeg command line (and,
// for what ffmpeg cannot write, tagfix.py over mutagen), kept in the build
// tree by media::make.
#pragma once

#include <string>

namespace metadatatest {

// Values every fully tagged file carries.
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

// Path of the named file; fails the calling test (and returns "") when it
// cannot be made. Names:
//   tagged_v23.mp3 tagged_v24.mp3 tagged_v1.mp3 (ID3v2.3 and an ID3v1 block)
//   TAGGED.MP3 (upper-case copy of tagged_v23.mp3) comment_v1only.mp3
//   chapters.mp3 (tagged_v24.mp3 with a table of contents and chapters)
//   untagged.mp3 (title and artist only, no track)
//   aac.m4a aac_faststart.m4a alac.m4a alac_faststart.m4a alac.mp4
//   tagged.flac id3_tpe2.flac tagged.ogg spaced.ogg
//   tagged.wav info_only.wav tagged.aiff tagged.aif tagged.wma
//   not_audio.mp3 empty.m4a truncated.flac truncated.m4a
std::string fixture(const std::string& name);
// An MP3 with the full tag set and the given COMM text.
std::string mp3WithComment(const std::string& name, const std::string& comment);
// This process's folder for test outputs, removed at exit, and a fresh
// folder inside it.
const std::string& scratchRoot();
std::string newDir(const std::string& name);

}  // namespace metadatatest

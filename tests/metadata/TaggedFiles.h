// Tagged audio for the metadata tests, made by ffmpeg (and crafted_metadata.py
// for what ffmpeg cannot write) and kept in the build tree by media::make.
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

// Path of the named file (see recipe() for the names); fails the calling
// test (and returns "") when it cannot be made.
std::string fixture(const std::string& name);
// An MP3 with the full tag set and the given COMM text.
std::string mp3WithComment(const std::string& name, const std::string& comment);
// This process's folder for outputs, removed at exit; a fresh one inside it.
const std::string& scratchRoot();
std::string newDir(const std::string& name);

}  // namespace metadatatest

// Tagged audio for the metadata tests, made by ffmpeg (and crafted_metadata.py
// for what ffmpeg cannot write) and kept in the build tree by media::make.
#pragma once

#include <string>

namespace metadatatest {

// Values every fully tagged file carries; the nine-digit id inside kComment.
inline constexpr char kTitle[] = "T\xc3\xaftle";
inline constexpr char kArtist[] = "Artist";
inline constexpr char kAlbum[] = "Album";
inline constexpr char kGenre[] = "Rock";
inline constexpr char kAlbumArtist[] = "\xc3\x85lbum \xc3\x84rtist";
inline constexpr int kTrack = 7;
inline constexpr int kDurationSeconds = 3;
inline constexpr char kComment[] = "Catalogue 212345678 ref";
inline constexpr char kDmid[] = "212345678";

// Path of the named file (see recipe() for the names); fails the calling
// test (and returns "") when it cannot be made.
std::string fixture(const std::string& name);
// An MP3 with the full tag set and the given COMM text.
std::string mp3WithComment(const std::string& name, const std::string& comment);
// This process's folder for outputs, removed at exit; a fresh one inside it.
const std::string& scratchRoot();
std::string newDir(const std::string& name);

}  // namespace metadatatest

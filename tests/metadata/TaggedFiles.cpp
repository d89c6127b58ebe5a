#include "TaggedFiles.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <map>

#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace metadatatest {

namespace {

using media::quote;

// crafted_metadata.py's `kind` over "$OUT", in place.
std::string retag(const std::string& kind, const std::string& arg = "") {
    return std::string(" && /usr/bin/python3 ") + OSTRA_CRAFTED_METADATA + " " + kind +
           " \"$OUT\" \"$OUT\"" + (arg.empty() ? "" : " " + quote(arg));
}

// ffmpeg writing a sine with the full tag set and `args` to "$OUT".
std::string tagged(const std::string& args) {
    return "ffmpeg -nostdin -v error -y -f lavfi -i "
           "sine=frequency=440:sample_rate=44100:duration=" +
           std::to_string(kDurationSeconds) +
           media::tags({{"title", kTitle},
                        {"artist", kArtist},
                        {"album", kAlbum},
                        {"genre", kGenre},
                        {"track", std::to_string(kTrack)},
                        {"disc", "2"},
                        {"album_artist", kAlbumArtist}}) +
           " " + args + " \"$OUT\"";
}

std::string copyOf(const std::string& name) {
    return "cp " + quote(fixture(name)) + " \"$OUT\"";
}

std::string recipe(const std::string& name) {
    if (name == "tagged_v23.mp3") return tagged("-id3v2_version 3") + retag("comment", kComment);
    if (name == "tagged_v24.mp3") return tagged("-id3v2_version 4") + retag("comment", kComment);
    if (name == "tagged_v1.mp3") {
        return tagged("-id3v2_version 3 -write_id3v1 1") + retag("comment", kComment);
    }
    if (name == "TAGGED.MP3") return copyOf("tagged_v23.mp3");
    if (name == "chapters.mp3") return copyOf("tagged_v24.mp3") + retag("chapters");
    if (name == "comment_v1only.mp3") {
        // With ID3v2 switched off ffmpeg's ID3v1 block carries only the comment.
        return "ffmpeg -nostdin -v error -y -f lavfi -i sine=duration=3 -id3v2_version 0 "
               "-write_id3v1 1 -metadata comment=" +
               quote(kComment) + " \"$OUT\"";
    }
    if (name == "untagged.mp3") {
        return "ffmpeg -nostdin -v error -y -f lavfi -i sine=duration=3 -id3v2_version 3" +
               media::tags({{"title", kTitle}, {"artist", kArtist}}) + " \"$OUT\"";
    }
    const std::map<std::string, std::string> plain = {
        {"aac.m4a", "-c:a aac"},
        {"aac_faststart.m4a", "-c:a aac -movflags +faststart"},
        {"alac.m4a", "-c:a alac"},
        {"alac_faststart.m4a", "-c:a alac -movflags +faststart"},
        {"alac.mp4", "-c:a alac -movflags +faststart"},
        {"tagged.flac", ""},
        {"tagged.ogg", "-c:a libvorbis"},
        {"info_only.wav", ""},
        {"tagged.aiff", "-write_id3v2 1"},
        {"tagged.wma", "-c:a wmav2"}};
    if (plain.count(name)) return tagged(plain.at(name));
    if (name == "id3_tpe2.flac") {
        return copyOf("tagged.flac") + retag("id3-album-artist", "Id3 Album Artist");
    }
    if (name == "spaced.ogg") {
        return copyOf("tagged.ogg") + retag("spaced-album-artist", "Spaced Album Artist");
    }
    if (name == "tagged.wav") return tagged("") + retag("wav-id3");
    if (name == "tagged.aif") return copyOf("tagged.aiff");
    if (name == "not_audio.mp3") {
        return "{ head -c 4096 /dev/zero | tr '\\0' z; echo 'this is not audio'; } > \"$OUT\"";
    }
    if (name == "empty.m4a") return ": > \"$OUT\"";
    if (name == "truncated.flac")
        return "head -c 300 " + quote(fixture("tagged.flac")) + " > \"$OUT\"";
    if (name == "truncated.m4a") return "head -c 300 " + quote(fixture("aac.m4a")) + " > \"$OUT\"";
    ADD_FAILURE() << "no recipe for " << name;
    return "false";
}

}  // namespace

std::string fixture(const std::string& name) {
    return media::make(name, recipe(name));
}

std::string mp3WithComment(const std::string& name, const std::string& comment) {
    return media::make(name, copyOf("tagged_v23.mp3") + retag("comment", comment));
}

const std::string& scratchRoot() {
    static const testsupport::TempDir dir;
    return dir.path();
}

std::string newDir(const std::string& name) {
    const std::string dir = scratchRoot() + "/" + name;
    boost::filesystem::create_directories(dir);
    return dir;
}

}  // namespace metadatatest

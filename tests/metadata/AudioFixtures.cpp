#include "AudioFixtures.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <boost/filesystem.hpp>
#include <mutex>

namespace metadatatest {

const char kTitle[] = "T\xc3\xaftle";
const char kArtist[] = "Artist";
const char kAlbum[] = "Album";
const char kGenre[] = "Rock";
const char kAlbumArtist[] = "\xc3\x85lbum \xc3\x84rtist";
const int kTrack = 7;
const int kDurationSeconds = 3;
const char kComment[] = "Catalogue 212345678 ref";
const char kDmid[] = "212345678";

namespace {

std::mutex fixtureMutex;

std::string fullTags() {
    return std::string(" -metadata title=") + quote(kTitle) +
           " -metadata artist=" + quote(kArtist) + " -metadata album=" + quote(kAlbum) +
           " -metadata genre=" + quote(kGenre) + " -metadata track=" + std::to_string(kTrack) +
           " -metadata disc=2 -metadata album_artist=" + quote(kAlbumArtist);
}

bool ffmpeg(const std::string& args, const std::string& target) {
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:"
        "sample_rate=44100:duration=" +
        std::to_string(kDurationSeconds) + " " + args + " " + quote(target);
    return testsupport::run(command) == 0;
}

bool tagfix(const std::string& args) {
    return testsupport::run(std::string("/usr/bin/python3 ") + OSTRA_TAGFIX_SCRIPT + " " + args) ==
           0;
}

bool copyTo(AudioFixtures& fixtures, const std::string& from, const std::string& target) {
    const std::string source = fixtures.path(from);
    return !source.empty() && testsupport::run("cp " + quote(source) + " " + quote(target)) == 0;
}

}  // namespace

std::string quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'') {
            out += "'\\''";
        } else {
            out += c;
        }
    }
    return out + "'";
}

AudioFixtures& AudioFixtures::instance() {
    static AudioFixtures fixtures;
    return fixtures;
}

std::string AudioFixtures::newDir(const std::string& name) {
    const std::string dir = dir_ / name;
    boost::filesystem::create_directories(dir);
    return dir;
}

std::string AudioFixtures::path(const std::string& name) {
    const std::string target = dir_ / name;
    {
        std::lock_guard<std::mutex> lock(fixtureMutex);
        struct stat status;
        if (::stat(target.c_str(), &status) == 0) return target;
    }
    if (!generate(name, target)) {
        ADD_FAILURE() << "could not generate fixture " << name;
        return std::string();
    }
    return target;
}

bool AudioFixtures::generate(const std::string& name, const std::string& target) {
    const std::string tags = fullTags();
    if (name == "tagged_v23.mp3") {
        return ffmpeg(tags + " -id3v2_version 3", target) &&
               tagfix("comm " + quote(target) + " 3 " + quote(kComment));
    }
    if (name == "tagged_v24.mp3") {
        return ffmpeg(tags + " -id3v2_version 4", target) &&
               tagfix("comm " + quote(target) + " 4 " + quote(kComment));
    }
    if (name == "tagged_v1.mp3") {
        return ffmpeg(tags + " -id3v2_version 3 -write_id3v1 1", target) &&
               tagfix("comm " + quote(target) + " 3 " + quote(kComment));
    }
    if (name == "TAGGED.MP3") return copyTo(*this, "tagged_v23.mp3", target);
    if (name == "chapters.mp3") {
        return copyTo(*this, "tagged_v24.mp3", target) && tagfix("chapters " + quote(target));
    }
    if (name == "comment_v1only.mp3") {
        // With ID3v2 switched off ffmpeg's ID3v1 block carries only the comment.
        return ffmpeg(
            std::string("-id3v2_version 0 -write_id3v1 1 -metadata comment=") + quote(kComment),
            target);
    }
    if (name == "untagged.mp3") {
        return ffmpeg(std::string("-metadata title=") + quote(kTitle) +
                          " -metadata artist=" + quote(kArtist) + " -id3v2_version 3",
                      target);
    }
    if (name == "long_title.mp3") {
        return copyTo(*this, "tagged_v23.mp3", target) &&
               tagfix("title " + quote(target) + " 3 " + std::string(70000, 'x'));
    }
    if (name == "aac.m4a") return ffmpeg(tags + " -c:a aac", target);
    if (name == "aac_faststart.m4a") return ffmpeg(tags + " -c:a aac -movflags +faststart", target);
    if (name == "alac.m4a") return ffmpeg(tags + " -c:a alac", target);
    if (name == "alac_faststart.m4a") {
        return ffmpeg(tags + " -c:a alac -movflags +faststart", target);
    }
    if (name == "alac.mp4") return ffmpeg(tags + " -c:a alac -movflags +faststart", target);
    if (name == "tagged.flac") return ffmpeg(tags, target);
    if (name == "id3_tpe2.flac") {
        return copyTo(*this, "tagged.flac", target) &&
               tagfix("flacid3 " + quote(target) + " 'Id3 Album Artist'");
    }
    if (name == "tagged.ogg") return ffmpeg(tags + " -c:a libvorbis", target);
    if (name == "spaced.ogg") {
        return copyTo(*this, "tagged.ogg", target) &&
               tagfix("oggspaced " + quote(target) + " 'Spaced Album Artist'");
    }
    if (name == "tagged.wav") {
        return ffmpeg(tags, target) && tagfix("wavid3 " + quote(target));
    }
    if (name == "info_only.wav") return ffmpeg(tags, target);
    if (name == "tagged.aiff") return ffmpeg(tags + " -write_id3v2 1", target);
    if (name == "tagged.aif") return copyTo(*this, "tagged.aiff", target);
    if (name == "tagged.wma") return ffmpeg(tags + " -c:a wmav2", target);
    if (name == "not_audio.mp3") {
        testsupport::writeFile(target, std::string(4096, 'z') + "this is not audio\n");
        return true;
    }
    if (name == "empty.m4a") {
        testsupport::writeFile(target, std::string());
        return true;
    }
    if (name == "truncated.flac" || name == "truncated.m4a") {
        const std::string source = path(name == "truncated.flac" ? "tagged.flac" : "aac.m4a");
        if (source.empty()) return false;
        testsupport::writeFile(target, testsupport::readFile(source).substr(0, 300));
        return true;
    }
    return false;
}

std::string mp3WithComment(const std::string& name, const std::string& comment) {
    AudioFixtures& fixtures = AudioFixtures::instance();
    const std::string target = fixtures.root() + "/" + name;
    const std::string source = fixtures.path("tagged_v23.mp3");
    if (source.empty()) return std::string();
    if (testsupport::run("cp " + quote(source) + " " + quote(target)) != 0 ||
        !tagfix("comm " + quote(target) + " 3 " + quote(comment))) {
        ADD_FAILURE() << "could not make " << name;
        return std::string();
    }
    return target;
}

}  // namespace metadatatest

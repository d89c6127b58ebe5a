#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "hash/GetHasherForFile.h"
#include "hash/M4AGenerator.h"
#include "hash/MP3Generator.h"

namespace {

using Ostra::FileHash::Generator;
using Ostra::FileHash::M4AGenerator;
using Ostra::FileHash::MP3Generator;

std::unique_ptr<Generator> hasherFor(const std::string& path) {
    return std::unique_ptr<Generator>(Ostra::GetHasherForFile(path));
}

TEST(GetHasherForFile, Mp3InAnyCase) {
    for (const char* path : {"song.mp3", "/music/song.MP3", "Song.Mp3", "/a.b/c.d/x.mP3", ".mp3"}) {
        auto hasher = hasherFor(path);
        EXPECT_NE(nullptr, dynamic_cast<MP3Generator*>(hasher.get())) << path;
    }
}

TEST(GetHasherForFile, M4aInAnyCase) {
    for (const char* path : {"song.m4a", "/music/SONG.M4A", "x.M4a"}) {
        auto hasher = hasherFor(path);
        EXPECT_NE(nullptr, dynamic_cast<M4AGenerator*>(hasher.get())) << path;
    }
}

TEST(GetHasherForFile, EverythingElseHasNone) {
    for (const char* path :
         {"song.mp4", "song.aac", "song.flac", "song.wav", "song", "", "dir.mp3/song",
          "/music/dir.m4a/track", "song.mp3.bak", "song.mp3 ", "song.", "song.mp"}) {
        EXPECT_EQ(nullptr, hasherFor(path)) << path;
    }
}

}  // namespace

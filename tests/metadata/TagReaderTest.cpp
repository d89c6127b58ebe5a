#include "metadata/TagReader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <iterator>
#include <set>
#include <sstream>

#include "TaggedFiles.h"
#include "support/MediaFixtures.h"
#include "support/TestHost.h"
#include "util/PathUtils.h"

namespace {

using media::quote;
using metadatatest::fixture;
using metadatatest::newDir;
using metadatatest::scratchRoot;
using TextFields = std::map<std::string, std::string>;
using IntFields = std::map<std::string, long long>;

struct Extraction {
    bool ok = false;
    TextFields text;
    IntFields ints;
};

// The maps start with stale entries: the extraction must clear them.
Extraction extract(const std::string& path) {
    Extraction result;
    result.text = {{"zzz", "stale"}};
    result.ints = {{"zzz", 42}};
    result.ok = Ostra::ExtractMetadataFromFileAtPath(path, result.text, result.ints);
    return result;
}

long long fileSize(const std::string& path) {
    return static_cast<long long>(boost::filesystem::file_size(path));
}

// Every format with every field, and files that lack fields or carry them
// somewhere unusual; each record agrees with the separate album artist and
// codec lookups.
TEST(TagReader, RecordsOfEveryFormat) {
    using namespace metadatatest;
    const std::string full = "album albumArtist artist genre id path title";
    const TextFields all = {{"title", kTitle},
                            {"artist", kArtist},
                            {"album", kAlbum},
                            {"genre", kGenre},
                            {"albumArtist", kAlbumArtist}};
    TextFields dmid = all, alac = all;
    dmid["dmid"] = kDmid;
    alac["kind"] = "Apple Lossless audio file";
    const struct {
        const char* name;
        std::string keys;
        TextFields values;
        int track, duration;
    } rows[] = {
        {"tagged_v23.mp3", full + " dmid", dmid, kTrack, 3},
        {"tagged_v24.mp3", full + " dmid", dmid, kTrack, 3},
        {"chapters.mp3", full + " dmid", dmid, kTrack, 3},
        {"tagged_v1.mp3", full + " dmid", dmid, kTrack, 3},
        {"alac.m4a", full + " kind", alac, kTrack, 3},
        {"alac_faststart.m4a", full + " kind", alac, kTrack, 3},
        {"aac.m4a", full, all, kTrack, 3},
        {"aac_faststart.m4a", full, all, kTrack, 3},
        {"alac.mp4", full, all, kTrack, 3},
        {"tagged.flac", full, all, kTrack, 3},
        {"tagged.ogg", full, all, kTrack, 3},
        {"tagged.wav", full, all, kTrack, 3},
        {"tagged.aiff", full, all, kTrack, 3},
        {"tagged.aif", full, all, kTrack, 3},
        {"tagged.wma", full, all, kTrack, 3},
        {"untagged.mp3", "artist id path title", {{"title", kTitle}}, 0, 3},
        {"comment_v1only.mp3", "dmid id path", {{"dmid", kDmid}}, 0, 3},
        // The upper-case extension gets the album artist but no "dmid".
        {"TAGGED.MP3", full, all, kTrack, 3},
        // An ID3v2 album artist before a FLAC stream wins over the Xiph comment's.
        {"id3_tpe2.flac",
         full,
         {{"albumArtist", "Id3 Album Artist"}, {"title", kTitle}},
         kTrack,
         3},
        {"spaced.ogg", full, {{"albumArtist", "Spaced Album Artist"}}, kTrack, 3},
        // WAV fields come from the ID3 chunk, not from LIST INFO.
        {"info_only.wav", "id path", {}, 0, 3},
        // TagLib accepts any bytes under ".mp3" as an MPEG file without frames.
        {"not_audio.mp3", "id path", {}, 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const std::string path = fixture(row.name);
        const Extraction e = extract(path);
        ASSERT_TRUE(e.ok);
        std::set<std::string> keys;
        for (const auto& field : e.text) keys.insert(field.first);
        std::istringstream expected(row.keys);
        EXPECT_EQ(std::set<std::string>(std::istream_iterator<std::string>(expected), {}), keys);
        for (const auto& value : row.values) EXPECT_EQ(value.second, e.text.at(value.first));
        std::string id;
        Ostra::util::SongIdFromPath(path, id);
        EXPECT_EQ(id, e.text.at("id"));
        EXPECT_EQ(path, e.text.at("path"));
        EXPECT_EQ(
            (IntFields{
                {"duration", row.duration}, {"size", fileSize(path)}, {"trackNumber", row.track}}),
            e.ints);
        std::string albumArtist = "stale";
        const bool found = Ostra::GetAlbumArtistFromFile(path, albumArtist);
        EXPECT_EQ(found, e.text.count("albumArtist") == 1);
        EXPECT_EQ(albumArtist, found ? e.text.at("albumArtist") : std::string());
        EXPECT_EQ(Ostra::isFileALAC(path), e.text.count("kind") == 1);
    }
}

// "dmid": a 2 followed by eight digits, in the COMM text.
TEST(TagReader, DmidIsTheFirstTwoFollowedByEightDigits) {
    const char* const cases[][3] = {
        {"amid.mp3", "see 298765432 and 211111111", "298765432"},
        {"short.mp3", "only 2 1234567 here, 21234567", ""},
        {"ten.mp3", "1234567890", "234567890"},
        {"spaced.mp3", "12 3456789 2345678", ""},
        {"second.mp3", "1212345678", "212345678"},
        {"glued.mp3", "x2000000001y", "200000000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c[1]);
        const Extraction e = extract(metadatatest::mp3WithComment(c[0], c[1]));
        ASSERT_TRUE(e.ok);
        EXPECT_EQ(c[2], e.text.count("dmid") ? e.text.at("dmid") : "");
    }
}

TEST(TagReader, UnreadableFilesGiveFalseAndEmptyMaps) {
    const std::string fifo = scratchRoot() + "/fifo.mp3";
    ASSERT_EQ(0, ::mkfifo(fifo.c_str(), 0600));
    for (const std::string& path :
         {fixture("empty.m4a"), fixture("truncated.flac"), fixture("truncated.m4a"),
          scratchRoot() + "/missing.mp3", newDir("folder.mp3"), fifo, std::string()}) {
        const Extraction e = extract(path);
        EXPECT_FALSE(e.ok) << path;
        EXPECT_TRUE(e.text.empty() && e.ints.empty()) << path;
    }
}

// The path is reported as given (odd bytes, near the system's limit, a link);
// an unknown extension is read by content, without album artist or "dmid".
TEST(TagReader, PathsAndNamesAsGiven) {
    const std::string dir = newDir("names");
    std::string deep = dir;
    while (deep.size() < 3800) deep += "/" + std::string(200, 'd');
    ASSERT_EQ(0, testsupport::run("mkdir -p " + quote(deep)));
    for (const std::string& path :
         {dir + "/bad\xff\xfe name's (1).mp3", deep + "/song.mp3", dir + "/song.xyz"}) {
        SCOPED_TRACE(path);
        ASSERT_EQ(0,
                  testsupport::run("cp " + quote(fixture("tagged_v23.mp3")) + " " + quote(path)));
        const Extraction e = extract(path);
        ASSERT_TRUE(e.ok);
        EXPECT_EQ(path, e.text.at("path"));
        std::string id;
        Ostra::util::SongIdFromPath(path, id);
        EXPECT_EQ(id, e.text.at("id"));
        EXPECT_EQ(path.back() == '3' ? 2u : 0u, e.text.count("albumArtist") + e.text.count("dmid"));
    }
    EXPECT_FALSE(extract(deep + "/" + std::string(300, 'x') + ".mp3").ok);

    const std::string link = dir + "/link.m4a", broken = dir + "/broken.mp3";
    ASSERT_EQ(0, ::symlink(fixture("alac.m4a").c_str(), link.c_str()));
    ASSERT_EQ(0, ::symlink("/nonexistent/nothing.mp3", broken.c_str()));
    const Extraction e = extract(link);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(link, e.text.at("path"));
    EXPECT_EQ("Apple Lossless audio file", e.text.at("kind"));
    EXPECT_EQ(fileSize(fixture("alac.m4a")), e.ints.at("size"));
    EXPECT_FALSE(extract(broken).ok);
}

// "alac" in bytes 350 to 499 of an ".m4a" flags the file, even an AAC one
// (whose bytes there are audio data); the codec TagLib reports flags it too.
TEST(TagReader, AlacProbeWindow) {
    const std::string dir = newDir("probe");
    auto make = [&](const std::string& name, std::size_t size, std::size_t at) {
        std::string bytes(size, '\0');
        if (at + 4 <= size) bytes.replace(at, 4, "alac");
        testsupport::writeFile(dir + "/" + name, bytes);
        return dir + "/" + name;
    };
    EXPECT_TRUE(Ostra::isFileALAC(make("first.m4a", 500, 350)));
    EXPECT_TRUE(Ostra::isFileALAC(make("last.m4a", 500, 496)));
    EXPECT_TRUE(Ostra::isFileALAC(make("upper.M4A", 1000, 400)));
    EXPECT_FALSE(Ostra::isFileALAC(make("before.m4a", 1000, 348)));
    EXPECT_FALSE(Ostra::isFileALAC(make("straddles.m4a", 1000, 497)));
    EXPECT_FALSE(Ostra::isFileALAC(make("short.m4a", 499, 350)));
    EXPECT_FALSE(Ostra::isFileALAC(make("other.mp4", 1000, 400)));
    EXPECT_FALSE(Ostra::isFileALAC(make("other.m4a.bak", 1000, 400)));
    EXPECT_FALSE(Ostra::isFileALAC(dir + "/missing.m4a"));

    const std::string plain = testsupport::readFile(fixture("alac.m4a"));
    ASSERT_EQ(std::string::npos, plain.substr(350, 150).find("alac")) << "fixture layout changed";
    EXPECT_TRUE(Ostra::isFileALAC(fixture("alac.m4a")));

    std::string aac = testsupport::readFile(fixture("aac.m4a"));
    ASSERT_LT(aac.find("mdat"), 300u) << "fixture layout changed";
    testsupport::writeFile(dir + "/aac.m4a", aac.replace(420, 4, "alac"));
    const Extraction e = extract(dir + "/aac.m4a");
    ASSERT_TRUE(e.ok);
    EXPECT_EQ("Apple Lossless audio file", e.text.at("kind"));
    EXPECT_EQ(metadatatest::kAlbumArtist, e.text.at("albumArtist"));
}

// Nesting past the limits overflowed TagLib's recursive parsers; tiny frames,
// boxes, a compressed frame, declared sizes and long texts cost it tens of
// times the file's size: unreadable in every carrying format, while real
// chapters and 8 MiB of text still read.
TEST(TagReader, StructuresPastTheLimitsAreUnreadable) {
    const std::string nearly8(8 * 1024 * 1024 - 64, 'A');
    const struct {
        const char* file;
        const char* kind;
        const char* base;
        std::string title;  // empty: unreadable
    } rows[] = {
        {"within.mp3", "within-chapters", "untagged.mp3", "Chained"},
        {"within.mp3", "within-8-mib-title", "untagged.mp3", nearly8},
        {"within.ogg", "within-8-mib-ogg-title", "tagged.ogg", nearly8},
        {"moov.m4a", "nested-moov", "aac.m4a", ""},
        {"moov1000.m4a", "nested-moov-1000", "aac.m4a", ""},
        {"trak.mp4", "nested-trak", "aac.m4a", ""},
        {"meta.m4a", "nested-meta", "aac.m4a", ""},
        {"stsd.m4a", "nested-stsd", "aac.m4a", ""},
        {"boxes.aac", "nested-moov", "aac.m4a", ""},
        {"many_boxes.m4a", "200k-free-boxes", "aac.m4a", ""},
        {"chapters.mp3", "deep-chapters", "untagged.mp3", ""},
        {"chapters23.mp3", "deep-chapters-v23", "untagged.mp3", ""},
        {"toc.mp3", "deep-toc", "untagged.mp3", ""},
        {"junk.mp3", "junk-deep-chapters", "untagged.mp3", ""},
        {"chapters.xyz", "deep-chapters", "untagged.mp3", ""},
        {"chapters.wav", "deep-chapters-wav", "info_only.wav", ""},
        {"chapters.aiff", "deep-chapters-aiff", "tagged.aiff", ""},
        {"chapters.flac", "deep-chapters-before", "tagged.flac", ""},
        {"frames.mp3", "20k-frames", "untagged.mp3", ""},
        {"inflating.mp3", "inflating-frame", "untagged.mp3", ""},
        {"huge_item.m4a", "1536-mib-item", "aac.m4a", ""},
        {"blocks.flac", "40-huge-blocks", "tagged.flac", ""},
        {"big_title.mp3", "20-mib-title", "untagged.mp3", ""},
        {"big_comment.mp3", "20-mib-comment", "untagged.mp3", ""},
        {"big_title22.mp3", "12-mib-v22-title", "untagged.mp3", ""},
        {"big_ape.mp3", "20-mib-ape-title", "untagged.mp3", ""},
        {"big_item.m4a", "20-mib-item", "aac.m4a", ""},
        {"big_title.ogg", "20-mib-ogg-title", "tagged.ogg", ""},
        {"big_title.flac", "12-mib-flac-title", "tagged.flac", ""},
    };
    const std::string dir = newDir("limits");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.kind);
        const std::string path = dir + "/" + row.file;
        ASSERT_EQ(0,
                  testsupport::run(std::string("/usr/bin/python3 ") + OSTRA_CRAFTED_METADATA + " " +
                                   row.kind + " " + quote(fixture(row.base)) + " " + quote(path)));
        const Extraction e = extract(path);
        EXPECT_EQ(!row.title.empty(), e.ok);
        EXPECT_EQ(row.title.empty() ? 0u : 1u, e.text.count("title"));
        EXPECT_TRUE(row.title.empty() ? e.text.empty() : e.text.at("title") == row.title);
        std::string albumArtist;
        EXPECT_FALSE(Ostra::GetAlbumArtistFromFile(path, albumArtist));
        EXPECT_FALSE(Ostra::isFileALAC(path));
        ::unlink(path.c_str());
    }
}

}  // namespace

#include "metadata/TagReader.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <thread>
#include <vector>

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

std::set<std::string> keysOf(const TextFields& fields) {
    std::set<std::string> keys;
    for (const auto& field : fields) keys.insert(field.first);
    return keys;
}

long long fileSize(const std::string& path) {
    struct stat status;
    return ::stat(path.c_str(), &status) == 0 ? static_cast<long long>(status.st_size) : -1;
}

// The record of a readable fixture: its keys, the given values, size, and the
// same album artist and codec as the separate lookups find.
void checkRecord(const std::string& name, const std::set<std::string>& keys,
                 const TextFields& values) {
    SCOPED_TRACE(name);
    const std::string path = fixture(name);
    const Extraction e = extract(path);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(keys, keysOf(e.text));
    for (const auto& value : values) EXPECT_EQ(value.second, e.text.at(value.first));
    std::string id;
    Ostra::util::SongIdFromPath(path, id);
    EXPECT_EQ(id, e.text.at("id"));
    EXPECT_EQ(path, e.text.at("path"));
    ASSERT_EQ(3u, e.ints.size());
    EXPECT_EQ(fileSize(path), e.ints.at("size"));
    std::string albumArtist = "stale";
    const bool found = Ostra::GetAlbumArtistFromFile(path, albumArtist);
    EXPECT_EQ(found, e.text.count("albumArtist") == 1);
    EXPECT_EQ(albumArtist, found ? e.text.at("albumArtist") : std::string());
    EXPECT_EQ(Ostra::isFileALAC(path), e.text.count("kind") == 1);
}

TEST(TagReader, EveryFormatCarriesEveryField) {
    using namespace metadatatest;
    const TextFields all = {{"title", kTitle},
                            {"artist", kArtist},
                            {"album", kAlbum},
                            {"genre", kGenre},
                            {"albumArtist", kAlbumArtist}};
    const std::set<std::string> keys = {"album", "albumArtist", "artist", "genre",
                                        "id",    "path",        "title"};
    std::set<std::string> withDmid = keys, withKind = keys;
    withDmid.insert("dmid");
    withKind.insert("kind");
    TextFields dmid = all, alac = all;
    dmid["dmid"] = kDmid;
    alac["kind"] = "Apple Lossless audio file";
    const struct {
        const char* name;
        const std::set<std::string>& keys;
        const TextFields& values;
    } rows[] = {
        {"tagged_v23.mp3", withDmid, dmid},
        {"tagged_v24.mp3", withDmid, dmid},
        {"chapters.mp3", withDmid, dmid},
        {"tagged_v1.mp3", withDmid, dmid},
        {"alac.m4a", withKind, alac},
        {"alac_faststart.m4a", withKind, alac},
        {"aac.m4a", keys, all},
        {"aac_faststart.m4a", keys, all},
        {"alac.mp4", keys, all},
        {"tagged.flac", keys, all},
        {"tagged.ogg", keys, all},
        {"tagged.wav", keys, all},
        {"tagged.aiff", keys, all},
        {"tagged.aif", keys, all},
        {"tagged.wma", keys, all},
    };
    for (const auto& row : rows) {
        checkRecord(row.name, row.keys, row.values);
        const Extraction e = extract(fixture(row.name));
        EXPECT_EQ(kDurationSeconds, e.ints.at("duration")) << row.name;
        EXPECT_EQ(kTrack, e.ints.at("trackNumber")) << row.name;
    }
}

// Files that lack fields, or carry them somewhere unusual.
TEST(TagReader, SpecialFiles) {
    const std::set<std::string> full = {"album", "albumArtist", "artist", "genre",
                                        "id",    "path",        "title"};
    checkRecord("untagged.mp3", {"artist", "id", "path", "title"},
                {{"title", metadatatest::kTitle}});
    checkRecord("comment_v1only.mp3", {"dmid", "id", "path"}, {{"dmid", metadatatest::kDmid}});
    // The upper-case extension gets the album artist but no "dmid".
    checkRecord("TAGGED.MP3", full, {{"albumArtist", metadatatest::kAlbumArtist}});
    // An ID3v2 album artist before a FLAC stream wins over the Xiph comment's.
    checkRecord("id3_tpe2.flac", full,
                {{"albumArtist", "Id3 Album Artist"}, {"title", metadatatest::kTitle}});
    checkRecord("spaced.ogg", full, {{"albumArtist", "Spaced Album Artist"}});
    // WAV fields come from the ID3 chunk, not from LIST INFO.
    checkRecord("info_only.wav", {"id", "path"}, {});
    // TagLib accepts any bytes under ".mp3" as an MPEG file without frames.
    checkRecord("not_audio.mp3", {"id", "path"}, {});
    EXPECT_EQ(0, extract(fixture("untagged.mp3")).ints.at("trackNumber"));
    EXPECT_EQ(0, extract(fixture("not_audio.mp3")).ints.at("duration"));
}

TEST(TagReader, DmidIsTheFirstTwoFollowedByEightDigits) {
    struct Case {
        const char* file;
        const char* comment;
        const char* dmid;
    } cases[] = {
        {"amid.mp3", "see 298765432 and 211111111", "298765432"},
        {"short.mp3", "only 2 1234567 here, 21234567", nullptr},
        {"ten.mp3", "1234567890", "234567890"},
        {"spaced.mp3", "12 3456789 2345678", nullptr},
        {"second.mp3", "1212345678", "212345678"},
        {"glued.mp3", "x2000000001y", "200000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.comment);
        const std::string path = metadatatest::mp3WithComment(c.file, c.comment);
        ASSERT_FALSE(path.empty());
        const Extraction e = extract(path);
        ASSERT_TRUE(e.ok);
        if (c.dmid) {
            EXPECT_EQ(c.dmid, e.text.at("dmid"));
        } else {
            EXPECT_EQ(0u, e.text.count("dmid"));
        }
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
// times the file's size. Such files are unreadable in every carrying format;
// real chapters and 8 MiB of text still read. crafted_metadata.py writes them.
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

TEST(TagReader, ConcurrentExtractionsAgree) {
    const std::vector<std::string> names = {"tagged_v23.mp3", "alac.m4a",   "tagged.flac",
                                            "tagged.ogg",     "tagged.wma", "tagged.wav",
                                            "not_audio.mp3"};
    std::vector<Extraction> expected;
    for (const std::string& name : names) expected.push_back(extract(fixture(name)));
    std::vector<int> mismatches(4, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 20 * static_cast<int>(names.size()); ++round) {
                const std::size_t i = static_cast<std::size_t>(round) % names.size();
                const Extraction e = extract(fixture(names[i]));
                mismatches[t] += e.ok != expected[i].ok || e.text != expected[i].text ||
                                 e.ints != expected[i].ints;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(std::vector<int>(4, 0), mismatches);
}

}  // namespace

#include "hash/M4AGenerator.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "HashTestSupport.h"
#include "hash/GetHasherForFile.h"
#include "hash/MP3Generator.h"
#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace {

using hashtest::be64;
using hashtest::box;
using hashtest::noiseBytes;
using hashtest::sha1Hex;
using media::be32;
using testsupport::readFile;
using testsupport::writeFile;

const std::string kFtyp = box("ftyp", std::string("M4A \0\0\0\0M4A mp42isom", 20));
const std::string kFailed = "failed";

std::string hashOfFile(const std::string& path) {
    Ostra::FileHash::M4AGenerator generator;
    std::string hash = kFailed;
    if (!generator.getHashForFile(path, hash)) {
        EXPECT_EQ(kFailed, hash);
    }
    return hash;
}

std::string large(const std::string& type, std::uint64_t size, const std::string& body = "") {
    return be32(1) + type + be64(size) + body;
}

// Hand-built box layouts; the payload is the bodies of the top-level "mdat"
// boxes in file order, cut by the test at known offsets.
TEST(M4AGenerator, Layouts) {
    const std::string a = noiseBytes(200000, 1), b = noiseBytes(1234, 2), c = noiseBytes(500, 3);
    const std::string nested = box("moov", box("udta", box("mdat", "nested, not payload")));
    // A skipped body holding a fake "mdat" header that must not be seen.
    const std::string inner = box("mdat", "not payload") + std::string(40, 'z');
    const std::string rest = noiseBytes(90000, 4) + box("moov", "looks like a box, is payload");
    std::string cutFirst = kFtyp + box("mdat", a);
    cutFirst.resize(cutFirst.size() - 1);
    std::string cutLater = kFtyp + box("mdat", "complete") + box("mdat", b);
    cutLater.resize(cutLater.size() - 10);
    struct Row {
        std::string name;
        std::string file;
        std::string payload;  // kFailed: no hash
    };
    std::vector<Row> rows = {
        {"one mdat", kFtyp + box("mdat", a) + box("moov", "index"), a},
        {"two mdats around a nested one", kFtyp + box("mdat", a) + nested + box("mdat", b), a + b},
        {"empty mdats passed over",
         kFtyp + box("mdat", "") + box("free", "xx") + box("mdat", b) + box("mdat", ""), b},
        {"64-bit mdat", kFtyp + large("mdat", 16 + a.size(), a) + box("mdat", b), a + b},
        {"64-bit other box skipped whole",
         kFtyp + large("free", 16 + inner.size(), inner) + box("mdat", b), b},
        {"size-zero mdat runs to the end", kFtyp + box("mdat", c) + be32(0) + "mdat" + rest,
         c + rest},
        {"size-zero other box ends the walk",
         kFtyp + box("mdat", c) + be32(0) + "free" + box("mdat", "after"), c},
        {"32-bit size past the end",
         kFtyp + box("mdat", c) + be32(0xfffffff0u) + "free" + box("mdat", "x"), c},
        {"64-bit size past the end",
         kFtyp + box("mdat", c) + large("free", ~std::uint64_t(0)) + box("mdat", "x"), c},
        {"64-bit size of 2^63",
         kFtyp + box("mdat", c) + large("free", 1ull << 63) + box("mdat", "x"), c},
        {"truncated header at the end", kFtyp + box("mdat", c) + std::string(3, '\0'), c},
        {"truncated 64-bit header at the end", kFtyp + box("mdat", c) + be32(1) + "mdat\0\0", c},
        {"empty file", "", kFailed},
        {"ftyp only", kFtyp, kFailed},
        {"only a nested mdat", kFtyp + box("moov", box("mdat", "nested")), kFailed},
        {"no boxes", noiseBytes(50000, 5), kFailed},
        {"one empty mdat", kFtyp + box("mdat", ""), kFailed},
        {"empty 64-bit mdat", kFtyp + large("mdat", 16) + box("free", "x"), kFailed},
        {"size-zero mdat at the end", kFtyp + be32(0) + "mdat", kFailed},
        {"size-zero other box first", kFtyp + be32(0) + "free" + box("mdat", "x"), kFailed},
        {"truncated mdat", cutFirst, kFailed},
        {"truncated later mdat", cutLater, kFailed},
        {"truncated 64-bit mdat", kFtyp + large("mdat", 16 + 5000, noiseBytes(4000, 6)), kFailed},
    };
    for (std::uint32_t size = 2; size < 8; ++size) {
        const std::string n = std::to_string(size);
        rows.push_back({"size " + n + " free",
                        kFtyp + box("mdat", c) + be32(size) + "free" + box("mdat", "after"), c});
        rows.push_back({"size " + n + " mdat",
                        kFtyp + box("mdat", c) + be32(size) + "mdat" + box("mdat", "after"), c});
        rows.push_back({"size " + n + " first", be32(size) + "mdat" + box("mdat", "x"), kFailed});
    }
    // A 64-bit size below its own 16-byte header ends the walk; an "mdat"
    // that small keeps the earlier bodies rather than failing the hash.
    for (std::uint64_t size : {0, 8, 15}) {
        const std::string n = std::to_string(size);
        rows.push_back({"64-bit size " + n + " free",
                        kFtyp + box("mdat", c) + large("free", size) + box("mdat", "later"), c});
        rows.push_back({"64-bit size " + n + " mdat",
                        kFtyp + box("mdat", c) + large("mdat", size) + box("mdat", "later"), c});
        rows.push_back({"64-bit size " + n + " first",
                        kFtyp + large("mdat", size) + box("mdat", "x"), kFailed});
    }
    testsupport::TempDir dir;
    for (const Row& row : rows) {
        writeFile(dir / "song.m4a", row.file);
        EXPECT_EQ(row.payload == kFailed ? kFailed : sha1Hex(row.payload),
                  hashOfFile(dir / "song.m4a"))
            << row.name;
    }
    EXPECT_EQ(kFailed, hashOfFile(dir / "missing.m4a"));
}

TEST(M4AGenerator, OneGeneratorServesSeveralFiles) {
    testsupport::TempDir dir;
    const std::string a = noiseBytes(80000, 19);
    const std::string b = noiseBytes(10, 20);
    writeFile(dir / "a.m4a", kFtyp + box("mdat", a));
    writeFile(dir / "b.m4a", box("mdat", b) + be32(0) + "free");
    Ostra::FileHash::M4AGenerator generator;
    std::string hash;
    for (const auto& file : {std::make_pair("b.m4a", b), {"a.m4a", a}, {"b.m4a", b}}) {
        ASSERT_TRUE(generator.getHashForFile(dir / file.first, hash));
        EXPECT_EQ(sha1Hex(file.second), hash);
    }
}

// Encoded audio: the payload is the stream's packets as ffmpeg copies them
// out, and stays the same when the file is retagged and its index moved.
TEST(M4AGenerator, EncodedAudioKeepsItsHashAcrossRetagging) {
    const std::string original = media::ffmpeg(
        "original.m4a", "-f lavfi -i sine=frequency=440:duration=3 -c:a aac -metadata title=First");
    const std::string retagged =
        media::ffmpeg("retagged.m4a",
                      "-i " + media::quote(original) +
                          " -c copy -map_metadata -1 -metadata title=Second -movflags +faststart");
    ASSERT_NE(readFile(original), readFile(retagged));
    const std::string packets = testsupport::capture(
        "ffmpeg -nostdin -v error -i " + media::quote(original) + " -map 0:a -c copy -f data -");
    ASSERT_GT(packets.size(), 10000u);
    EXPECT_EQ(sha1Hex(packets), hashOfFile(original));
    EXPECT_EQ(sha1Hex(packets), hashOfFile(retagged));
}

// The generator is picked by the final name's extension in any letter case.
TEST(GetHasherForFile, PicksByExtension) {
    std::vector<std::pair<std::string, char>> rows;
    for (const char* name : {"song.mp3", "/music/song.MP3", "/a.b/c.d/x.mP3", ".mp3"})
        rows.emplace_back(name, '3');
    for (const char* name : {"song.m4a", "/music/SONG.M4A", "x.M4a"}) rows.emplace_back(name, '4');
    for (const char* name : {"song.mp4", "song.flac", "song", "", "dir.mp3/song", "song.mp3.bak",
                             "song.mp3 ", "song.", "song.mp"})
        rows.emplace_back(name, 0);
    for (const auto& row : rows) {
        std::unique_ptr<Ostra::FileHash::Generator> hasher(Ostra::GetHasherForFile(row.first));
        const char kind = dynamic_cast<Ostra::FileHash::MP3Generator*>(hasher.get())   ? '3'
                          : dynamic_cast<Ostra::FileHash::M4AGenerator*>(hasher.get()) ? '4'
                          : hasher                                                     ? '?'
                                                                                       : 0;
        EXPECT_EQ(row.second, kind) << row.first;
    }
}

}  // namespace

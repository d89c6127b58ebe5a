#include "hash/MP3Generator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "HashTestSupport.h"
#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace {

using hashtest::id3v1Block;
using hashtest::id3v2Tag;
using hashtest::noiseBytes;
using hashtest::sha1Hex;
using testsupport::readFile;
using testsupport::writeFile;

std::string hashOfFile(const std::string& path) {
    Ostra::FileHash::MP3Generator generator;
    std::string hash = "failed";
    if (!generator.getHashForFile(path, hash)) {
        EXPECT_EQ("failed", hash);
    }
    return hash;
}

std::string blocks(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) out += id3v1Block("Block " + std::to_string(i));
    return out;
}

const std::string kFailed = "failed";

// Each file is hand-built and its payload cut at literal offsets: a leading
// ID3v2 tag goes, "TAG" blocks go from the end of the final 65,536-byte chunk
// (the last 512 bytes held back for it) while more than 128 bytes are left.
TEST(MP3Generator, Layouts) {
    const std::string audio = noiseBytes(100000, 1);
    const std::string a65488 = noiseBytes(65488, 2), a70000 = noiseBytes(70000, 3);
    const std::string a65536 = noiseBytes(65536, 4), a131072 = noiseBytes(131072, 5);
    const std::string footerTag = id3v2Tag("Title", 0, 4, true);
    const std::string second = id3v2Tag("Second", 20);
    std::string cutTag = id3v2Tag("Title", 5000) + noiseBytes(100, 6);
    cutTag.resize(3000);
    const struct {
        const char* name;
        std::string file;
        std::string payload;  // kFailed: no hash
    } rows[] = {
        {"no tags", audio, audio},
        {"id3v2 without padding and id3v1", id3v2Tag("T", 0) + audio + id3v1Block("Old"), audio},
        {"id3v2 padded past a chunk", id3v2Tag("T", 70000) + audio + id3v1Block("Old"), audio},
        {"id3v2.4 padded a chunk", id3v2Tag("T", 65536, 4) + audio, audio},
        {"only a trailer", audio + id3v1Block("Only"), audio},
        // 0x81 0x00 in the low size bytes: 0x81 * 128 = 16512 bytes of tag.
        {"size byte with the high bit", "ID3" + std::string("\x03\0\0\0\0\x81\0", 7) + audio,
         audio.substr(16512)},
        {"last size byte 0xff", "ID3" + std::string("\x03\0\0\0\0\0\xff", 7) + audio,
         audio.substr(255)},
        {"id3v2.4 footer counts as payload", footerTag + audio,
         footerTag.substr(footerTag.size() - 10) + audio},
        {"only one leading tag is skipped", id3v2Tag("First", 30) + second + audio, second + audio},
        // 65,488 + 4 * 128 = 66,000: the final chunk is the 512 bytes of blocks
        // and its last block stays.
        {"four blocks after 65488 bytes", a65488 + blocks(4), a65488 + blocks(1)},
        {"tag and four blocks after 65488 bytes", id3v2Tag("T", 777) + a65488 + blocks(4),
         a65488 + blocks(1)},
        {"four blocks after 70000 bytes", a70000 + blocks(4), a70000},
        {"five blocks after one whole chunk", a65536 + blocks(5), a65536 + blocks(1)},
        {"two blocks after two whole chunks", a131072 + blocks(2), a131072},
        {"one block alone", id3v1Block("Alone"), id3v1Block("Alone")},
        {"tag and two blocks", id3v2Tag("T", 50) + blocks(2), blocks(1)},
        {"two bytes", "ID", "ID"},
        {"shorter than a tag header", "ID3abcdef", "ID3abcdef"},
        // No payload byte is no audio: the empty input's digest would give
        // every such file one shared hash.
        {"empty", "", kFailed},
        {"lone tag header", std::string("ID3\x03\0\0\0\0\0\0", 10), kFailed},
        {"tag ending at the end", id3v2Tag("T", 10), kFailed},
        {"tag size past the end", cutTag, kFailed},
        {"size bytes all high bits", "ID3" + std::string("\x03\0\0\xff\xff\xff\xff", 7) + audio,
         kFailed},
    };
    testsupport::TempDir dir;
    for (const auto& row : rows) {
        writeFile(dir / "song.mp3", row.file);
        EXPECT_EQ(row.payload == kFailed ? kFailed : sha1Hex(row.payload),
                  hashOfFile(dir / "song.mp3"))
            << row.name;
    }
}

TEST(MP3Generator, FailuresLeaveTheOutputAlone) {
    testsupport::TempDir dir;
    ASSERT_EQ(0, ::mkdir((dir / "folder.mp3").c_str(), 0755));
    // A FIFO is refused without waiting for a writer.
    ASSERT_EQ(0, ::mkfifo((dir / "pipe.mp3").c_str(), 0644));
    Ostra::FileHash::MP3Generator generator;
    for (const char* name : {"missing.mp3", "folder.mp3", "pipe.mp3"}) {
        std::string hash = "untouched";
        EXPECT_FALSE(generator.getHashForFile(dir / name, hash)) << name;
        EXPECT_EQ("untouched", hash) << name;
    }
}

TEST(MP3Generator, OneGeneratorServesSeveralFiles) {
    testsupport::TempDir dir;
    const std::string a = noiseBytes(90000, 10);
    const std::string b = noiseBytes(1000, 11);
    writeFile(dir / "a.mp3", id3v2Tag("A", 200) + a);
    writeFile(dir / "b.mp3", b + id3v1Block("B"));
    Ostra::FileHash::MP3Generator generator;
    ASSERT_TRUE(generator.openFile(dir / "a.mp3"));
    std::string hash;
    ASSERT_TRUE(generator.getHashForFile(dir / "b.mp3", hash));
    EXPECT_EQ(sha1Hex(b), hash);
    ASSERT_TRUE(generator.getHashForFile(dir / "a.mp3", hash));
    EXPECT_EQ(sha1Hex(a), hash);
    EXPECT_TRUE(generator.closeFile());
    std::vector<unsigned char> buffer;
    EXPECT_FALSE(generator.readAudioData(100, buffer));
}

// Real frames from the encoder, without tags: the payload is the whole file,
// as openssl hashes it, and tags wrapped around it leave the hash alone.
TEST(MP3Generator, EncodedAudioKeepsItsHashAcrossTags) {
    const std::string plain = media::ffmpeg(
        "plain.mp3", "-f lavfi -i sine=frequency=1000:duration=2 -c:a libmp3lame -id3v2_version 0");
    const std::string bytes = readFile(plain);
    ASSERT_NE(0, bytes.compare(0, 3, "ID3"));
    ASSERT_NE(0, bytes.compare(bytes.size() - 128, 3, "TAG"));
    const std::string expected = media::sha1OfFile(plain);
    ASSERT_EQ(40u, expected.size());
    EXPECT_EQ(expected, hashOfFile(plain));
    testsupport::TempDir dir;
    writeFile(dir / "retagged.mp3", id3v2Tag("A longer title", 4096) + bytes + id3v1Block("Two"));
    EXPECT_EQ(expected, hashOfFile(dir / "retagged.mp3"));
}

}  // namespace

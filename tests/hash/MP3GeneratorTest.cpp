#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>

#include "HashTestSupport.h"
#include "hash/MP3Generator.h"
#include "support/TestHost.h"

namespace {

using hashtest::id3v1Block;
using hashtest::id3v2Tag;
using hashtest::noiseBytes;
using hashtest::sha1Hex;
using testsupport::readFile;
using testsupport::writeFile;

class MP3Generator : public ::testing::Test {
  protected:
    // The generator's digest of bytes written to a file named name; "failed"
    // when hashing fails.
    std::string hashOf(const std::string& bytes, const std::string& name = "song.mp3") {
        writeFile(dir / name, bytes);
        return hashOfFile(dir / name);
    }
    std::string hashOfFile(const std::string& path) {
        Ostra::FileHash::MP3Generator generator;
        std::string hash = "failed";
        if (!generator.getHashForFile(path, hash)) {
            EXPECT_EQ("failed", hash);
        }
        return hash;
    }

    testsupport::TempDir dir;
};

TEST_F(MP3Generator, WithoutTagsHashesEveryByte) {
    const std::string audio = noiseBytes(100000, 1);
    EXPECT_EQ(sha1Hex(audio), hashOf(audio));
    EXPECT_EQ(hashtest::opensslSha1(dir / "song.mp3"), hashOf(audio));
}

TEST_F(MP3Generator, TagsOfAnySizeLeaveTheHashAlone) {
    const std::string audio = noiseBytes(150000, 2);
    const std::string expected = sha1Hex(audio);
    for (std::size_t padding : {0, 1, 1000, 65536, 70000}) {
        EXPECT_EQ(expected, hashOf(id3v2Tag("Title", padding) + audio + id3v1Block("Old")))
            << padding;
        EXPECT_EQ(expected, hashOf(id3v2Tag("Other title", padding, 4) + audio)) << padding;
    }
    EXPECT_EQ(expected, hashOf(audio + id3v1Block("Only a trailer")));
}

// A file without payload bytes has no audio to hash: the empty input's digest
// would give every such file one shared hash.
TEST_F(MP3Generator, FilesWithoutPayloadFail) {
    std::string cut = id3v2Tag("Title", 5000) + noiseBytes(100, 3);
    cut.resize(3000);
    const struct {
        const char* name;
        std::string bytes;
    } rows[] = {
        {"empty file", ""},
        {"lone ID3v2 header", std::string("ID3\x03\0\0\0\0\0\0", 10)},
        {"tag ending at the end of the file", id3v2Tag("Title", 10)},
        {"tag size past the end", cut},
        {"size bytes all high bits",
         "ID3" + std::string("\x03\x00\x00\xff\xff\xff\xff", 7) + noiseBytes(100000, 4)},
    };
    for (const auto& row : rows) {
        EXPECT_EQ("failed", hashOf(row.bytes)) << row.name;
    }
}

TEST_F(MP3Generator, ShortFilesWithoutATagHashWhole) {
    EXPECT_EQ(sha1Hex("ID"), hashOf("ID"));
    EXPECT_EQ(sha1Hex("ID3abcdef"), hashOf("ID3abcdef"));
}

TEST_F(MP3Generator, Id3v2SizeBytesWithTheHighBitSetFollowTheFormula) {
    const std::string audio = noiseBytes(100000, 4);
    // 0x81 0x00 in the low bytes: (0x81 * 128 + 0) = 16512 bytes of tag.
    std::string file = "ID3" + std::string("\x03\x00\x00\x00\x00\x81\x00", 7) + audio;
    EXPECT_EQ(sha1Hex(file.substr(10 + 16512)), hashOf(file));
    // 0xff in the last byte: 255 bytes of tag.
    file = "ID3" + std::string("\x03\x00\x00\x00\x00\x00\xff", 7) + audio;
    EXPECT_EQ(sha1Hex(file.substr(10 + 255)), hashOf(file));
}

TEST_F(MP3Generator, Id3v24FooterCountsAsPayload) {
    const std::string audio = noiseBytes(5000, 5);
    const std::string tag = id3v2Tag("Title", 0, 4, true);
    const std::string footer = tag.substr(tag.size() - 10);
    ASSERT_EQ(0, footer.compare(0, 3, "3DI"));
    EXPECT_EQ(sha1Hex(footer + audio), hashOf(tag + audio));
}

TEST_F(MP3Generator, OnlyOneLeadingTagIsSkipped) {
    const std::string audio = noiseBytes(5000, 6);
    const std::string second = id3v2Tag("Second", 20);
    EXPECT_EQ(sha1Hex(second + audio), hashOf(id3v2Tag("First", 30) + second + audio));
}

TEST_F(MP3Generator, FourTrailerBlocksAfter66000PayloadBytesLoseOnlyThree) {
    // 65,488 + 4 * 128 = 66,000: the first chunk takes 65,488 bytes, the
    // final chunk is the 512 bytes of blocks, and its last block stays.
    const std::string audio = noiseBytes(65488, 7);
    std::string blocks;
    for (int i = 0; i < 4; ++i) blocks += id3v1Block("Block " + std::to_string(i));
    EXPECT_EQ(sha1Hex(audio + blocks.substr(0, 128)), hashOf(audio + blocks));
    EXPECT_EQ(sha1Hex(audio + blocks.substr(0, 128)),
              hashOf(id3v2Tag("Tagged", 777) + audio + blocks));
}

TEST_F(MP3Generator, FourTrailerBlocksAfter70000PayloadBytesAreAllRemoved) {
    const std::string audio = noiseBytes(70000, 8);
    std::string blocks;
    for (int i = 0; i < 4; ++i) blocks += id3v1Block("Block " + std::to_string(i));
    EXPECT_EQ(sha1Hex(audio), hashOf(audio + blocks));
    EXPECT_EQ(sha1Hex(audio), hashOf(id3v2Tag("Tagged", 100) + audio + blocks));
}

TEST_F(MP3Generator, TrailerBlocksAroundTheChunkBoundaryFollowTheChunkRule) {
    for (std::size_t audioSize : {0, 1, 300, 65000, 65024, 65407, 65408, 65488, 65536, 66000, 66048,
                                  70000, 131072, 131584, 200000}) {
        for (int blockCount : {0, 1, 2, 3, 5}) {
            std::string file = id3v2Tag("Title", 33) + noiseBytes(audioSize, 9);
            for (int i = 0; i < blockCount; ++i) file += id3v1Block("Trailer");
            const std::string payload = hashtest::mp3Payload(file);
            const std::string expected = payload.empty() ? "failed" : sha1Hex(payload);
            EXPECT_EQ(expected, hashOf(file)) << audioSize << " bytes, " << blockCount << " blocks";
        }
    }
}

TEST_F(MP3Generator, APayloadOfOneTrailerBlockIsKept) {
    const std::string block = id3v1Block("Alone");
    EXPECT_EQ(sha1Hex(block), hashOf(block));
    EXPECT_EQ(sha1Hex(block), hashOf(id3v2Tag("Title", 50) + block));
    EXPECT_EQ(sha1Hex(block), hashOf(id3v2Tag("Title", 50) + block + block));
}

TEST_F(MP3Generator, FailuresLeaveTheOutputAlone) {
    Ostra::FileHash::MP3Generator generator;
    std::string hash = "untouched";
    EXPECT_FALSE(generator.getHashForFile(dir / "missing.mp3", hash));
    ASSERT_EQ(0, ::mkdir((dir / "folder.mp3").c_str(), 0755));
    EXPECT_FALSE(generator.getHashForFile(dir / "folder.mp3", hash));
    EXPECT_EQ("untouched", hash);
}

TEST_F(MP3Generator, AFifoIsRefusedWithoutWaitingForAWriter) {
    ASSERT_EQ(0, ::mkfifo((dir / "pipe.mp3").c_str(), 0644));
    Ostra::FileHash::MP3Generator generator;
    std::string hash = "untouched";
    EXPECT_FALSE(generator.getHashForFile(dir / "pipe.mp3", hash));
    EXPECT_EQ("untouched", hash);
}

TEST_F(MP3Generator, OneGeneratorServesSeveralFiles) {
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
    EXPECT_TRUE(generator.endOfData());
    std::vector<unsigned char> buffer;
    EXPECT_FALSE(generator.readAudioData(100, buffer));
}

class GeneratedMP3 : public MP3Generator {};

TEST_F(GeneratedMP3, RetaggingKeepsTheHash) {
    const std::string original = dir / "original.mp3";
    ASSERT_TRUE(
        hashtest::ffmpeg("-f lavfi -i sine=frequency=440:duration=3 -c:a libmp3lame -b:a 128k "
                         "-metadata title=First -metadata artist=Someone -write_id3v1 1",
                         original));
    const std::string bytes = readFile(original);
    ASSERT_EQ(0, bytes.compare(0, 3, "ID3"));
    ASSERT_EQ(0, bytes.compare(bytes.size() - 128, 3, "TAG"));

    // The test's own cut: after the ID3v2 tag, before the ID3v1 block.
    std::size_t tagSize = 0;
    for (int i = 6; i < 10; ++i) tagSize = tagSize * 128 + static_cast<unsigned char>(bytes[i]);
    const std::string payload = bytes.substr(10 + tagSize, bytes.size() - 128 - 10 - tagSize);
    writeFile(dir / "payload.bin", payload);
    const std::string expected = hashtest::opensslSha1(dir / "payload.bin");
    ASSERT_EQ(40u, expected.size());

    EXPECT_EQ(expected, hashOfFile(original));
    // New tags of another size and version, same audio bytes.
    writeFile(dir / "retagged.mp3",
              id3v2Tag("A much longer second title", 4096, 3) + payload + id3v1Block("Second"));
    EXPECT_EQ(expected, hashOfFile(dir / "retagged.mp3"));
    writeFile(dir / "untagged.mp3", payload);
    EXPECT_EQ(expected, hashOfFile(dir / "untagged.mp3"));
}

TEST_F(GeneratedMP3, WithoutAnId3v2TagHashesTheWholeFile) {
    const std::string path = dir / "plain.mp3";
    ASSERT_TRUE(hashtest::ffmpeg(
        "-f lavfi -i sine=frequency=1000:duration=2 -c:a libmp3lame -id3v2_version 0", path));
    const std::string bytes = readFile(path);
    ASSERT_NE(0, bytes.compare(0, 3, "ID3"));
    ASSERT_NE(0, bytes.compare(bytes.size() - 128, 3, "TAG"));
    EXPECT_EQ(hashtest::opensslSha1(path), hashOfFile(path));
}

}  // namespace

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "HashTestSupport.h"
#include "hash/GetHasherForFile.h"
#include "hash/M4AGenerator.h"
#include "support/TestHost.h"

namespace {

using hashtest::be32;
using hashtest::be64;
using hashtest::box;
using hashtest::noiseBytes;
using hashtest::sha1Hex;
using testsupport::readFile;
using testsupport::writeFile;

const std::string kFtyp = box("ftyp", std::string("M4A \0\0\0\0M4A mp42isom", 20));

class M4AGenerator : public ::testing::Test {
  protected:
    std::string hashOf(const std::string& bytes, const std::string& name = "song.m4a") {
        writeFile(dir / name, bytes);
        return hashOfFile(dir / name);
    }
    std::string hashOfFile(const std::string& path) {
        Ostra::FileHash::M4AGenerator generator;
        std::string hash = "failed";
        if (!generator.getHashForFile(path, hash)) {
            EXPECT_EQ("failed", hash);
        }
        return hash;
    }

    testsupport::TempDir dir;
};

TEST_F(M4AGenerator, HashesTheBodyOfOneMdat) {
    const std::string body = noiseBytes(200000, 1);
    EXPECT_EQ(sha1Hex(body), hashOf(kFtyp + box("mdat", body) + box("moov", "metadata")));
}

TEST_F(M4AGenerator, TwoMdatBoxesHashInFileOrderAndTheBoxBetweenIsSkipped) {
    const std::string first = noiseBytes(70000, 2);
    const std::string second = noiseBytes(1234, 3);
    const std::string between = box("moov", box("udta", box("mdat", "nested, not payload")));
    EXPECT_EQ(sha1Hex(first + second),
              hashOf(kFtyp + box("mdat", first) + between + box("mdat", second)));
}

TEST_F(M4AGenerator, AnEmptyMdatIsPassedOver) {
    const std::string body = noiseBytes(5000, 4);
    EXPECT_EQ(sha1Hex(body), hashOf(kFtyp + box("mdat", "") + box("free", "xx") +
                                    box("mdat", body) + box("mdat", "")));
}

// Boxes without a payload byte are no audio: the empty input's digest would
// give every such file one shared hash.
TEST_F(M4AGenerator, FilesWithoutPayloadBytesFail) {
    const struct {
        const char* name;
        std::string bytes;
    } rows[] = {
        {"one empty mdat", kFtyp + box("mdat", "")},
        {"empty mdats around other boxes",
         box("mdat", "") + box("moov", box("mdat", "nested")) + box("mdat", "")},
        {"empty 64-bit mdat", kFtyp + be32(1) + "mdat" + be64(16) + box("free", "x")},
        {"size-zero mdat at the end", kFtyp + be32(0) + "mdat"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ("failed", hashOf(row.bytes)) << row.name;
    }
}

TEST_F(M4AGenerator, A64BitMdatIsHashedOverItsBody) {
    const std::string body = noiseBytes(100000, 5);
    const std::string second = noiseBytes(300, 6);
    const std::string large = be32(1) + "mdat" + be64(16 + body.size()) + body;
    EXPECT_EQ(sha1Hex(body + second),
              hashOf(kFtyp + large + box("moov", "x") + box("mdat", second)));
}

TEST_F(M4AGenerator, AnotherBoxWithA64BitSizeIsSkippedWhole) {
    const std::string body = noiseBytes(3000, 7);
    // The skipped body contains a fake "mdat" header that must not be seen.
    const std::string inner = box("mdat", "not payload") + std::string(40, 'z');
    const std::string skipped = be32(1) + "free" + be64(16 + inner.size()) + inner;
    EXPECT_EQ(sha1Hex(body), hashOf(kFtyp + skipped + box("mdat", body)));
}

TEST_F(M4AGenerator, ASizeZeroMdatRunsToTheEndOfTheFile) {
    const std::string first = noiseBytes(2000, 8);
    const std::string rest = noiseBytes(90000, 9) + box("moov", "looks like a box, is payload");
    EXPECT_EQ(sha1Hex(first + rest), hashOf(kFtyp + box("mdat", first) + be32(0) + "mdat" + rest));
    EXPECT_EQ(sha1Hex(rest), hashOf(kFtyp + be32(0) + "mdat" + rest));
}

TEST_F(M4AGenerator, AnotherBoxOfSizeZeroEndsTheWalk) {
    const std::string first = noiseBytes(2000, 10);
    EXPECT_EQ(sha1Hex(first), hashOf(kFtyp + box("mdat", first) + be32(0) + "free" +
                                     box("mdat", "after the last box")));
    EXPECT_EQ("failed", hashOf(kFtyp + be32(0) + "free" + box("mdat", "never reached")));
}

TEST_F(M4AGenerator, SizesTwoToSevenEndTheWalk) {
    const std::string first = noiseBytes(2000, 11);
    for (std::uint32_t size = 2; size < 8; ++size) {
        EXPECT_EQ(sha1Hex(first), hashOf(kFtyp + box("mdat", first) + be32(size) + "free" +
                                         box("mdat", "after the bad box")))
            << size;
        EXPECT_EQ(sha1Hex(first), hashOf(kFtyp + box("mdat", first) + be32(size) + "mdat" +
                                         box("mdat", "after the bad box")))
            << size;
        EXPECT_EQ("failed", hashOf(be32(size) + "mdat" + box("mdat", "x"))) << size;
    }
}

TEST_F(M4AGenerator, A64BitSizeBelowItsHeaderEndsTheWalk) {
    const std::string first = noiseBytes(100, 12);
    for (std::uint64_t size : {0, 8, 15}) {
        EXPECT_EQ(sha1Hex(first), hashOf(kFtyp + box("mdat", first) + be32(1) + "free" +
                                         be64(size) + box("mdat", "later")))
            << size;
        // A later "mdat" that small keeps the earlier bodies: its body length
        // would otherwise wrap below zero and fail the whole hash.
        EXPECT_EQ(sha1Hex(first), hashOf(kFtyp + box("mdat", first) + be32(1) + "mdat" +
                                         be64(size) + box("mdat", "later")))
            << size;
        EXPECT_EQ("failed", hashOf(kFtyp + be32(1) + "mdat" + be64(size) + box("mdat", "x")));
    }
}

TEST_F(M4AGenerator, BoxesRunningPastTheEndEndTheWalk) {
    const std::string first = noiseBytes(500, 13);
    EXPECT_EQ(sha1Hex(first), hashOf(kFtyp + box("mdat", first) + be32(0xfffffff0u) + "free" +
                                     box("mdat", "unreachable")));
    EXPECT_EQ(sha1Hex(first), hashOf(kFtyp + box("mdat", first) + be32(1) + "free" +
                                     be64(~std::uint64_t(0)) + box("mdat", "unreachable")));
    EXPECT_EQ(sha1Hex(first), hashOf(kFtyp + box("mdat", first) + be32(1) + "free" +
                                     be64(std::uint64_t(1) << 63) + box("mdat", "unreachable")));
}

TEST_F(M4AGenerator, ATruncatedHeaderAtTheEndIsIgnored) {
    const std::string first = noiseBytes(500, 14);
    EXPECT_EQ(sha1Hex(first), hashOf(kFtyp + box("mdat", first) + "\0\0\0"));
    EXPECT_EQ(sha1Hex(first), hashOf(kFtyp + box("mdat", first) + be32(1) + "mdat" + "\0\0"));
}

TEST_F(M4AGenerator, ATruncatedMdatFails) {
    std::string file = kFtyp + box("mdat", noiseBytes(100000, 15));
    file.resize(file.size() - 1);
    EXPECT_EQ("failed", hashOf(file));
    // A later mdat that is cut short fails the whole hash too.
    file = kFtyp + box("mdat", "complete") + box("mdat", noiseBytes(1000, 16));
    file.resize(file.size() - 10);
    EXPECT_EQ("failed", hashOf(file));
    file = kFtyp + be32(1) + "mdat" + be64(16 + 5000) + noiseBytes(4000, 17);
    EXPECT_EQ("failed", hashOf(file));
}

TEST_F(M4AGenerator, FilesWithoutAnMdatFail) {
    EXPECT_EQ("failed", hashOf(""));
    EXPECT_EQ("failed", hashOf(kFtyp));
    EXPECT_EQ("failed", hashOf(kFtyp + box("moov", box("mdat", "nested"))));
    EXPECT_EQ("failed", hashOf(noiseBytes(50000, 18)));
    EXPECT_EQ("failed", hashOfFile(dir / "missing.m4a"));
}

TEST_F(M4AGenerator, OneGeneratorServesSeveralFiles) {
    const std::string a = noiseBytes(80000, 19);
    const std::string b = noiseBytes(10, 20);
    writeFile(dir / "a.m4a", kFtyp + box("mdat", a));
    writeFile(dir / "b.m4a", box("mdat", b) + be32(0) + "free");
    Ostra::FileHash::M4AGenerator generator;
    std::string hash;
    ASSERT_TRUE(generator.getHashForFile(dir / "b.m4a", hash));
    EXPECT_EQ(sha1Hex(b), hash);
    ASSERT_TRUE(generator.getHashForFile(dir / "a.m4a", hash));
    EXPECT_EQ(sha1Hex(a), hash);
    ASSERT_TRUE(generator.getHashForFile(dir / "b.m4a", hash));
    EXPECT_EQ(sha1Hex(b), hash);
}

class GeneratedM4A : public M4AGenerator {};

TEST_F(GeneratedM4A, HashesTheAudioAndKeepsItAcrossRetagging) {
    const std::string original = dir / "original.m4a";
    ASSERT_TRUE(hashtest::ffmpeg(
        "-f lavfi -i sine=frequency=440:duration=3 -c:a aac -b:a 128k -metadata title=First",
        original));
    const std::string payload = hashtest::m4aPayload(readFile(original));
    ASSERT_GT(payload.size(), 10000u);
    writeFile(dir / "payload.bin", payload);
    const std::string expected = hashtest::opensslSha1(dir / "payload.bin");
    EXPECT_EQ(expected, hashOfFile(original));

    // Same packets, other tags, and the index moved in front of the audio.
    const std::string retagged = dir / "retagged.m4a";
    ASSERT_TRUE(hashtest::ffmpeg("-i '" + original +
                                     "' -c copy -map_metadata -1 -metadata title=Second "
                                     "-metadata artist='Someone Else' -movflags +faststart",
                                 retagged));
    ASSERT_NE(readFile(original), readFile(retagged));
    EXPECT_EQ(expected, hashOfFile(retagged));

    // Upper-case extension through the factory.
    writeFile(dir / "UPPER.M4A", readFile(original));
    std::unique_ptr<Ostra::FileHash::Generator> generator(
        Ostra::GetHasherForFile(dir / "UPPER.M4A"));
    ASSERT_TRUE(generator);
    std::string hash;
    ASSERT_TRUE(generator->getHashForFile(dir / "UPPER.M4A", hash));
    EXPECT_EQ(expected, hash);
}

}  // namespace

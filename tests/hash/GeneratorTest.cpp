// The payload hashers over hand-built files, each row's payload cut out at
// literal offsets, and over encoder output; digests are the openssl command's.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "hash/GetHasherForFile.h"
#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace {

using media::be32;
using media::synchsafe;
using testsupport::readFile;
using testsupport::writeFile;

const std::string kFailed = "failed";

// `openssl dgst -sha1` of the bytes.
std::string sha1Hex(const std::string& bytes) {
    testsupport::TempDir dir;
    writeFile(dir / "bytes", bytes);
    return media::sha1OfFile(dir / "bytes");
}

// Pseudo-random bytes that never start a 128-byte block with "TAG".
std::string noiseBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random() & 0xff);
    for (std::size_t i = 0; i + 3 <= size; ++i) {
        if (bytes.compare(i, 3, "TAG") == 0) bytes[i] = 'x';
    }
    return bytes;
}

// An ID3v2 tag with one TIT2 frame and padding, its size covering both;
// with footer (v2.4 only) the footer follows the frames, outside the size.
std::string id3v2Tag(const std::string& title, std::size_t padding, int version = 3,
                     bool footer = false) {
    std::string text = "\x03" + title;
    std::string frameSize = version == 4 ? synchsafe(static_cast<std::uint32_t>(text.size()))
                                         : be32(static_cast<std::uint32_t>(text.size()));
    std::string body = "TIT2" + frameSize + std::string(2, '\0') + text;
    if (!footer) body += std::string(padding, '\0');
    std::string header = "ID3" + std::string(1, static_cast<char>(version)) + std::string(1, '\0') +
                         std::string(1, footer ? 0x10 : 0) +
                         synchsafe(static_cast<std::uint32_t>(body.size()));
    return header + body + (footer ? "3DI" + header.substr(3) : "");
}

// `count` 128-byte ID3v1 blocks: "TAG", a title, zeros.
std::string blocks(int count) {
    std::string out;
    for (int i = 0; i < count; ++i) {
        const std::string title = "TAGBlock " + std::to_string(i);
        out += title + std::string(128 - title.size(), '\0');
    }
    return out;
}

std::string box(const std::string& type, const std::string& body) {
    return be32(static_cast<std::uint32_t>(8 + body.size())) + type + body;
}

// A box header with a 64-bit size.
std::string large(const std::string& type, std::uint64_t size, const std::string& body = "") {
    return be32(1) + type + be32(static_cast<std::uint32_t>(size >> 32)) +
           be32(static_cast<std::uint32_t>(size)) + body;
}

// The hash from the generator the name picks; kFailed when there is none or
// it fails, and then it must have left the output alone.
std::string hashOfFile(const std::string& path) {
    std::unique_ptr<Ostra::FileHash::Generator> generator(Ostra::GetHasherForFile(path));
    std::string hash = kFailed;
    if (generator && !generator->getHashForFile(path, hash)) {
        EXPECT_EQ(kFailed, hash) << path;
    }
    return hash;
}

struct Layout {
    std::string name;
    std::string file;
    std::string payload;  // kFailed: no hash
};

void expectLayouts(const std::string& fileName, const std::vector<Layout>& rows) {
    testsupport::TempDir dir;
    for (const Layout& row : rows) {
        writeFile(dir / fileName, row.file);
        EXPECT_EQ(row.payload == kFailed ? kFailed : sha1Hex(row.payload),
                  hashOfFile(dir / fileName))
            << row.name;
    }
}

// A leading ID3v2 tag goes; "TAG" blocks go from the end of the final
// 65,536-byte chunk (the last 512 bytes held back for it) while more than
// 128 bytes are left.
TEST(MP3Generator, Layouts) {
    const std::string audio = noiseBytes(100000, 1);
    const std::string a65488 = noiseBytes(65488, 2), a70000 = noiseBytes(70000, 3);
    const std::string a65536 = noiseBytes(65536, 4), a131072 = noiseBytes(131072, 5);
    const std::string footerTag = id3v2Tag("Title", 0, 4, true);
    const std::string second = id3v2Tag("Second", 20);
    std::string cutTag = id3v2Tag("Title", 5000) + noiseBytes(100, 6);
    cutTag.resize(3000);
    expectLayouts(
        "song.mp3",
        {
            {"no tags", audio, audio},
            {"id3v2 without padding and id3v1", id3v2Tag("T", 0) + audio + blocks(1), audio},
            {"id3v2 padded past a chunk", id3v2Tag("T", 70000) + audio + blocks(1), audio},
            // 0x81 0x00 in the low size bytes: 0x81 * 128 = 16512 bytes of tag.
            {"size byte with the high bit", "ID3" + std::string("\x03\0\0\0\0\x81\0", 7) + audio,
             audio.substr(16512)},
            {"last size byte 0xff", "ID3" + std::string("\x03\0\0\0\0\0\xff", 7) + audio,
             audio.substr(255)},
            {"id3v2.4 footer counts as payload", footerTag + audio,
             footerTag.substr(footerTag.size() - 10) + audio},
            {"only one leading tag is skipped", id3v2Tag("First", 30) + second + audio,
             second + audio},
            // 65,488 + 4 * 128 = 66,000: the final chunk is the 512 bytes of
            // blocks and its last block stays.
            {"four blocks after 65488 bytes", a65488 + blocks(4), a65488 + blocks(1)},
            {"tag and four blocks after 65488 bytes", id3v2Tag("T", 777) + a65488 + blocks(4),
             a65488 + blocks(1)},
            {"four blocks after 70000 bytes", a70000 + blocks(4), a70000},
            {"five blocks after one whole chunk", a65536 + blocks(5), a65536 + blocks(1)},
            {"two blocks after two whole chunks", a131072 + blocks(2), a131072},
            {"one block alone", blocks(1), blocks(1)},
            {"tag and two blocks", id3v2Tag("T", 50) + blocks(2), blocks(1)},
            {"shorter than a tag header", "ID3abcdef", "ID3abcdef"},
            // Digest 000beab8 722a62ea 0759630e...: words keep their leading zeros.
            {"leading zeros", "payload 44769", "payload 44769"},
            // No payload byte is no audio: the empty input's digest would give
            // every such file one shared hash.
            {"empty", "", kFailed},
            {"tag ending at the end", id3v2Tag("T", 10), kFailed},
            {"tag size past the end", cutTag, kFailed},
            {"size bytes all high bits", "ID3" + std::string("\x03\0\0\xff\xff\xff\xff", 7) + audio,
             kFailed},
        });
}

// The payload is the bodies of the top-level "mdat" boxes in file order.
TEST(M4AGenerator, Layouts) {
    const std::string ftyp = box("ftyp", std::string("M4A \0\0\0\0M4A mp42isom", 20));
    const std::string a = noiseBytes(200000, 1), b = noiseBytes(1234, 2), c = noiseBytes(500, 3);
    const std::string nested = box("moov", box("udta", box("mdat", "nested, not payload")));
    // A skipped body holding a fake "mdat" header that must not be seen.
    const std::string inner = box("mdat", "not payload") + std::string(40, 'z');
    const std::string rest = noiseBytes(90000, 4) + box("moov", "looks like a box, is payload");
    const std::string withC = ftyp + box("mdat", c);
    std::string cutFirst = ftyp + box("mdat", a);
    cutFirst.resize(cutFirst.size() - 1);
    std::string cutLater = ftyp + box("mdat", "complete") + box("mdat", b);
    cutLater.resize(cutLater.size() - 10);
    std::vector<Layout> rows = {
        {"one mdat", ftyp + box("mdat", a) + box("moov", "index"), a},
        {"two mdats around a nested one", ftyp + box("mdat", a) + nested + box("mdat", b), a + b},
        {"empty mdats passed over",
         ftyp + box("mdat", "") + box("free", "xx") + box("mdat", b) + box("mdat", ""), b},
        {"64-bit mdat", ftyp + large("mdat", 16 + a.size(), a) + box("mdat", b), a + b},
        {"64-bit other box skipped whole",
         ftyp + large("free", 16 + inner.size(), inner) + box("mdat", b), b},
        {"size-zero mdat runs to the end", withC + be32(0) + "mdat" + rest, c + rest},
        {"size-zero other box ends the walk", withC + be32(0) + "free" + box("mdat", "after"), c},
        {"32-bit size past the end", withC + be32(0xfffffff0u) + "free" + box("mdat", "x"), c},
        {"64-bit size past the end", withC + large("free", ~std::uint64_t(0)) + box("mdat", "x"),
         c},
        {"64-bit size of 2^63", withC + large("free", 1ull << 63) + box("mdat", "x"), c},
        {"truncated header at the end", withC + std::string(3, '\0'), c},
        {"truncated 64-bit header at the end", withC + be32(1) + "mdat\0\0", c},
        {"empty file", "", kFailed},
        {"only a nested mdat", ftyp + box("moov", box("mdat", "nested")), kFailed},
        {"no boxes", noiseBytes(50000, 5), kFailed},
        {"one empty mdat", ftyp + box("mdat", ""), kFailed},
        {"empty 64-bit mdat", ftyp + large("mdat", 16) + box("free", "x"), kFailed},
        {"size-zero mdat at the end", ftyp + be32(0) + "mdat", kFailed},
        {"size-zero other box first", ftyp + be32(0) + "free" + box("mdat", "x"), kFailed},
        {"truncated mdat", cutFirst, kFailed},
        {"truncated later mdat", cutLater, kFailed},
        {"truncated 64-bit mdat", ftyp + large("mdat", 16 + 5000, noiseBytes(4000, 6)), kFailed},
    };
    for (std::uint32_t size = 2; size < 8; ++size) {
        const std::string n = std::to_string(size);
        rows.push_back({"size " + n + " free", withC + be32(size) + "free" + box("mdat", "x"), c});
        rows.push_back({"size " + n + " mdat", withC + be32(size) + "mdat" + box("mdat", "x"), c});
        rows.push_back({"size " + n + " first", be32(size) + "mdat" + box("mdat", "x"), kFailed});
    }
    // A 64-bit size below its own 16-byte header ends the walk; an "mdat"
    // that small keeps the earlier bodies rather than failing the hash.
    for (std::uint64_t size : {0, 8, 15}) {
        const std::string n = std::to_string(size);
        rows.push_back(
            {"64-bit size " + n + " free", withC + large("free", size) + box("mdat", "x"), c});
        rows.push_back(
            {"64-bit size " + n + " mdat", withC + large("mdat", size) + box("mdat", "x"), c});
        rows.push_back({"64-bit size " + n + " first",
                        ftyp + large("mdat", size) + box("mdat", "x"), kFailed});
    }
    expectLayouts("song.m4a", rows);
}

// The generator is picked by the final name's extension in any letter case;
// what cannot be read as a regular file (a FIFO is not waited on) fails.
TEST(GetHasherForFile, PicksByExtensionAndRefusesWhatIsNoFile) {
    testsupport::TempDir dir;
    const std::string body = noiseBytes(1000, 7), file = box("mdat", body);
    const std::string mp3 = sha1Hex(file), m4a = sha1Hex(body);
    ASSERT_EQ(0, ::mkdir((dir / "a.b").c_str(), 0755));
    ASSERT_EQ(0, ::mkdir((dir / "dir.mp3").c_str(), 0755));
    ASSERT_EQ(0, ::mkfifo((dir / "pipe.mp3").c_str(), 0644));
    ASSERT_EQ(0, ::mkfifo((dir / "pipe.m4a").c_str(), 0644));
    const std::pair<std::string, std::string> rows[] = {
        {"song.MP3", mp3},         {"a.b/x.mP3", mp3},     {".mp3", mp3},
        {"SONG.M4A", m4a},         {"x.M4a", m4a},         {"song.mp4", kFailed},
        {"song.flac", kFailed},    {"song", kFailed},      {"dir.mp3/song", kFailed},
        {"song.mp3.bak", kFailed}, {"song.mp3 ", kFailed}, {"song.", kFailed},
        {"song.mp", kFailed},
    };
    for (const auto& row : rows) {
        writeFile(dir / row.first, file);
        EXPECT_EQ(row.second, hashOfFile(dir / row.first)) << row.first;
    }
    for (const char* name : {"missing.mp3", "dir.mp3", "pipe.mp3", "pipe.m4a"})
        EXPECT_EQ(kFailed, hashOfFile(dir / name)) << name;
}

// Encoder output: an untagged MP3 is all payload, as openssl hashes it; an
// M4A's payload is its packets as ffmpeg copies them out. Retagging (and
// moving the M4A's index) keeps either hash.
TEST(Generators, EncodedAudioKeepsItsHashAcrossRetagging) {
    const std::string mp3 = media::ffmpeg(
        "plain.mp3", "-f lavfi -i sine=frequency=1000:duration=2 -c:a libmp3lame -id3v2_version 0");
    const std::string m4a = media::ffmpeg(
        "original.m4a", "-f lavfi -i sine=frequency=440:duration=3 -c:a aac -metadata title=First");
    const std::string retagged =
        media::ffmpeg("retagged.m4a",
                      "-i " + media::quote(m4a) +
                          " -c copy -map_metadata -1 -metadata title=Second -movflags +faststart");
    ASSERT_NE(readFile(m4a), readFile(retagged));
    const std::string packets = testsupport::capture(
        "ffmpeg -nostdin -v error -i " + media::quote(m4a) + " -map 0:a -c copy -f data -");
    ASSERT_GT(packets.size(), 10000u);
    testsupport::TempDir dir;
    writeFile(dir / "retagged.mp3", id3v2Tag("A longer title", 4096) + readFile(mp3) + blocks(1));
    const std::pair<std::string, std::string> rows[] = {
        {mp3, media::sha1OfFile(mp3)},
        {dir / "retagged.mp3", media::sha1OfFile(mp3)},
        {m4a, sha1Hex(packets)},
        {retagged, sha1Hex(packets)},
    };
    for (const auto& row : rows) EXPECT_EQ(row.second, hashOfFile(row.first)) << row.first;
}

// Sparse files past 4 GiB, where offsets and sizes cut to 32 bits go wrong;
// the digests are `openssl sha1` of the payload ranges cut out with dd.
class LargeFile : public ::testing::Test {
  protected:
    // Writes the regions at their offsets into the file `name` and hashes it.
    std::string hashSparse(const std::string& name,
                           const std::vector<std::pair<std::uint64_t, std::string>>& regions) {
        const int fd = ::open((dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        EXPECT_GE(fd, 0);
        for (const auto& region : regions) {
            EXPECT_EQ(static_cast<ssize_t>(region.second.size()),
                      ::pwrite(fd, region.second.data(), region.second.size(),
                               static_cast<off_t>(region.first)));
        }
        ::close(fd);
        return hashOfFile(dir / name);
    }

    static constexpr std::uint64_t kFourGiB = std::uint64_t(1) << 32;
    testsupport::TempDir dir;
};

TEST_F(LargeFile, Mp3PastFourGiBHashesWhole) {
    const std::string tag = id3v2Tag("Large", 1000);
    const std::uint64_t audioEnd = tag.size() + kFourGiB + 70001;
    // Markers either side of the 4 GiB line, where 32-bit offsets wrap.
    EXPECT_EQ("7e88f24bc1f00b5197629d8a89180d531e51ff00",
              hashSparse("large.MP3", {{0, tag + noiseBytes(4096, 1)},
                                       {kFourGiB - 100, noiseBytes(200, 2)},
                                       {audioEnd - 5000, noiseBytes(5000, 3)},
                                       {audioEnd, blocks(1)}}));
}

// A 64-bit "mdat" longer than 4 GiB, then boxes found past the 4 GiB line: a
// box to skip, a plain "mdat", and a size-0 "mdat" that runs to the end.
TEST_F(LargeFile, M4aPastFourGiBHashesEveryMdat) {
    const std::string ftyp = box("ftyp", "M4A mp42");
    const std::uint64_t bodySize = kFourGiB + 300;
    const std::uint64_t bodyEnd = ftyp.size() + 16 + bodySize;
    EXPECT_EQ("4c3da9ffb3410471c20d632aaac265ef42376914",
              hashSparse("large.m4a",
                         {{0, ftyp + large("mdat", 16 + bodySize) + noiseBytes(1000, 5)},
                          {kFourGiB - 10, noiseBytes(20, 6)},
                          {bodyEnd - 500, noiseBytes(500, 7)},
                          {bodyEnd, box("moov", "index") + box("mdat", noiseBytes(10000, 8)) +
                                        be32(0) + "mdat" + noiseBytes(3000, 9)}}));
}

// A 64-bit box to skip, with an "mdat" where a skip cut to 32 bits would land.
TEST_F(LargeFile, M4aSkipsA64BitBoxPastFourGiB) {
    const std::string ftyp = box("ftyp", "M4A mp42");
    const std::uint64_t freeSize = kFourGiB + 16 + 8;
    const std::string body = noiseBytes(3000, 10);
    EXPECT_EQ(sha1Hex(body), hashSparse("skip.m4a", {{0, ftyp + large("free", freeSize)},
                                                     {ftyp.size() + 24, box("mdat", "wrapped")},
                                                     {ftyp.size() + freeSize, box("mdat", body)}}));
}

}  // namespace

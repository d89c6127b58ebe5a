#include "metadata/TagReader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <taglib/id3v2tag.h>
#include <taglib/textidentificationframe.h>
#include <taglib/xiphcomment.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
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

// TagLib falls back to the content when it does not know the extension; the
// album artist and "dmid" still go by the extension.
TEST(TagReader, UnknownExtensionIsReadByContentWithoutAlbumArtist) {
    const std::string path = scratchRoot() + "/song.xyz";
    ASSERT_EQ(0, testsupport::run("cp " + quote(fixture("tagged_v23.mp3")) + " " + quote(path)));
    const Extraction e = extract(path);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ((std::set<std::string>{"album", "artist", "genre", "id", "path", "title"}),
              keysOf(e.text));
    for (const std::string& other : {path, std::string("/nonexistent/x.flac")}) {
        std::string out = "stale";
        EXPECT_FALSE(Ostra::GetAlbumArtistFromFile(other, out));
        EXPECT_EQ("", out);
    }
}

TEST(TagReader, PathBytesArePassedThroughUnchanged) {
    const std::string dir = newDir("names");
    const std::string odd = dir + "/bad\xff\xfe name's (1).mp3";
    ASSERT_EQ(0, testsupport::run("cp " + quote(fixture("tagged_v23.mp3")) + " " + quote(odd)));
    Extraction e = extract(odd);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(odd, e.text.at("path"));
    std::string id;
    Ostra::util::SongIdFromPath(odd, id);
    EXPECT_EQ(id, e.text.at("id"));

    // A path near the system's limit, built from nested folders.
    std::string deep = dir;
    while (deep.size() < 3800) deep += "/" + std::string(200, 'd');
    ASSERT_EQ(0, testsupport::run("mkdir -p " + quote(deep)));
    const std::string longPath = deep + "/song.mp3";
    ASSERT_EQ(0,
              testsupport::run("cp " + quote(fixture("tagged_v23.mp3")) + " " + quote(longPath)));
    e = extract(longPath);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(longPath, e.text.at("path"));

    // Too long for the system: simply unreadable.
    EXPECT_FALSE(extract(deep + "/" + std::string(300, 'x') + ".mp3").ok);
}

TEST(TagReader, SymlinkedFileIsReadUnderTheLinkPath) {
    const std::string link = scratchRoot() + "/link.m4a";
    ASSERT_EQ(0, ::symlink(fixture("alac.m4a").c_str(), link.c_str()));
    const Extraction e = extract(link);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ(link, e.text.at("path"));
    EXPECT_EQ("Apple Lossless audio file", e.text.at("kind"));
    EXPECT_EQ(fileSize(fixture("alac.m4a")), e.ints.at("size"));

    const std::string broken = scratchRoot() + "/broken.mp3";
    ASSERT_EQ(0, ::symlink("/nonexistent/nothing.mp3", broken.c_str()));
    EXPECT_FALSE(extract(broken).ok);
}

TEST(AlacProbe, LooksForAlacInBytes350To499OfM4aFiles) {
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
    EXPECT_FALSE(Ostra::isFileALAC(make("after.m4a", 1000, 500)));
    EXPECT_FALSE(Ostra::isFileALAC(make("short.m4a", 499, 350)));
    EXPECT_FALSE(Ostra::isFileALAC(make("other.mp4", 1000, 400)));
    EXPECT_FALSE(Ostra::isFileALAC(make("other.m4a.bak", 1000, 400)));
    EXPECT_FALSE(Ostra::isFileALAC(dir + "/missing.m4a"));
}

TEST(AlacProbe, ReportedCodecCatchesAlacOutsideTheWindow) {
    const std::string plain = fixture("alac.m4a");
    ASSERT_FALSE(plain.empty());
    const std::string window = testsupport::readFile(plain).substr(350, 150);
    ASSERT_EQ(std::string::npos, window.find("alac")) << "fixture no longer exercises the codec";
    EXPECT_TRUE(Ostra::isFileALAC(plain));
    EXPECT_FALSE(Ostra::isFileALAC(fixture("truncated.m4a")));
}

// "alac" inside the window flags even an AAC file; in a plainly written file
// bytes 350 to 499 are audio data, so the file still parses.
TEST(AlacProbe, WindowHitFlagsAnAacFileInTheExtraction) {
    const std::string path = scratchRoot() + "/aac_with_alac_bytes.m4a";
    std::string bytes = testsupport::readFile(fixture("aac.m4a"));
    ASSERT_GT(bytes.size(), 500u);
    ASSERT_LT(bytes.find("mdat"), 300u) << "fixture layout changed";
    bytes.replace(420, 4, "alac");
    testsupport::writeFile(path, bytes);
    const Extraction e = extract(path);
    ASSERT_TRUE(e.ok);
    EXPECT_EQ("Apple Lossless audio file", e.text.at("kind"));
    EXPECT_EQ(metadatatest::kAlbumArtist, e.text.at("albumArtist"));
    EXPECT_TRUE(Ostra::isFileALAC(path));
}

TEST(AlbumArtistTags, Id3v2TakesTheFirstTpe2Frame) {
    std::string out = "stale";
    EXPECT_FALSE(Ostra::getAlbumArtistFromID3v2Tag(out, nullptr));
    EXPECT_EQ("", out);

    TagLib::ID3v2::Tag tag;
    out = "stale";
    EXPECT_FALSE(Ostra::getAlbumArtistFromID3v2Tag(out, &tag));
    EXPECT_EQ("", out);

    auto* frame = new TagLib::ID3v2::TextIdentificationFrame("TPE2", TagLib::String::UTF8);
    TagLib::StringList values;
    values.append(TagLib::String("One", TagLib::String::UTF8));
    values.append(TagLib::String("Tw\xc3\xb6", TagLib::String::UTF8));
    frame->setText(values);
    tag.addFrame(frame);
    auto* second = new TagLib::ID3v2::TextIdentificationFrame("TPE2", TagLib::String::UTF8);
    second->setText("Second");
    tag.addFrame(second);
    EXPECT_TRUE(Ostra::getAlbumArtistFromID3v2Tag(out, &tag));
    EXPECT_EQ("One Tw\xc3\xb6", out);

    TagLib::ID3v2::Tag empty;
    auto* blank = new TagLib::ID3v2::TextIdentificationFrame("TPE2", TagLib::String::UTF8);
    empty.addFrame(blank);
    EXPECT_FALSE(Ostra::getAlbumArtistFromID3v2Tag(out, &empty));
}

TEST(AlbumArtistTags, XiphCommentPrefersAlbumartistThenAlbumSpaceArtist) {
    std::string out = "stale";
    EXPECT_FALSE(Ostra::getAlbumArtistFromXiphComment(out, nullptr));
    EXPECT_EQ("", out);

    TagLib::Ogg::XiphComment comment;
    EXPECT_FALSE(Ostra::getAlbumArtistFromXiphComment(out, &comment));

    comment.addField("album artist", "Spaced");
    EXPECT_TRUE(Ostra::getAlbumArtistFromXiphComment(out, &comment));
    EXPECT_EQ("Spaced", out);

    comment.addField("AlbumArtist", "First");
    comment.addField("ALBUMARTIST", "Second", false);
    EXPECT_TRUE(Ostra::getAlbumArtistFromXiphComment(out, &comment));
    EXPECT_EQ("First", out);
}

using media::be32;
using media::le32;
using media::synchsafe;

// An "ftyp" box, then depth boxes named name, each holding the next after
// `extra` bytes (the version and flags of "meta", the entry count of "stsd").
std::string nestedBoxes(std::size_t depth, const std::string& name, const std::string& extra = "") {
    std::string bytes = be32(16) + "ftypM4A " + std::string(4, '\0');
    const std::size_t each = 8 + extra.size();
    for (std::size_t level = depth; level > 0; --level) {
        bytes += be32(static_cast<std::uint32_t>(each * level)) + name + extra;
    }
    return bytes;
}

std::string id3Frame(const std::string& id, const std::string& body, int version,
                     const std::string& flags = std::string(2, '\0')) {
    const std::uint32_t size = static_cast<std::uint32_t>(body.size());
    return id + (version == 4 ? synchsafe(size) : be32(size)) + flags + body;
}

std::string textFrame(const std::string& id, const std::string& text, int version) {
    return id3Frame(id, "\x03" + text, version);
}

// frames.size() frames: "CHAP" (or "CTOC") frames nested depth deep, the
// innermost holding a title. Built from the outside in with the sizes worked
// out first, so a deep chain costs linear time.
std::string chapterChain(std::size_t depth, const std::string& id, int version) {
    const std::string inner = textFrame("TIT2", "Inside", version);
    const std::string prefix = id == "CHAP" ? std::string("c\0", 2) + std::string(16, '\0')
                                            : std::string("c\0\x03\x01x\0", 6);
    std::vector<std::uint32_t> sizes(depth);
    std::size_t size = inner.size();
    for (std::size_t level = depth; level > 0; --level) {
        sizes[level - 1] = static_cast<std::uint32_t>(prefix.size() + size);
        size = 10 + sizes[level - 1];
    }
    std::string bytes;
    bytes.reserve(size);
    for (std::uint32_t body : sizes) {
        bytes += id + (version == 4 ? synchsafe(body) : be32(body)) + std::string(2, '\0') + prefix;
    }
    return bytes + inner;
}

std::string id3Tag(const std::string& frames, int version) {
    return "ID3" + std::string(1, static_cast<char>(version)) + std::string(2, '\0') +
           synchsafe(static_cast<std::uint32_t>(frames.size())) + frames;
}

// The MPEG audio of a fixture, its own ID3v2 tag cut off.
std::string mpegAudio() {
    const std::string bytes = testsupport::readFile(fixture("untagged.mp3"));
    std::uint32_t tag = 0;
    for (int i = 6; i < 10; ++i) tag = tag * 128 + static_cast<unsigned char>(bytes[i]);
    return bytes.substr(10 + tag);
}

std::string wavWithId3Chunk(const std::string& tag) {
    const std::string fmt = "fmt " + le32(16) + std::string("\x01\0\x02\0", 4) + le32(44100) +
                            le32(176400) + std::string("\x04\0\x10\0", 4);
    const std::string data = "data" + le32(4000) + std::string(4000, '\0');
    std::string chunk = "id3 " + le32(static_cast<std::uint32_t>(tag.size())) + tag;
    if (tag.size() % 2) chunk += '\0';
    const std::string body = "WAVE" + fmt + data + chunk;
    return "RIFF" + le32(static_cast<std::uint32_t>(body.size())) + body;
}

std::string aiffWithId3Chunk(const std::string& tag) {
    const std::string comm = "COMM" + be32(18) + std::string("\0\x02", 2) + be32(1000) +
                             std::string("\0\x10\x40\x0e\xac\x44", 6) + std::string(6, '\0');
    const std::string ssnd = "SSND" + be32(8 + 4000) + std::string(8 + 4000, '\0');
    std::string chunk = "ID3 " + be32(static_cast<std::uint32_t>(tag.size())) + tag;
    if (tag.size() % 2) chunk += '\0';
    const std::string body = "AIFF" + comm + ssnd + chunk;
    return "FORM" + be32(static_cast<std::uint32_t>(body.size())) + body;
}

// A TXXX frame compressed with zlib (ID3v2.3: the inflated size follows the
// header) whose text inflates to `inflated` bytes.
std::string compressedFrame(std::size_t inflated) {
    const std::string text = std::string("\0a\0", 3) + std::string(inflated, 'z');
    uLongf packedSize = compressBound(text.size());
    std::string packed(packedSize, '\0');
    EXPECT_EQ(Z_OK, compress2(reinterpret_cast<Bytef*>(&packed[0]), &packedSize,
                              reinterpret_cast<const Bytef*>(text.data()), text.size(), 9));
    packed.resize(packedSize);
    return id3Frame("TXXX", be32(static_cast<std::uint32_t>(text.size())) + packed, 3,
                    std::string("\0\x80", 2));
}

// An APE tag of one text item, footer only, as it ends a file.
std::string apeTag(const std::string& key, const std::string& value) {
    const std::string item = le32(static_cast<std::uint32_t>(value.size())) + le32(0) + key +
                             std::string(1, '\0') + value;
    return item + "APETAGEX" + le32(2000) + le32(static_cast<std::uint32_t>(item.size() + 32)) +
           le32(1) + le32(0) + std::string(8, '\0');
}

// Pieces of a file written at their offsets, the rest of its size left as
// holes: gigabytes a file declares cost no disk.
struct SparsePiece {
    std::uint64_t offset;
    std::string bytes;
};

void writeSparse(const std::string& path, std::uint64_t size,
                 const std::vector<SparsePiece>& pieces) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << path;
    for (const SparsePiece& piece : pieces) {
        ASSERT_EQ(
            ::pwrite(fd, piece.bytes.data(), piece.bytes.size(), static_cast<off_t>(piece.offset)),
            static_cast<ssize_t>(piece.bytes.size()));
    }
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ::close(fd);
}

// An M4A whose one "ilst" item declares `itemSize` bytes.
std::vector<SparsePiece> mp4WithItemOf(std::uint32_t itemSize, std::uint64_t& fileSize) {
    const std::string ftyp = be32(24) + "ftypM4A " + std::string(4, '\0') + "M4A mp42";
    const std::string hdlr =
        be32(33) + "hdlr" + std::string(8, '\0') + "mdirappl" + std::string(9, '\0');
    const std::uint32_t ilst = 8 + itemSize;
    const std::uint32_t meta = 12 + static_cast<std::uint32_t>(hdlr.size()) + ilst;
    const std::uint32_t udta = 8 + meta;
    const std::uint32_t moov = 8 + udta;
    fileSize = ftyp.size() + moov;
    return {{0, ftyp + be32(moov) + "moov" + be32(udta) + "udta" + be32(meta) + "meta" +
                    std::string(4, '\0') + hdlr + be32(ilst) + "ilst" + be32(itemSize) + "\xa9nam" +
                    be32(itemSize - 8) + "data" + be32(1) + be32(0) + "Title"}};
}

// A FLAC file whose stream information is followed by `blocks` application
// blocks of the largest size a block header can give (16 MiB), each kept in
// memory by TagLib.
std::vector<SparsePiece> flacWithBlocks(int blocks, std::uint64_t& fileSize) {
    std::string head = testsupport::readFile(fixture("tagged.flac")).substr(0, 42);
    head[4] = 0;  // the stream information is no longer the last block
    std::vector<SparsePiece> pieces{{0, head}};
    std::uint64_t offset = head.size();
    for (int i = 0; i < blocks; ++i) {
        const char type = static_cast<char>(i + 1 == blocks ? 0x82 : 0x02);
        pieces.push_back({offset, std::string(1, type) + "\xff\xff\xff"});
        offset += 4 + 0xFFFFFF;
    }
    fileSize = offset;
    return pieces;
}

// The bytes of a one-second tone that ffmpeg writes as `name` (its format
// from the extension) with a title of `titleBytes` 'A's, passed through an
// ffmetadata file: a command line cannot hold such a title.
std::string ffmpegWithTitle(const std::string& name, std::size_t titleBytes) {
    const std::string dir = newDir("big_" + name);
    const std::string meta = dir + "/meta.txt";
    const std::string out = dir + "/" + name;
    testsupport::writeFile(meta, ";FFMETADATA1\ntitle=" + std::string(titleBytes, 'A') + "\n");
    const std::string command =
        "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=duration=1 -i " + quote(meta) +
        " -map_metadata 1 -map 0 " + quote(out);
    EXPECT_EQ(0, testsupport::run(command)) << command;
    return testsupport::readFile(out);
}

// Nesting past the limits overflowed TagLib's recursive parsers; tiny frames,
// boxes, a compressed frame, declared sizes and long texts cost it tens of
// times the file's size. Such files are unreadable in every carrying format;
// real chapters and 8 MiB of text still read.
TEST(TagReader, StructuresPastTheLimitsAreUnreadable) {
    const std::string audio = mpegAudio();
    const std::string title = textFrame("TIT2", "Chained", 4);
    std::string manyFrames;
    for (int i = 0; i < 20000; ++i) manyFrames += textFrame("TXXX", std::string("a\0b", 3), 3);
    std::string manyBoxes = testsupport::readFile(fixture("aac.m4a"));
    for (int i = 0; i < 200000; ++i) manyBoxes += be32(8) + "free";
    const std::string deepChapters = id3Tag(title + chapterChain(100000, "CHAP", 4), 4);
    std::uint64_t hugeItemSize = 0, manyBlocksSize = 0, bigItemSize = 0;
    const std::vector<SparsePiece> hugeItem = mp4WithItemOf(1536u << 20, hugeItemSize);
    const std::vector<SparsePiece> manyBlocks = flacWithBlocks(40, manyBlocksSize);
    const std::vector<SparsePiece> bigItem = mp4WithItemOf(20u << 20, bigItemSize);
    const std::string big(20 << 20, 'A'), nearly8(8 * 1024 * 1024 - 64, 'A');
    const std::string comment = id3Frame("COMM",
                                         std::string("\x03"
                                                     "eng\0",
                                                     5) +
                                             big,
                                         4);
    const std::string v22Title =
        "TT2" + be32(1 + (12 << 20)).substr(1) + std::string(1, '\0') + std::string(12 << 20, 'A');
    const struct {
        const char* file;
        std::string bytes;
        bool readable = false;
        const std::vector<SparsePiece>* pieces = nullptr;  // a sparse file instead of bytes
        std::uint64_t sparseSize = 0;
        std::string title = "Chained";
    } rows[] = {
        {"shallow.mp3",
         id3Tag(title + chapterChain(2, "CHAP", 4) + chapterChain(2, "CTOC", 4), 4) + audio, true},
        {"moov.m4a", nestedBoxes(100000, "moov")},
        {"moov1000.m4a", nestedBoxes(1000, "moov")},
        {"trak.mp4", nestedBoxes(100000, "trak")},
        {"meta.m4a", nestedBoxes(100000, "meta", std::string(4, '\0'))},
        {"stsd.m4a", nestedBoxes(100000, "stsd", std::string(8, '\0'))},
        {"boxes.aac", nestedBoxes(100000, "moov")},
        {"many_boxes.m4a", manyBoxes},
        {"chapters.mp3", deepChapters + audio},
        {"chapters23.mp3",
         id3Tag(textFrame("TIT2", "Chained", 3) + chapterChain(100000, "CHAP", 3), 3) + audio},
        {"toc.mp3", id3Tag(title + chapterChain(100000, "CTOC", 4), 4) + audio},
        {"junk.mp3", "junk" + deepChapters + audio},
        {"chapters.xyz", deepChapters + audio},
        {"chapters.wav", wavWithId3Chunk(deepChapters)},
        {"chapters.aiff", aiffWithId3Chunk(deepChapters)},
        {"chapters.flac", deepChapters + testsupport::readFile(fixture("tagged.flac"))},
        {"frames.mp3", id3Tag(textFrame("TIT2", "Many", 3) + manyFrames, 3) + audio},
        {"inflating.mp3",
         id3Tag(textFrame("TIT2", "Packed", 3) + compressedFrame(100 << 20), 3) + audio},
        {"huge_item.m4a", "", false, &hugeItem, hugeItemSize},
        {"blocks.flac", "", false, &manyBlocks, manyBlocksSize},
        {"big_title.mp3", id3Tag(textFrame("TIT2", big, 4), 4) + audio},
        {"big_comment.mp3", id3Tag(title + comment, 4) + audio},
        {"big_title22.mp3", id3Tag(v22Title, 2) + audio},
        {"big_ape.mp3", audio + apeTag("Title", big)},
        {"big_item.m4a", "", false, &bigItem, bigItemSize},
        {"big_title.ogg", ffmpegWithTitle("t.ogg", 20 << 20)},
        {"big_title.flac", ffmpegWithTitle("t.flac", 12 << 20)},
        {"nearly_8_mib.mp3", id3Tag(textFrame("TIT2", nearly8, 4), 4) + audio, true, nullptr, 0,
         nearly8},
        {"nearly_8_mib.ogg", ffmpegWithTitle("n.ogg", nearly8.size()), true, nullptr, 0, nearly8},
    };
    const std::string dir = newDir("limits");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        const std::string path = dir + "/" + row.file;
        if (row.pieces != nullptr) {
            writeSparse(path, row.sparseSize, *row.pieces);
        } else {
            testsupport::writeFile(path, row.bytes);
        }
        const Extraction e = extract(path);
        EXPECT_EQ(row.readable, e.ok);
        EXPECT_EQ(row.readable ? 1u : 0u, e.text.count("title"));
        EXPECT_TRUE(row.readable ? e.text.at("title") == row.title : e.text.empty());
        std::string albumArtist;
        EXPECT_FALSE(Ostra::GetAlbumArtistFromFile(path, albumArtist));
        EXPECT_FALSE(Ostra::isFileALAC(path));
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

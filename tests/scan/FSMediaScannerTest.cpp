#include "scan/FSMediaScanner.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>

#include "LoopbackRequest.h"
#include "scan/MediaProcessor.h"
#include "support/MediaFixtures.h"
#include "util/FileWorkers.h"

namespace {

namespace fs = boost::filesystem;
using namespace scantest;
using namespace testsupport;

struct ScanResult {
    std::vector<Value> responses;
    std::vector<std::string> paths;  // of the accepted songs, sorted
    std::string error;
};

ScanResult scan(const std::string& startPath, const amf::amf_ecma_array* extensions,
                Ostra::util::FileWorkers* readers = nullptr) {
    LoopbackRequest loop;
    auto processor = boost::make_shared<Ostra::MediaProcessor>(loop.request(), 1000);
    Ostra::FSMediaScanner scanner(processor, startPath, extensions, readers);
    scanner.scanMediaLibrary();
    processor->finish();
    ScanResult result;
    result.responses = loop.responsesUntilDone();
    if (!result.responses.empty()) {
        const auto* error = prop(prop(result.responses[0], "data"), "error");
        if (error != nullptr) {
            result.error = str(error);
            for (auto& r : loop.responsesUntilDone()) result.responses.push_back(std::move(r));
        }
    }
    for (const auto* song : entriesOfType(result.responses, "song"))
        result.paths.push_back(str(prop(song, "path")));
    std::sort(result.paths.begin(), result.paths.end());
    return result;
}

ScanResult scan(const std::string& startPath) {
    const amf::amf_ecma_array mp3 = testsupport::stringArray({"mp3"});
    return scan(startPath, &mp3);
}

// Only names with a listed extension (compared in lower case), never hidden
// ones; extension entries that are not strings count for nothing.
TEST(FSMediaScanner, FileFilter) {
    TempDir dir;
    for (const char* name : {"Song.MP3", "song.mp3", "._song.mp3", ".mp3", "README", "a.flac",
                             "b.Mp3", "c.mp3.txt", "d.", "e.ogg"})
        writeFile(dir / name, "not audio");
    amf::amf_numeric number(3);
    amf::amf_ecma_array withNumber = testsupport::stringArray({"ogg"});
    withNumber.set_property("1", &number);
    amf::amf_ecma_array mp3 = testsupport::stringArray({"mp3"}),
                        upper = testsupport::stringArray({"MP3"}),
                        dotted = testsupport::stringArray({".mp3"});
    const struct {
        const char* name;
        const amf::amf_ecma_array* extensions;
        std::vector<std::string> names;
    } rows[] = {
        {"mp3", &mp3, {"Song.MP3", "b.Mp3", "song.mp3"}},
        {"upper case", &upper, {}},
        {"dotted", &dotted, {}},
        {"none", nullptr, {}},
        {"with a number", &withNumber, {"e.ogg"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> expected;
        for (const std::string& name : row.names) expected.push_back(dir / name);
        EXPECT_EQ(scan(dir.path(), row.extensions).paths, expected);
    }
}

// The whole tree, files that are not audio included (with path and id, no
// tags); links to files are followed, links to folders are not; neither a
// FIFO nor a link to one is read or blocks the walk.
TEST(FSMediaScanner, WalksTheTreeFollowingFileLinksOnly) {
    TempDir dir;
    TempDir outside;
    fs::create_directories(dir / "a/b/c");
    fs::create_directories(dir / "empty");
    fs::create_directories(outside / "linked");
    writeFile(dir / "top.mp3", "not audio");
    writeFile(dir / "a/b/c/deep.mp3", "");
    writeFile(dir / "a/b/truncated.mp3", "ID3\x04");
    writeFile(outside / "target.mp3", "not audio");
    writeFile(outside / "linked/inside.mp3", "not audio");
    fs::create_symlink(outside / "target.mp3", dir / "a/link.mp3");
    fs::create_directory_symlink(outside / "linked", dir / "dirlink");
    fs::create_directory_symlink(dir.path(), dir / "a/loop");
    fs::create_symlink(dir / "missing.mp3", dir / "broken.mp3");
    ASSERT_EQ(0, ::mkfifo((dir / "a/pipe.mp3").c_str(), 0600));
    fs::create_symlink(dir / "a/pipe.mp3", dir / "pipelink.mp3");
    auto result = scan(dir.path());
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.paths,
              (std::vector<std::string>{dir / "a/b/c/deep.mp3", dir / "a/b/truncated.mp3",
                                        dir / "a/link.mp3", dir / "top.mp3"}));
    for (const auto* song : entriesOfType(result.responses, "song"))
        EXPECT_EQ(prop(song, "title"), nullptr);
}

// The start path is trimmed; a relative one gives relative paths; one that
// cannot be walked gives the error and then the report.
TEST(FSMediaScanner, StartPaths) {
    TempDir dir;
    fs::create_directories(dir / "m");
    writeFile(dir / "m/a.mp3", "not audio");
    auto trimmed = scan("  " + dir.path() + " \t");
    EXPECT_EQ(trimmed.paths, (std::vector<std::string>{dir / "m/a.mp3"}));
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    auto relative = scan("m");
    fs::current_path(before);
    EXPECT_EQ(relative.paths, (std::vector<std::string>{"m/a.mp3"}));

    for (const std::string& start : {dir / "missing", dir / "m/a.mp3", std::string()})
        EXPECT_EQ(scan(start).error, "Problem occurred during file system scanning.") << start;
}

// Every name is opened relative to its folder's descriptor, so a file whose
// whole path is longer than PATH_MAX is scanned and its tags are read into
// the record like any other's.
TEST(FSMediaScanner, OddNamesLongPathsAndDeepTreesAreWalkedWhole) {
    TempDir dir;
    writeFile(dir / "bad\xff\xfename.mp3", "not audio");
    const std::string source = media::ffmpeg(
        "scan-beyond.mp3", media::tone(1) + media::tags({{"title", "Beyond"},
                                                         {"artist", "The Band"},
                                                         {"album", "Live"},
                                                         {"track", "3"},
                                                         {"album_artist", "Various"}}));
    // A path longer than PATH_MAX, built one relative step at a time.
    std::string longDir = dir / "long";
    fs::create_directories(longDir);
    const std::string segment(200, 'x');
    std::string beyond = longDir;
    {
        const fs::path before = fs::current_path();
        fs::current_path(longDir);
        for (int i = 0; i < 25; ++i) {
            fs::create_directory(segment);
            fs::current_path(segment);
            beyond += "/" + segment;
        }
        writeFile("beyond.mp3", testsupport::readFile(source));
        fs::current_path(before);
    }
    beyond += "/beyond.mp3";
    ASSERT_GT(beyond.size(), static_cast<std::size_t>(PATH_MAX));
    writeFile(dir / "zzz.mp3", "not audio");
    auto result = scan(dir.path());
    EXPECT_EQ(result.paths, (Texts{dir / "bad\xff\xfename.mp3", beyond, dir / "zzz.mp3"}));
    const amf::amf0_data_type* tagged = nullptr;
    for (const auto* song : entriesOfType(result.responses, "song"))
        if (str(prop(song, "path")) == beyond) tagged = song;
    ASSERT_NE(tagged, nullptr);
    EXPECT_EQ(str(prop(tagged, "title")), "Beyond");
    EXPECT_EQ(str(prop(tagged, "artist")), "The Band");
    EXPECT_EQ(str(prop(tagged, "album")), "Live");
    EXPECT_EQ(str(prop(tagged, "albumArtist")), "Various");
    EXPECT_EQ(num(prop(tagged, "trackNumber")), 3);
    EXPECT_EQ(num(prop(tagged, "size")), static_cast<double>(testsupport::readFile(source).size()));
    EXPECT_EQ(num(prop(tagged, "duration")), 1);
    // rm walks by descriptor, so it removes what path-based removal cannot reach.
    testsupport::run("rm -rf '" + longDir + "'");
}

// Tags read ahead on several threads reach the processor exactly as a scan
// reading every file on its own thread gives them: same bytes, same order.
TEST(FSMediaScanner, ReadAheadRecordsMatchASequentialWalkByteForByte) {
    TempDir tree;
    const std::vector<std::pair<std::string, std::string>> sources = {
        {"a.mp3", "-metadata title=Alpha -metadata artist=One -metadata track=3"},
        {"b.m4a", "-metadata title=Beta -metadata album_artist=Two"},
        {"c.flac", "-metadata title=Gamma -metadata date=1999"},
        {"d.ogg", "-metadata title=Delta -metadata genre=Test"},
        {"e.mp3", "-map_metadata -1"}};
    for (const auto& source : sources)
        fs::copy_file(media::ffmpeg("scan-" + source.first, media::tone(1) + " " + source.second),
                      tree / source.first);
    writeFile(tree / "junk.mp3", std::string(3000, '\x5a'));
    writeFile(tree / "empty.m4a", "");
    writeFile(tree / "notes.txt", "not audio");
    // A few thousand files over folders of uneven depth, the deepest of them
    // holding a single file each.
    const std::vector<std::string> names = {"a.mp3", "b.m4a",    "c.flac",    "d.ogg",
                                            "e.mp3", "junk.mp3", "empty.m4a", "notes.txt"};
    for (int i = 0; i < 3000; ++i) {
        fs::path folder = fs::path(tree.path()) / "music";
        for (int level = 0; level <= i % 4; ++level)
            folder /= "f" + std::to_string(level == 3 ? i : (i / 7 + level) % 9);
        fs::create_directories(folder);
        const std::string& name = names[static_cast<std::size_t>(i) % names.size()];
        fs::create_hard_link(tree / name, folder / (std::to_string(i) + "_" + name));
    }
    const amf::amf_ecma_array list = testsupport::stringArray({"mp3", "m4a", "flac", "ogg"});
    Ostra::util::FileWorkers four(4), one(1), none(0);
    // Descriptors free beyond those open now; 0 for no limit.
    const struct {
        Ostra::util::FileWorkers* readers;
        rlim_t spareDescriptors;
    } rows[] = {{nullptr, 0}, {&four, 0}, {&one, 0}, {&none, 0}, {&one, 40}};
    std::vector<std::string> expected;
    for (const auto& row : rows) {
        Ostra::util::FileWorkers* readers = row.readers;
        SCOPED_TRACE(readers == nullptr ? -1 : static_cast<int>(readers->size()));
        SCOPED_TRACE(row.spareDescriptors);
        struct rlimit before;
        ASSERT_EQ(0, ::getrlimit(RLIMIT_NOFILE, &before));
        if (row.spareDescriptors > 0) {
            struct rlimit low = before;
            low.rlim_cur = static_cast<rlim_t>(std::distance(
                               fs::directory_iterator("/proc/self/fd"), fs::directory_iterator())) +
                           row.spareDescriptors;
            ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &low));
        }
        std::vector<std::string> records;
        const auto result = scan(tree / "music", &list, readers);
        ASSERT_EQ(0, ::setrlimit(RLIMIT_NOFILE, &before));
        for (const auto* entry : allEntries(result.responses))
            records.push_back(testsupport::encodeValue(*entry));
        EXPECT_EQ(records.size(), 2626u);  // and the report
        if (readers == nullptr) expected = records;
        EXPECT_TRUE(records == expected);
    }
}

}  // namespace

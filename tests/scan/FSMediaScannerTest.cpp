#include "scan/FSMediaScanner.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "LoopbackRequest.h"
#include "amf/amf0.h"
#include "scan/MediaProcessor.h"
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

ScanResult scan(const std::string& startPath, const std::vector<std::string>& extensions,
                bool withExtensions = true) {
    LoopbackRequest loop;
    auto processor = boost::make_shared<Ostra::MediaProcessor>(loop.request(), 1000);
    amf::amf_ecma_array list = testsupport::stringArray(extensions);
    Ostra::FSMediaScanner scanner(processor, startPath, withExtensions ? &list : nullptr);
    scanner.scanMediaLibrary();
    processor->finish();
    ScanResult result;
    result.responses = loop.responsesUntilDone();
    if (!result.responses.empty()) {
        const auto* error = prop(prop(result.responses[0], "data"), "error");
        if (error != nullptr) {
            result.error = str(error);
            auto rest = loop.responsesUntilDone();
            for (auto& r : rest) result.responses.push_back(std::move(r));
        }
    }
    for (const auto* song : entriesOfType(result.responses, "song"))
        result.paths.push_back(str(prop(song, "path")));
    std::sort(result.paths.begin(), result.paths.end());
    return result;
}

void touch(const std::string& path, const std::string& bytes = "not audio") {
    writeFile(path, bytes);
}

// Only names with a listed extension (compared in lower case), never hidden
// ones; extension entries that are not strings count for nothing.
TEST(FSMediaScanner, FileFilter) {
    TempDir dir;
    for (const char* name : {"Song.MP3", "song.mp3", "._song.mp3", ".mp3", "README", "a.flac",
                             "b.Mp3", "c.mp3.txt", "d.", "e.ogg"})
        touch(dir / name);
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
        LoopbackRequest loop;
        auto processor = boost::make_shared<Ostra::MediaProcessor>(loop.request(), 1000);
        Ostra::FSMediaScanner scanner(processor, dir.path(), row.extensions);
        scanner.scanMediaLibrary();
        processor->finish();
        const std::vector<Value> responses = loop.responsesUntilDone();
        std::vector<std::string> paths;
        for (const auto* song : entriesOfType(responses, "song"))
            paths.push_back(str(prop(song, "path")));
        std::sort(paths.begin(), paths.end());
        std::vector<std::string> expected;
        for (const std::string& name : row.names) expected.push_back(dir / name);
        EXPECT_EQ(paths, expected);
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
    touch(dir / "top.mp3");
    touch(dir / "a/b/c/deep.mp3", "");
    touch(dir / "a/b/truncated.mp3", "ID3\x04");
    touch(outside / "target.mp3");
    touch(outside / "linked/inside.mp3");
    fs::create_symlink(outside / "target.mp3", dir / "a/link.mp3");
    fs::create_directory_symlink(outside / "linked", dir / "dirlink");
    fs::create_directory_symlink(dir.path(), dir / "a/loop");
    fs::create_symlink(dir / "missing.mp3", dir / "broken.mp3");
    ASSERT_EQ(0, ::mkfifo((dir / "a/pipe.mp3").c_str(), 0600));
    fs::create_symlink(dir / "a/pipe.mp3", dir / "pipelink.mp3");
    auto result = scan(dir.path(), {"mp3"});
    EXPECT_EQ(result.error, "");
    EXPECT_EQ(result.paths,
              (std::vector<std::string>{dir / "a/b/c/deep.mp3", dir / "a/b/truncated.mp3",
                                        dir / "a/link.mp3", dir / "top.mp3"}));
    const auto songs = entriesOfType(result.responses, "song");
    ASSERT_FALSE(songs.empty());
    for (const auto* song : songs) EXPECT_EQ(prop(song, "title"), nullptr);
    std::map<std::string, std::string> ids;
    for (const auto* song : songs) ids[str(prop(song, "path"))] = str(prop(song, "id"));
    EXPECT_EQ(ids[dir / "a/b/c/deep.mp3"].substr(ids[dir / "a/b/c/deep.mp3"].size() - 10),
              "abcdeepmp3");
    EXPECT_EQ(num(prop(reportOf(result.responses), "uniqueSongCount")), 4);
}

// The start path is trimmed; a relative one gives relative paths; one that
// cannot be walked gives the error and then the report.
TEST(FSMediaScanner, StartPaths) {
    TempDir dir;
    fs::create_directories(dir / "m");
    touch(dir / "m/a.mp3");
    auto trimmed = scan("  " + dir.path() + " \t", {"mp3"});
    EXPECT_EQ(trimmed.paths, (std::vector<std::string>{dir / "m/a.mp3"}));
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    auto relative = scan("m", {"mp3"});
    fs::current_path(before);
    EXPECT_EQ(relative.paths, (std::vector<std::string>{"m/a.mp3"}));

    for (const std::string& start : {dir / "missing", dir / "m/a.mp3", std::string()}) {
        auto result = scan(start, {"mp3"});
        EXPECT_EQ(result.error, "Problem occurred during file system scanning.") << start;
        ASSERT_EQ(result.responses.size(), 2u);
        EXPECT_TRUE(testsupport::isDone(result.responses[0]));
        EXPECT_TRUE(testsupport::isDone(result.responses[1]));
        EXPECT_EQ(num(prop(reportOf(result.responses), "uniqueSongCount")), 0);
    }
}

// Every name is opened relative to its folder's descriptor, so a file whose
// whole path is longer than PATH_MAX is scanned and its tags are read like
// any other's.
TEST(FSMediaScanner, OddNamesLongPathsAndDeepTreesAreWalkedWhole) {
    TempDir dir;
    touch(dir / "bad\xff\xfename.mp3");
    std::string deep = dir.path();
    for (int i = 0; i < 60; ++i) deep += "/level" + std::to_string(i);
    fs::create_directories(deep);
    touch(deep + "/bottom.mp3");
    const std::string source = dir / "source.mp3";
    ASSERT_EQ(0, testsupport::run("ffmpeg -nostdin -loglevel error -y -f lavfi -i "
                                  "sine=duration=1 -metadata title=Beyond '" +
                                  source + "'"));
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
        touch("beyond.mp3", testsupport::readFile(source));
        fs::current_path(before);
    }
    beyond += "/beyond.mp3";
    ASSERT_GT(beyond.size(), static_cast<std::size_t>(PATH_MAX));
    touch(dir / "zzz.mp3");
    auto result = scan(dir.path(), {"mp3"});
    for (const std::string& path :
         {dir / "bad\xff\xfename.mp3", deep + "/bottom.mp3", dir / "zzz.mp3", beyond}) {
        EXPECT_NE(std::find(result.paths.begin(), result.paths.end(), path), result.paths.end())
            << path.size() << " bytes: " << path.substr(0, 100);
    }
    bool titled = false;
    for (const auto* song : entriesOfType(result.responses, "song")) {
        if (str(prop(song, "path")) == beyond) titled = str(prop(song, "title")) == "Beyond";
    }
    EXPECT_TRUE(titled);
    EXPECT_NE(reportOf(result.responses), nullptr);
    // rm walks by descriptor, so it removes what path-based removal cannot reach.
    testsupport::run("rm -rf '" + longDir + "'");
}

// Tags read ahead on several threads reach the processor exactly as a
// sequential walk gives them: same records, same bytes, same order.
std::string encoded(const amf::amf_object& record) {
    std::vector<unsigned char> bytes(amf::get_size(&record));
    EXPECT_TRUE(amf::encode(bytes.data(), bytes.data() + bytes.size(), &record));
    return std::string(bytes.begin(), bytes.end());
}

// Keeps the encoded bytes of every song record, in arrival order.
class Recorder : public Ostra::IMediaProcessor {
  public:
    void processSongObject(amf::amf_object* song) override {
        records.push_back(encoded(*song));
        if (records.size() == signalAt) reached.set_value();
    }
    void processPlaylistObject(amf::amf_object*) override {}
    void finish() override {}
    void error(std::string message) override { errors.push_back(message); }

    std::vector<std::string> records;
    std::vector<std::string> errors;
    std::size_t signalAt = 0;
    std::promise<void> reached;
};

const std::vector<std::string> kExtensions = {"mp3", "m4a", "flac", "ogg"};

class ReadAhead : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tree_ = new TempDir;
        const std::vector<std::pair<std::string, std::string>> sources = {
            {"a.mp3", "-metadata title=Alpha -metadata artist=One -metadata track=3"},
            {"b.m4a", "-metadata title=Beta -metadata album_artist=Two"},
            {"c.flac", "-metadata title=Gamma -metadata date=1999"},
            {"d.ogg", "-metadata title=Delta -metadata genre=Test"},
            {"e.mp3", "-map_metadata -1"}};
        for (const auto& source : sources) {
            const std::string command =
                "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:duration=1 " +
                source.second + " '" + (*tree_ / source.first) + "'";
            ASSERT_EQ(testsupport::run(command), 0) << command;
        }
        testsupport::writeFile(*tree_ / "junk.mp3", std::string(3000, '\x5a'));
        testsupport::writeFile(*tree_ / "empty.m4a", "");
        testsupport::writeFile(*tree_ / "notes.txt", "not audio");
        // A few thousand files over folders of uneven depth.
        const std::vector<std::string> names = {"a.mp3", "b.m4a",    "c.flac",    "d.ogg",
                                                "e.mp3", "junk.mp3", "empty.m4a", "notes.txt"};
        for (int i = 0; i < 3000; ++i) {
            fs::path folder = fs::path(tree_->path()) / "music";
            for (int level = 0; level <= i % 4; ++level)
                folder /= "f" + std::to_string((i / 7 + level) % 9);
            fs::create_directories(folder);
            const std::string& name = names[static_cast<std::size_t>(i) % names.size()];
            fs::create_hard_link(*tree_ / name, folder / (std::to_string(i) + "_" + name));
        }
    }
    static void TearDownTestSuite() {
        delete tree_;
        tree_ = nullptr;
    }
    static std::string music() { return *tree_ / "music"; }
    static TempDir* tree_;
};

TempDir* ReadAhead::tree_ = nullptr;

TEST_F(ReadAhead, RecordsMatchASequentialWalkByteForByte) {
    auto recorder = boost::make_shared<Recorder>();
    amf::amf_ecma_array list = testsupport::stringArray(kExtensions);
    Ostra::util::FileWorkers files(4);
    Ostra::FSMediaScanner scanner(recorder, music(), &list, &files);
    scanner.scanMediaLibrary();
    EXPECT_TRUE(recorder->errors.empty());

    // The sequential reference: the same pre-order walk, one file at a time.
    std::vector<std::string> expected;
    for (fs::recursive_directory_iterator it(music()), end; it != end; ++it) {
        if (!fs::is_regular_file(it->status())) continue;
        const std::string path = it->path().string();
        if (!scanner.filePathHasValidExtension(path)) continue;
        amf::amf_object song;
        song.set_string_property("path", path);
        scanner.fillInSongMetadataFromFile(&song, path);
        expected.push_back(encoded(song));
    }
    ASSERT_EQ(expected.size(), 2625u);
    ASSERT_EQ(recorder->records.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(recorder->records[i], expected[i]) << "record " << i;

    // With one file worker, with a pool of none (every file read on the
    // scanning thread, the benchmark's sequential mode) and with no pool at
    // all, the records are the same.
    Ostra::util::FileWorkers one(1);
    Ostra::util::FileWorkers none(0);
    for (Ostra::util::FileWorkers* readers : {&one, &none, (Ostra::util::FileWorkers*)nullptr}) {
        SCOPED_TRACE(readers == nullptr ? -1 : static_cast<int>(readers->size()));
        auto again = boost::make_shared<Recorder>();
        Ostra::FSMediaScanner rescan(again, music(), &list, readers);
        rescan.scanMediaLibrary();
        EXPECT_TRUE(again->errors.empty());
        EXPECT_TRUE(again->records == recorder->records);
    }
}

TEST_F(ReadAhead, InterruptionEndsTheScanAndItsReaders) {
    auto recorder = boost::make_shared<Recorder>();
    recorder->signalAt = 10;
    std::future<void> reached = recorder->reached.get_future();
    amf::amf_ecma_array list = testsupport::stringArray(kExtensions);
    bool interrupted = false;
    Ostra::util::FileWorkers files(2);
    boost::thread scan([&] {
        Ostra::FSMediaScanner scanner(recorder, music(), &list, &files);
        try {
            scanner.scanMediaLibrary();
        } catch (const boost::thread_interrupted&) {
            interrupted = true;
        }
    });
    reached.wait();
    scan.interrupt();
    scan.join();
    EXPECT_TRUE(interrupted || recorder->records.size() == 2625u);
}

}  // namespace

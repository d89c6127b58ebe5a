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

#include "LoopbackRequest.h"
#include "scan/MediaProcessor.h"
#include "util/PathUtils.h"

namespace {

namespace fs = boost::filesystem;
using scantest::entriesOfType;
using scantest::LoopbackRequest;
using scantest::reportOf;
using testsupport::items;
using testsupport::num;
using testsupport::prop;
using testsupport::str;
using testsupport::TempDir;
using testsupport::Value;
using testsupport::writeFile;

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

TEST(FSMediaScanner, FileFilterLowerCasesTheExtensionAndSkipsHiddenFiles) {
    TempDir dir;
    for (const char* name : {"Song.MP3", "song.mp3", "._song.mp3", ".mp3", "README", "a.flac",
                             "b.Mp3", "c.mp3.txt", "d."})
        touch(dir / name);
    auto result = scan(dir.path(), {"mp3"});
    EXPECT_EQ(result.paths,
              (std::vector<std::string>{dir / "Song.MP3", dir / "b.Mp3", dir / "song.mp3"}));
    EXPECT_EQ(result.error, "");

    EXPECT_TRUE(scan(dir.path(), {"MP3"}).paths.empty());
    EXPECT_TRUE(scan(dir.path(), {".mp3"}).paths.empty());
    EXPECT_TRUE(scan(dir.path(), {}, false).paths.empty());
}

TEST(FSMediaScanner, ExtensionEntriesThatAreNotStringsAreIgnored) {
    TempDir dir;
    touch(dir / "a.mp3");
    touch(dir / "b.ogg");
    LoopbackRequest loop;
    auto processor = boost::make_shared<Ostra::MediaProcessor>(loop.request(), 100);
    amf::amf_ecma_array list = testsupport::stringArray({"ogg"});
    amf::amf_numeric number(3);
    list.set_property("1", &number);
    Ostra::FSMediaScanner scanner(processor, dir.path(), &list);
    EXPECT_TRUE(scanner.isAvailable());
    EXPECT_TRUE(scanner.filePathHasValidExtension("/x/y.OGG"));
    EXPECT_FALSE(scanner.filePathHasValidExtension("/x/y.mp3"));
    EXPECT_FALSE(scanner.filePathHasValidExtension("/x/.ogg"));
    EXPECT_FALSE(scanner.filePathHasValidExtension("/x/ogg"));
}

TEST(FSMediaScanner, WalksTheWholeTreeAndReportsNonAudioFilesWithPathAndId) {
    TempDir dir;
    fs::create_directories(dir / "a/b/c");
    fs::create_directories(dir / "empty");
    touch(dir / "top.mp3");
    touch(dir / "a/one.mp3");
    touch(dir / "a/b/c/deep.mp3", "");
    touch(dir / "a/b/truncated.mp3", "ID3\x04");
    auto result = scan(dir.path(), {"mp3"});
    EXPECT_EQ(result.paths,
              (std::vector<std::string>{dir / "a/b/c/deep.mp3", dir / "a/b/truncated.mp3",
                                        dir / "a/one.mp3", dir / "top.mp3"}));
    for (const auto* song : entriesOfType(result.responses, "song")) {
        std::string id;
        Ostra::util::SongIdFromPath(str(prop(song, "path")), id);
        EXPECT_EQ(str(prop(song, "id")), id);
        EXPECT_EQ(prop(song, "title"), nullptr);
    }
    EXPECT_EQ(num(prop(reportOf(result.responses), "uniqueSongCount")), 4);
}

TEST(FSMediaScanner, FollowsFileLinksButNotDirectoryLinks) {
    TempDir dir;
    TempDir outside;
    fs::create_directories(dir / "music");
    fs::create_directories(outside / "linked");
    touch(outside / "target.mp3");
    touch(outside / "linked/inside.mp3");
    touch(dir / "music/real.mp3");
    fs::create_symlink(outside / "target.mp3", dir / "music/link.mp3");
    fs::create_directory_symlink(outside / "linked", dir / "dirlink");
    fs::create_directory_symlink(dir.path(), dir / "music/loop");
    fs::create_symlink(dir / "missing.mp3", dir / "broken.mp3");
    // Neither a FIFO nor a link to one is read, and neither blocks the walk.
    ASSERT_EQ(0, ::mkfifo((dir / "music/pipe.mp3").c_str(), 0600));
    fs::create_symlink(dir / "music/pipe.mp3", dir / "pipelink.mp3");
    auto result = scan(dir.path(), {"mp3"});
    EXPECT_EQ(result.paths,
              (std::vector<std::string>{dir / "music/link.mp3", dir / "music/real.mp3"}));
    EXPECT_EQ(result.error, "");
}

TEST(FSMediaScanner, StartPathIsTrimmedAndRelativePathsStayRelative) {
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
}

TEST(FSMediaScanner, StartPathThatCannotBeWalkedGivesTheErrorThenTheReport) {
    TempDir dir;
    touch(dir / "file.mp3");
    for (const std::string& start : {dir / "missing", dir / "file.mp3", std::string()}) {
        auto result = scan(start, {"mp3"});
        EXPECT_EQ(result.error, "Problem occurred during file system scanning.") << start;
        ASSERT_EQ(result.responses.size(), 2u);
        EXPECT_TRUE(testsupport::isDone(result.responses[0]));
        EXPECT_TRUE(testsupport::isDone(result.responses[1]));
        const auto* report = reportOf(result.responses);
        ASSERT_NE(report, nullptr);
        EXPECT_EQ(num(prop(report, "uniqueSongCount")), 0);
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

TEST(FSMediaScanner, InterruptionEndsTheWalkBetweenFiles) {
    TempDir dir;
    for (int i = 0; i < 50; ++i) touch(dir / ("f" + std::to_string(i) + ".mp3"));
    LoopbackRequest loop;
    auto processor = boost::make_shared<Ostra::MediaProcessor>(loop.request(), 1);
    amf::amf_ecma_array list = testsupport::stringArray({"mp3"});
    Ostra::FSMediaScanner scanner(processor, dir.path(), &list);
    std::promise<void> go;
    std::shared_future<void> ready = go.get_future().share();
    bool interrupted = false;
    boost::thread worker([&] {
        ready.wait();
        try {
            scanner.scanMediaLibrary();
        } catch (const boost::thread_interrupted&) {
            interrupted = true;
        }
    });
    // Requested before the walk starts, so its first pass between files throws.
    worker.interrupt();
    go.set_value();
    worker.join();
    EXPECT_TRUE(interrupted);
}

}  // namespace

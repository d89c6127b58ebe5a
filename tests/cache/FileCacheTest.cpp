// A helper that remembers what it read answers every file command as one
// that reads afresh, whatever happened to a file since; a cache file it
// cannot use costs one line on standard error and nothing else.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <chrono>
#include <cstdint>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "cache/SqliteCache.h"
#include "lib/sqlite/Database.h"
#include "lib/sqlite/Statement.h"
#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace {

using namespace testsupport;
namespace fs = boost::filesystem;
namespace sqlite = Ostra::sqlite;
namespace cache = Ostra::cache;

// Two MP3s of the same size and length (constant bit rate) whose tags and
// audio differ: a file swapped for the other keeps its size.
const char kAlpha[] =
    "-f lavfi -i sine=frequency=440:duration=4 -c:a libmp3lame -b:a 128k "
    "-metadata title=Alpha -metadata artist=Band -metadata track=1";
const char kBravo[] =
    "-f lavfi -i sine=frequency=660:duration=4 -c:a libmp3lame -b:a 128k "
    "-metadata title=Bravo -metadata artist=Band -metadata track=2";

// The file commands, each over a list or a folder.
struct Command {
    std::string name;
    amf::amf_object arg;
};

std::vector<Command> commands(const std::vector<std::string>& paths, const std::string& folder) {
    const amf::amf_ecma_array list = stringArray(paths);
    std::vector<Command> all(4);
    all[0].name = "extractMetadataFromFiles";
    all[1].name = "audioHash";
    all[2].name = "fingerprints";
    for (int i = 0; i < 3; ++i) all[i].arg.set_property("filePaths", &list);
    const amf::amf_ecma_array types = stringArray({"CMX"});
    all[2].arg.set_property("fingerprintTypes", &types);
    all[3].name = "scanDirectory";
    all[3].arg.set_string_property("startPath", folder);
    const amf::amf_ecma_array extensions = stringArray({"mp3"});
    all[3].arg.set_property("validExtensions", &extensions);
    return all;
}

struct HelperRun {
    std::vector<std::string> answers;  // per command, every response but its "duration"
    std::string err;
};

// One helper with `env`, every command in turn, then an orderly exit (which
// commits what the cache still holds).
HelperRun runHelper(const std::vector<Command>& all, std::vector<std::string> env) {
    HelperRun run;
    TestHost host;
    host.startHelper(env);
    for (const Command& command : all) {
        std::string answer;
        for (const Value& response : host.call(command.name, &command.arg)) {
            const amf::amf0_data_type* data = prop(response, "data");
            answer += (data ? encodeValue(*data) : std::string("no data")) + "|";
        }
        run.answers.push_back(answer);
    }
    EXPECT_EQ(host.quit(), 0);
    run.err = host.helper().err();
    return run;
}

long long statsCount(const std::string& err, const char* what) {
    std::smatch match;
    const std::regex line(std::string("File cache: .*?(\\d+) ") + what);
    return std::regex_search(err, match, line) ? std::stoll(match[1]) : -1;
}

int cacheLines(const std::string& err) {
    int lines = 0;
    for (std::size_t at = err.find("File cache"); at != std::string::npos;
         at = err.find("File cache", at + 1))
        ++lines;
    return lines;
}

struct timespec modified(const std::string& path) {
    struct stat status;
    if (::stat(path.c_str(), &status) != 0) throw std::runtime_error("stat " + path);
    return status.st_mtim;
}

// Gives the file the modification time it had, to the nanosecond.
void setModified(const std::string& path, const struct timespec& time) {
    const struct timespec times[2] = {time, time};
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
        throw std::runtime_error("utimensat " + path);
}

// Sleeps until every path last changed more than the cache's settle time ago.
void waitUntilSettled(const std::vector<std::string>& paths) {
    long long newest = 0;
    for (const std::string& path : paths) {
        struct stat status;
        if (::stat(path.c_str(), &status) != 0) continue;
        for (const struct timespec& t : {status.st_mtim, status.st_ctim})
            newest = std::max(newest, t.tv_sec * 1000000000LL + t.tv_nsec);
    }
    const auto since =
        std::chrono::system_clock::now().time_since_epoch() - std::chrono::nanoseconds(newest);
    const auto wait = std::chrono::milliseconds(2300) - since;
    if (wait.count() > 0) std::this_thread::sleep_for(wait);
}

class FileCacheE2E : public ::testing::Test {
  protected:
    static std::string alpha() { return media::ffmpeg("cache-alpha.mp3", kAlpha); }
    static std::string bravo() { return media::ffmpeg("cache-bravo.mp3", kBravo); }
};

// What happens to a remembered file before the next helper looks at it.
// Every change but the first keeps the size, and all but "touched" keep the
// modification time, as a tag editor that restores it does.
struct Change {
    const char* name;
    void (*apply)(const std::string& file, const std::string& other);
    bool fresh;  // written just before the first helper reads it
};

void writeInPlace(const std::string& file, const std::string& bytes) {
    const struct timespec time = modified(file);
    writeFile(file, bytes);
    setModified(file, time);
}

const Change kChanges[] = {
    {"cut short",
     [](const std::string& f, const std::string&) {
         const struct timespec time = modified(f);
         ASSERT_EQ(::truncate(f.c_str(), static_cast<off_t>(fs::file_size(f) / 2)), 0);
         setModified(f, time);
     },
     false},
    {"retagged to the same size, time put back",
     [](const std::string& f, const std::string& other) { writeInPlace(f, readFile(other)); },
     false},
    {"replaced by a rename",
     [](const std::string& f, const std::string& other) {
         const struct timespec time = modified(f);
         writeFile(f + ".new", readFile(other));
         setModified(f + ".new", time);
         fs::rename(f + ".new", f);
     },
     false},
    {"swapped with a same-size file",
     [](const std::string& f, const std::string& other) {
         setModified(other, modified(f));
         fs::rename(f, f + ".swap");
         fs::rename(other, f);
         fs::rename(f + ".swap", other);
     },
     false},
    {"touched",
     [](const std::string& f, const std::string&) {
         ASSERT_EQ(::utimensat(AT_FDCWD, f.c_str(), nullptr, 0), 0);
     },
     false},
    {"permissions changed",
     [](const std::string& f, const std::string&) { fs::permissions(f, fs::owner_read); }, false},
    {"written just before, changed within the same second",
     [](const std::string& f, const std::string& other) { writeInPlace(f, readFile(other)); },
     true},
};

TEST_F(FileCacheE2E, AFileChangedSinceItWasRememberedIsReadAgain) {
    ASSERT_EQ(fs::file_size(alpha()), fs::file_size(bravo()));
    TempDir work;
    const std::string folder = work / "library";
    fs::create_directories(folder);
    fs::create_directories(work / "others");
    // One file per change and one left alone; the others stay outside the folder.
    std::vector<std::string> paths{folder + "/unchanged.mp3"};
    fs::copy_file(alpha(), paths[0]);
    for (const Change& change : kChanges) {
        const std::string name = std::string(change.name) + ".mp3";
        paths.push_back(folder + "/" + name);
        if (!change.fresh) fs::copy_file(alpha(), paths.back());
        fs::copy_file(bravo(), work / ("others/" + name));
    }
    const std::vector<Command> all = commands(paths, folder);
    const std::string cacheFile = work / "cache/cache.sqlite";
    const std::vector<std::string> cached{"OSTRA_CACHE=" + cacheFile, "OSTRA_CACHE_STATS=1"};

    waitUntilSettled(paths);
    for (std::size_t i = 0; i < std::size(kChanges); ++i)
        if (kChanges[i].fresh) fs::copy_file(alpha(), paths[i + 1]);
    const HelperRun first = runHelper(all, cached);
    EXPECT_GT(statsCount(first.err, "stored"), 0) << first.err;
    for (std::size_t i = 0; i < std::size(kChanges); ++i)
        kChanges[i].apply(paths[i + 1],
                          work / ("others/" + std::string(kChanges[i].name) + ".mp3"));

    const HelperRun again = runHelper(all, cached);
    const HelperRun fresh = runHelper(all, {"OSTRA_CACHE=off"});
    // The unchanged file alone, once per command.
    EXPECT_EQ(statsCount(again.err, "hits"), static_cast<long long>(all.size())) << again.err;
    for (std::size_t i = 0; i < all.size(); ++i) {
        EXPECT_TRUE(again.answers[i] == fresh.answers[i]) << all[i].name;
        EXPECT_FALSE(first.answers[i] == fresh.answers[i]) << all[i].name;
    }
}

// A rescan the cache answers whole sends the bytes of a fresh scan: copies of
// one song in four formats (kept, replaced or dropped), a song without a
// title, a title too long for a short string.
TEST_F(FileCacheE2E, ARescanAnswersAsAFreshScanDuplicatesAndAll) {
    const std::string tone = "-f lavfi -i sine=duration=1 ";
    const std::string same =
        " -metadata title=Same -metadata artist=Band -metadata album=One -metadata track=3";
    const struct {
        const char* name;
        std::string recipe;
    } files[] = {
        {"same.ogg", tone + "-c:a libvorbis" + same},
        {"same.m4a", tone + "-c:a aac" + same},
        {"same.mp3", tone + "-c:a libmp3lame" + same},
        {"same.flac", tone + "-c:a flac" + same},
        {"untitled.mp3", tone + "-c:a libmp3lame -metadata artist=Band"},
        {"long.mp3", tone + "-c:a libmp3lame -metadata title=" + std::string(66000, 'x')},
    };
    TempDir work;
    const std::string folder = work / "library";
    fs::create_directories(folder);
    std::vector<std::string> paths;
    for (const auto& file : files) {
        paths.push_back(folder + "/" + file.name);
        fs::copy_file(media::ffmpeg(std::string("cache-") + file.name, file.recipe), paths.back());
    }
    Command scan = commands({}, folder).back();
    const amf::amf_ecma_array extensions = stringArray({"mp3", "m4a", "flac", "ogg"});
    scan.arg.set_property("validExtensions", &extensions);
    const std::vector<std::string> cached{"OSTRA_CACHE=" + (work / "cache.sqlite"),
                                          "OSTRA_CACHE_STATS=1"};
    waitUntilSettled(paths);
    // The first on a file not made yet: what it read while the file was
    // being made is stored all the same.
    const HelperRun first = runHelper({scan}, cached);
    const HelperRun again = runHelper({scan}, cached);
    const HelperRun fresh = runHelper({scan}, {"OSTRA_CACHE=off"});
    EXPECT_EQ(statsCount(first.err, "stored"), static_cast<long long>(paths.size())) << first.err;
    EXPECT_EQ(statsCount(again.err, "hits"), static_cast<long long>(paths.size())) << again.err;
    EXPECT_TRUE(again.answers[0] == fresh.answers[0]);
    for (const std::string& expected : {std::string("replacement"), std::string("duplicate"),
                                        std::string("\x0c\0\1\1\xd0", 5) + std::string(66000, 'x')})
        EXPECT_NE(fresh.answers[0].find(expected), std::string::npos) << expected.substr(0, 20);
}

// A remembered tag record rewritten in the cache file, as it would be found
// on a disk the helper does not own: each must be read afresh, never sent.
struct Forgery {
    const char* name;
    std::string (*forge)(const std::string& stored);
};

// One field of the record: type, key length, key, then the value.
std::string textField(const std::string& key, const std::string& text) {
    const std::uint32_t n = static_cast<std::uint32_t>(text.size());
    return "t" + std::string(1, static_cast<char>(key.size())) + key +
           std::string{static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff),
                       static_cast<char>((n >> 16) & 0xff), static_cast<char>(n >> 24)} +
           text;
}

const Forgery kForgeries[] = {
    {"cut short", [](const std::string& stored) { return stored.substr(0, stored.size() - 1); }},
    {"of an unknown field type", [](const std::string& stored) { return stored + "x\x01k"; }},
    {"with an empty key, which the wire cannot carry",
     [](const std::string& stored) { return stored + textField("", "E"); }},
    {"with thousands of fields in falling key order",
     [](const std::string& stored) {
         std::string out = stored;
         for (int i = 20000; i > 0; --i) out += textField("k" + std::to_string(i), "");
         return out;
     }},
};

TEST_F(FileCacheE2E, RememberedTagsTheReaderCannotHaveWrittenAreReadAgain) {
    TempDir work;
    const std::string folder = work / "library";
    fs::create_directories(folder);
    const std::vector<std::string> paths{folder + "/a.mp3"};
    fs::copy_file(alpha(), paths[0]);
    const std::vector<Command> all = commands(paths, folder);
    waitUntilSettled(paths);
    const std::vector<std::string> cached{"OSTRA_CACHE=" + (work / "cache.sqlite")};
    runHelper(all, cached);
    const HelperRun fresh = runHelper(all, {"OSTRA_CACHE=off"});
    std::string stored;
    {
        sqlite::Database db(work / "cache.sqlite", SQLITE_OPEN_READWRITE);
        sqlite::Statement select(db, "SELECT value FROM entry WHERE kind = 'tags'");
        ASSERT_TRUE(select.step());
        stored = std::string(select.columnBlob(0));
    }
    for (const Forgery& forgery : kForgeries) {
        SCOPED_TRACE(forgery.name);
        {
            sqlite::Database db(work / "cache.sqlite", SQLITE_OPEN_READWRITE);
            sqlite::Statement update(db, "UPDATE entry SET value = ?1 WHERE kind = 'tags'");
            update.bindBlob(1, forgery.forge(stored));
            update.run();
        }
        const HelperRun got = runHelper(all, cached);
        for (std::size_t i = 0; i < all.size(); ++i)
            EXPECT_TRUE(got.answers[i] == fresh.answers[i]) << all[i].name;
    }
}

// Makes a file or folder read-only: permissions do not stop the superuser,
// the immutable flag does (false where it cannot be set). Undone by unlock.
bool lock(const std::string& path) {
    if (::geteuid() == 0) return run("chattr +i '" + path + "' 2>/dev/null") == 0;
    fs::permissions(path, fs::is_directory(path) ? fs::owner_read | fs::owner_exe : fs::owner_read);
    return true;
}

void unlock(const std::string& path) {
    if (::geteuid() == 0) run("chattr -i '" + path + "' 2>/dev/null");
    if (fs::exists(path)) fs::permissions(path, fs::owner_all);
}

// Makes a cache file of a kind and returns the setting that points a helper
// at it; `held` keeps another process's lock while the helper runs.
struct Trouble {
    const char* name;
    std::string (*make)(const TempDir& work, const std::string& built, sqlite::Database& held);
    int lines;  // expected lines about the cache on standard error
};

const Trouble kTroubles[] = {
    {"where the folder cannot be made",
     [](const TempDir& work, const std::string&, sqlite::Database&) {
         writeFile(work / "plain", "a file, not a folder");
         return "OSTRA_CACHE=" + (work / "plain") + "/ostra/cache.sqlite";
     },
     1},
    // A file not made yet is made beside the first scan; so is its folder.
    {"not made yet, nor its folder, in a folder that cannot be written",
     [](const TempDir& work, const std::string&, sqlite::Database&) {
         fs::create_directories(work / "locked");
         lock(work / "locked");
         return "OSTRA_CACHE=" + (work / "locked") + "/ostra/cache.sqlite";
     },
     1},
    {"damaged",
     [](const TempDir& work, const std::string& built, sqlite::Database&) {
         std::string bytes = readFile(built);
         for (std::size_t i = 100; i < bytes.size(); i += 7) bytes[i] = '\x5a';
         writeFile(work / "cache.sqlite", bytes);
         return "OSTRA_CACHE=" + (work / "cache.sqlite");
     },
     1},
    {"not a database",
     [](const TempDir& work, const std::string&, sqlite::Database&) {
         writeFile(work / "notes.txt", std::string(8192, 'n'));
         return "OSTRA_CACHE=" + (work / "notes.txt");
     },
     1},
    {"another program's database",
     [](const TempDir& work, const std::string&, sqlite::Database&) {
         sqlite::Database other(work / "other.db", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
         other.exec("CREATE TABLE notes(text); INSERT INTO notes VALUES('keep')");
         return "OSTRA_CACHE=" + (work / "other.db");
     },
     1},
    {"read-only",
     [](const TempDir& work, const std::string& built, sqlite::Database&) {
         fs::copy_file(built, work / "cache.sqlite");
         if (!lock(work / "cache.sqlite")) return std::string("OSTRA_CACHE=off");  // untestable
         return "OSTRA_CACHE=" + (work / "cache.sqlite");
     },
     1},
    {"in another user's folder",
     [](const TempDir& work, const std::string&, sqlite::Database&) {
         // Whoever owns the folder could put answers of their own in it.
         fs::create_directories(work / "theirs");
         if (::chown((work / "theirs").c_str(), 65534, 65534) != 0) {
             // Only the superuser can give it away: a row that fails alike.
             writeFile(work / "plain", "a file, not a folder");
             return "OSTRA_CACHE=" + (work / "plain") + "/cache.sqlite";
         }
         fs::permissions(work / "theirs", fs::all_all);
         return "OSTRA_CACHE=" + (work / "theirs") + "/cache.sqlite";
     },
     1},
    {"a device",
     [](const TempDir& work, const std::string&, sqlite::Database&) {
         // A null device of the row's own, so that nothing lands beside /dev/null.
         if (::mknod((work / "null").c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0)
             return std::string("OSTRA_CACHE=/dev/null");
         return "OSTRA_CACHE=" + (work / "null");
     },
     1},
    {"locked by another process",
     [](const TempDir& work, const std::string&, sqlite::Database& held) {
         held = sqlite::Database(work / "cache.sqlite", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
         held.exec("PRAGMA locking_mode = EXCLUSIVE; BEGIN EXCLUSIVE; CREATE TABLE t(x)");
         return "OSTRA_CACHE=" + (work / "cache.sqlite");
     },
     1},
};

TEST_F(FileCacheE2E, ACacheFileThatCannotBeUsedCostsOneLine) {
    TempDir work;
    const std::string folder = work / "library";
    fs::create_directories(folder);
    const std::vector<std::string> paths{folder + "/a.mp3", folder + "/b.mp3"};
    fs::copy_file(alpha(), paths[0]);
    fs::copy_file(bravo(), paths[1]);
    const std::vector<Command> all = commands(paths, folder);
    waitUntilSettled(paths);
    // A cache file that knows the first file, closed cleanly (no log beside
    // it): what the second gives has to be written.
    const std::string built = work / "built/cache.sqlite";
    runHelper(commands({paths[0]}, work / "built"), {"OSTRA_CACHE=" + built});
    ASSERT_TRUE(fs::exists(built));
    ASSERT_FALSE(fs::exists(built + "-wal") && fs::file_size(built + "-wal") > 0);
    const HelperRun fresh = runHelper(all, {"OSTRA_CACHE=off"});

    for (const Trouble& trouble : kTroubles) {
        SCOPED_TRACE(trouble.name);
        TempDir row;
        sqlite::Database held;
        const std::string setting = trouble.make(row, built, held);
        const std::string file = setting.substr(setting.find('=') + 1);
        // Not read while locked: closing any descriptor of the file would
        // release this process's locks on it.
        const std::string before =
            fs::is_regular_file(file) && !held.isOpen() ? readFile(file) : "";
        // Where the cache would be by default: nothing may appear there.
        const HelperRun got =
            runHelper(all, {setting, "XDG_CACHE_HOME=" + (row / "xdg"), "HOME=" + (row / "home")});
        for (std::size_t i = 0; i < all.size(); ++i)
            EXPECT_TRUE(got.answers[i] == fresh.answers[i]) << all[i].name;
        EXPECT_EQ(cacheLines(got.err), trouble.lines) << got.err;
        EXPECT_FALSE(fs::exists(row / "xdg") || fs::exists(row / "home"));
        if (std::string(trouble.name) == "damaged") {
            // Set aside, and a working cache in its place.
            EXPECT_EQ(readFile(file + ".corrupt"), before);
            const HelperRun next = runHelper(all, {setting, "OSTRA_CACHE_STATS=1"});
            EXPECT_GT(statsCount(next.err, "hits"), 0) << next.err;
        } else if (!before.empty()) {
            EXPECT_TRUE(readFile(file) == before) << "the file was changed";
        }
        if (fs::exists(file) && !fs::is_regular_file(file)) {
            // A device or the like is not taken for an empty cache file.
            for (const char* companion : {"-journal", "-wal", "-shm"})
                EXPECT_FALSE(fs::exists(file + companion)) << companion;
        }
        if (fs::is_regular_file(file)) unlock(file);
        unlock(row / "locked");
    }
}

// Helpers started together on a cache file nobody has made yet: each sets it
// up, or finds it set up by another, and none goes without it.
TEST_F(FileCacheE2E, HelpersStartedTogetherShareAFreshCache) {
    TempDir work;
    const amf::amf_ecma_array list = stringArray({alpha()});
    amf::amf_object arg;
    arg.set_property("filePaths", &list);
    // The window is a few milliseconds wide: a few rounds of several.
    for (int round = 0; round < 3; ++round) {
        const std::string setting =
            "OSTRA_CACHE=" + (work / ("cache" + std::to_string(round) + "/cache.sqlite"));
        std::vector<std::unique_ptr<TestHost>> hosts(8);
        for (auto& host : hosts) {
            host = std::make_unique<TestHost>();
            host->startHelper({setting});
        }
        // Back to back, so that the helpers open the file at the same moment.
        for (auto& host : hosts) host->send("extractMetadataFromFiles", 1, &arg);
        for (auto& host : hosts) {
            while (Value response = host->readResponse(std::chrono::seconds(60)))
                if (isDone(response)) break;
            EXPECT_EQ(host->quit(), 0);
            EXPECT_EQ(cacheLines(host->helper().err()), 0) << host->helper().err();
        }
    }
}

// A first scan on a cache file nobody has made yet, stopped however a host
// stops a helper, a few milliseconds in: the file is being made meanwhile.
// The helper ends promptly and cleanly, says nothing about the cache but its
// counts (once), and leaves a file the next helper uses.
TEST_F(FileCacheE2E, AHelperStoppedWhileItMakesTheCacheFileEndsCleanly) {
    TempDir work;
    const std::string folder = work / "library";
    fs::create_directories(folder);
    std::vector<std::string> paths;
    for (int i = 0; i < 200; ++i) {
        paths.push_back(folder + "/" + std::to_string(i) + ".mp3");
        fs::copy_file(alpha(), paths.back());
    }
    waitUntilSettled(paths);
    const Command scan = commands({}, folder).back();
    const struct {
        const char* name;
        void (*stop)(TestHost& host);
    } stops[] = {
        {"QUIT", [](TestHost& host) { host.helper().writeStdin("QUIT\n"); }},
        {"end of input", [](TestHost& host) { host.helper().closeStdin(); }},
        {"SIGTERM", [](TestHost& host) { ::kill(host.helper().pid(), SIGTERM); }},
    };
    int round = 0;
    for (const auto& stop : stops) {
        for (const int ms : {0, 1, 3, 8, 20}) {
            SCOPED_TRACE(std::string(stop.name) + " after " + std::to_string(ms) + " ms");
            const std::string cacheFile = work / ("cache" + std::to_string(round++) + "/c.sqlite");
            const std::vector<std::string> cached{"OSTRA_CACHE=" + cacheFile,
                                                  "OSTRA_CACHE_STATS=1"};
            {
                TestHost host;
                host.startHelper(cached);
                host.send(scan.name, 1, &scan.arg);
                std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                stop.stop(host);
                EXPECT_EQ(host.helper().wait(std::chrono::seconds(10)), 0);
                EXPECT_EQ(cacheLines(host.helper().err()), 1) << host.helper().err();
            }
            const HelperRun next = runHelper({scan}, cached);
            EXPECT_EQ(cacheLines(next.err), 1) << next.err;
            EXPECT_EQ(statsCount(next.err, "hits") + statsCount(next.err, "misses"),
                      static_cast<long long>(paths.size()))
                << next.err;
        }
    }
}

// What the cache is given to keep, each the first value of a cache file
// not made yet.
struct Kept {
    const char* name;
    std::string path, kind, version, value;
    bool kept;  // at most 1 MiB
};

const Kept kKept[] = {
    {"a tag record", "/a.mp3", "tags", "1", "remembered", true},
    {"an empty version, path and value", "", "tags", "", "", true},
    // Past the queue's blocks of 256 KiB.
    {"a value of 1 MiB", "/a.mp3", "tags", "1", std::string(1 << 20, 'v'), true},
    {"a value past 1 MiB", "/a.mp3", "tags", "1", std::string((1 << 20) + 1, 'v'), false},
};

// The cache itself, closed at once after its first use found no file: the
// file is still being made when close() begins. What was stored meanwhile is
// written (or, when the file cannot be made, counted as dropped), the counts
// are said once, and the next cache gives the value back. In a child process whose standard error
// is a file of the test's own.
TEST(SqliteCache, WhatComesWhileItsFileIsMadeIsWrittenOrCountedAsDropped) {
    TempDir work;
    const std::string said = work / "stderr";
    cache::FileIdentity identity;
    identity.settled = true;
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const int fd = ::open(said.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0 || ::dup2(fd, STDERR_FILENO) < 0) ::_exit(2);
        for (std::size_t row = 0; row < std::size(kKept); ++row) {
            const Kept& k = kKept[row];
            cache::CacheSettings settings;
            settings.path = work / ("c" + std::to_string(row) + "/cache.sqlite");
            settings.reportStats = true;
            std::string value;
            bool found = false;
            for (int use = 0; use < 2; ++use) {
                cache::SqliteCache cache(settings);
                found = cache.find(k.path, k.kind, k.version, identity, value);
                if (!found) cache.store(k.path, k.kind, k.version, identity, k.value);
                cache.close(std::chrono::steady_clock::now() + std::chrono::seconds(10));
            }
            if (found != k.kept || (found && value != k.value)) ::_exit(10 + static_cast<int>(row));
        }
        // An entry found whose last use is a day old gets a fresh one, through
        // the queue, which holds no text for it.
        cache::CacheSettings settings;
        settings.path = work / "c0/cache.sqlite";
        sqlite::Database(settings.path, SQLITE_OPEN_READWRITE).exec("UPDATE entry SET used = 0");
        {
            cache::SqliteCache cache(settings);
            std::string value;
            if (!cache.find(kKept[0].path, kKept[0].kind, kKept[0].version, identity, value))
                ::_exit(5);
            cache.close(std::chrono::steady_clock::now() + std::chrono::seconds(10));
        }
        if (sqlite::Database(settings.path, SQLITE_OPEN_READWRITE)
                .queryInt("SELECT min(used) FROM entry") < 1000000000000LL)
            ::_exit(6);
        // A new file that cannot be made, found out slowly (another helper
        // holds the folder while it sets its file up): what was queued
        // meanwhile is counted as dropped, and not kept for the rest of the run.
        fs::create_directories(work / "locked");
        lock(work / "locked");
        const int held = ::open((work / "locked").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (held < 0 || ::flock(held, LOCK_EX) != 0) ::_exit(4);
        settings.path = work / "locked/cache.sqlite";
        settings.reportStats = true;
        {
            cache::SqliteCache cache(settings);
            cache.store("/a.mp3", "tags", "1", identity, "remembered");
            cache.close(std::chrono::steady_clock::now() + std::chrono::seconds(10));
        }
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << (WEXITSTATUS(status) >= 10 ? kKept[WEXITSTATUS(status) - 10].name : "") << " " << status;
    std::string expected;
    for (const Kept& k : kKept)
        expected += k.kept ? "File cache: 0 hits, 1 misses, 1 stored, 0 dropped\n"
                             "File cache: 1 hits, 0 misses, 0 stored, 0 dropped\n"
                           : "File cache: 0 hits, 1 misses, 0 stored, 0 dropped\n"
                             "File cache: 0 hits, 1 misses, 0 stored, 0 dropped\n";
    const std::string locked = work / "locked/cache.sqlite";
    expected += "File cache " + locked + ": cannot open " + locked +
                ": unable to open database file (14); working without it\n"
                "File cache: 0 hits, 0 misses, 0 stored, 1 dropped\n";
    EXPECT_EQ(readFile(said), expected);
    unlock(work / "locked");
}

}  // namespace

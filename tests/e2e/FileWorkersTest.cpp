// The file commands answer exactly as a sequential helper does however many
// file workers read the files: every response of a helper with one worker,
// byte for byte and in order, is what helpers with none and with several
// send, also with requests running at once. The list mixes good and bad files
// and puts slow files between fast ones.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/filesystem.hpp>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/TestHost.h"

namespace {

using namespace testsupport;
namespace fs = boost::filesystem;

struct Source {
    const char* name;
    // ffmpeg arguments; empty for a file written by the test itself.
    const char* encode;
};

const Source kSources[] = {
    {"one.mp3",
     "-f lavfi -i sine=frequency=330:duration=5 -c:a libmp3lame -metadata title=One "
     "-metadata artist=Band -metadata album=First -metadata track=1"},
    {"two.mp3",
     "-f lavfi -i sine=frequency=440:duration=3 -c:a libmp3lame -write_id3v1 1 "
     "-metadata title=Two -metadata artist=Band"},
    {"three.m4a",
     "-f lavfi -i sine=frequency=550:duration=4 -c:a aac -metadata title=Three "
     "-metadata album_artist=Various"},
    {"four.flac", "-f lavfi -i sine=frequency=660:duration=3 -metadata title=Four"},
    {"five.ogg", "-f lavfi -i sine=frequency=770:duration=4 -c:a libvorbis -metadata title=Five"},
    {"six.wav", "-f lavfi -i sine=frequency=880:duration=2 -metadata title=Six"},
    {"seven.m4a", "-f lavfi -i sine=frequency=990:duration=3 -c:a alac -metadata title=Seven"},
    {"bare.mp3", "-f lavfi -i anoisesrc=duration=6:seed=3 -c:a libmp3lame -map_metadata -1"},
    {"junk.mp3", ""},
    {"empty.m4a", ""},
    {"cut.mp3", ""},
    {"text.flac", ""},
    {"folder.mp3", ""},
    {"missing.ogg", ""},
};
// Slow to hash, decode and fingerprint next to the others.
const Source kSlowSources[] = {
    {"slow.mp3", "-f lavfi -i sine=frequency=220:duration=50 -c:a libmp3lame -b:a 320k"},
    {"slow.flac", "-f lavfi -i anoisesrc=duration=30:seed=5 -ac 2"},
};

const int kListLength = 240;
const int kConvertLength = 60;

std::string cacheRoot() {
    return std::string(OSTRA_TEST_CACHE) + "/file-workers-1";
}

// The sources and a list folder of kListLength hard links to them, made once
// per build tree (a run that finds them complete reuses them).
const std::string& cachedFiles() {
    static const std::string root = [] {
        const std::string done = cacheRoot();
        if (fs::exists(done + "/.complete")) return done;
        // Built aside and renamed into place, so that test processes running
        // at once never see half a folder.
        const std::string building = done + ".part-" + std::to_string(::getpid());
        fs::remove_all(building);
        fs::create_directories(building + "/list");
        for (const Source& source : kSources) {
            if (*source.encode == '\0') continue;
            const std::string command = "ffmpeg -nostdin -loglevel error -y " +
                                        std::string(source.encode) + " '" + building + "/" +
                                        source.name + "'";
            if (run(command) != 0) throw std::runtime_error(command);
        }
        for (const Source& source : kSlowSources) {
            const std::string command = "ffmpeg -nostdin -loglevel error -y " +
                                        std::string(source.encode) + " '" + building + "/" +
                                        source.name + "'";
            if (run(command) != 0) throw std::runtime_error(command);
        }
        writeFile(building + "/junk.mp3", std::string(3000, 'Z'));
        writeFile(building + "/empty.m4a", "");
        writeFile(building + "/cut.mp3", readFile(building + "/one.mp3").substr(0, 2000));
        writeFile(building + "/text.flac", "not audio");
        writeFile(building + "/.complete", "");
        boost::system::error_code error;
        fs::rename(building, done, error);
        if (error) fs::remove_all(building);
        return done;
    }();
    return root;
}

// The name of list entry i: slow files every 20 entries, the others in turn.
std::string entryName(int i) {
    const std::size_t count = sizeof(kSources) / sizeof(kSources[0]);
    if (i % 20 == 7) return kSlowSources[(i / 20) % 2].name;
    return kSources[static_cast<std::size_t>(i) % count].name;
}

// Links the first `count` entries into `dir` as "<i>_<name>": a folder for
// folder.mp3, nothing for missing.ogg.
std::vector<std::string> linkList(const std::string& dir, int count) {
    const std::string& sources = cachedFiles();
    std::vector<std::string> paths;
    fs::create_directories(dir);
    for (int i = 0; i < count; ++i) {
        const std::string name = entryName(i);
        const std::string path = dir + "/" + std::to_string(i) + "_" + name;
        paths.push_back(path);
        if (fs::exists(path) || name == "missing.ogg") continue;
        if (name == "folder.mp3") {
            fs::create_directory(path);
        } else {
            fs::create_hard_link(sources + "/" + name, path);
        }
    }
    return paths;
}

// The conversion list: kConvertLength entries, then a slow and a fast file
// that both write "same.wav", which must end up holding the later one.
std::vector<std::string> conversionList(const std::string& dir) {
    std::vector<std::string> paths = linkList(dir, kConvertLength);
    for (const char* name : {"slow.mp3", "four.flac"}) {
        const std::string path = dir + "/same" + fs::path(name).extension().string();
        if (!fs::exists(path)) fs::create_hard_link(cachedFiles() + "/" + name, path);
        paths.push_back(path);
    }
    return paths;
}

// The paths, with a number in place of every 50th one.
amf::amf_ecma_array pathArray(const std::vector<std::string>& paths) {
    amf::amf_ecma_array array;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (i % 50 == 49) {
            amf::amf_numeric number(static_cast<double>(i));
            array.push_back(&number);
        } else {
            amf::amf_string text(paths[i]);
            array.push_back(&text);
        }
    }
    return array;
}

struct Row {
    std::string name;
    std::string command;
    amf::amf_object arg;
};

std::vector<Row> rows(const std::string& listDir, const std::vector<std::string>& paths,
                      const std::string& convertDir) {
    std::vector<Row> table(6);
    const amf::amf_ecma_array list = pathArray(paths);
    auto listRow = [&](Row& row, const char* name, const char* command, double batchSize) {
        row.name = name;
        row.command = command;
        row.arg.set_property("filePaths", &list);
        row.arg.set_numeric_property("batchSize", batchSize);
    };
    // Error entries ride along with the next success.
    listRow(table[0], "hash in sevens", "audioHash", 7);
    listRow(table[1], "hash one by one", "audioHash", 1);
    listRow(table[2], "tags in fives", "extractMetadataFromFiles", 5);
    listRow(table[3], "fingerprints in fours", "fingerprints", 4);
    const amf::amf_ecma_array types = stringArray({"MICRO", "NANO", "CMX"});
    table[3].arg.set_property("fingerprintTypes", &types);
    table[4].name = "scan in tens";
    table[4].command = "scanDirectory";
    table[4].arg.set_string_property("startPath", listDir);
    const amf::amf_ecma_array extensions = stringArray({"mp3", "m4a", "flac", "ogg", "wav"});
    table[4].arg.set_property("validExtensions", &extensions);
    table[4].arg.set_numeric_property("batchSize", 10);
    table[5].name = "conversion";
    table[5].command = "convertToWav";
    const amf::amf_ecma_array toConvert = pathArray(conversionList(convertDir));
    table[5].arg.set_property("filePaths", &toConvert);
    return table;
}

// A response without its "duration", which is the one field that may differ.
std::string withoutDuration(const Value& response) {
    const amf::amf0_data_type* data = prop(response, "data");
    return (data ? encodeValue(*data) : std::string("no data")) +
           (isDone(response) ? " (done)" : "");
}

// Sends every request at once and collects each one's responses by id.
std::map<double, std::vector<std::string>> sendAll(
    TestHost& host, const std::vector<std::pair<const Row*, double>>& requests) {
    std::map<double, std::vector<std::string>> answers;
    for (const auto& request : requests)
        host.send(request.first->command, request.second, &request.first->arg);
    std::set<double> pending;
    for (const auto& request : requests) pending.insert(request.second);
    while (!pending.empty()) {
        Value response = host.readResponse(std::chrono::seconds(300));
        if (!response) {
            ADD_FAILURE() << pending.size() << " requests unanswered:\n" << host.helper().err();
            break;
        }
        const double id = num(prop(response, "id"));
        answers[id].push_back(withoutDuration(response));
        if (isDone(response)) pending.erase(id);
    }
    return answers;
}

// The converted files of a folder, by name, and whether a temporary file
// was left; removes the WAV files.
std::map<std::string, std::string> takeWavFiles(const std::string& dir, bool& temporaryLeft) {
    std::map<std::string, std::string> files;
    for (fs::directory_iterator it(dir), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        if (name.rfind(".ostra-wav-", 0) == 0) temporaryLeft = true;
        if (it->path().extension() != ".wav" || name.find("_six.wav") != std::string::npos)
            continue;
        files[name] = readFile(it->path().string());
        fs::remove(it->path());
    }
    return files;
}

TEST(FileWorkersE2E, EveryResponseIsTheOneWorkerResponse) {
    const std::string listDir = cacheRoot() + "/list";
    const std::vector<std::string> paths = linkList(listDir, kListLength);
    TempDir converted;
    const std::vector<Row> table = rows(listDir, paths, converted / "a");
    // The same files under the same names in a second folder, for a second
    // conversion running beside the first.
    Row otherConversion = table[5];
    const amf::amf_ecma_array otherList = pathArray(conversionList(converted / "b"));
    otherConversion.arg.set_property("filePaths", &otherList);

    std::map<std::string, std::vector<std::string>> expected;
    std::map<std::string, std::string> expectedWav;
    {
        TestHost host;
        host.startHelper({"OSTRA_FILE_WORKERS=1"});
        double id = 0;
        for (const Row& row : table) {
            expected[row.name] = sendAll(host, {{&row, ++id}})[id];
            ASSERT_GE(expected[row.name].size(), 1u) << row.name;
        }
        EXPECT_EQ(host.quit(), 0);
        bool temporaryLeft = false;
        expectedWav = takeWavFiles(converted / "a", temporaryLeft);
        EXPECT_FALSE(temporaryLeft);
        ASSERT_GT(expectedWav.size(), 20u);
    }
    // Several lists at once, each list twice (two conversions of distinct
    // files), so that requests share the workers.
    for (const char* workers : {"0", "2", "5"}) {
        SCOPED_TRACE(std::string("workers: ") + workers);
        TestHost host;
        host.startHelper({std::string("OSTRA_FILE_WORKERS=") + workers});
        std::vector<std::pair<const Row*, double>> requests;
        double id = 0;
        for (const Row& row : table) {
            requests.push_back({&row, ++id});
            requests.push_back({row.command == "convertToWav" ? &otherConversion : &row, ++id});
        }
        std::map<double, std::vector<std::string>> answers = sendAll(host, requests);
        EXPECT_EQ(host.quit(), 0);
        for (const auto& request : requests) {
            const std::vector<std::string>& got = answers[request.second];
            const std::vector<std::string>& want = expected[request.first->name];
            ASSERT_EQ(got.size(), want.size()) << request.first->name << " " << request.second;
            for (std::size_t i = 0; i < want.size(); ++i)
                EXPECT_TRUE(got[i] == want[i]) << request.first->name << ", response " << i;
        }
        for (const std::string& dir : {converted / "a", converted / "b"}) {
            bool temporaryLeft = false;
            EXPECT_TRUE(takeWavFiles(dir, temporaryLeft) == expectedWav) << dir;
            EXPECT_FALSE(temporaryLeft) << dir;
        }
    }
}

}  // namespace

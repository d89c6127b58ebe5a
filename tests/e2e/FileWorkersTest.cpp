// Every response of a helper with one file worker, byte for byte and in
// order, is what helpers with none and with several send, with requests
// running at once, for a list of good and bad files with slow ones between.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace {

using namespace testsupport;
namespace fs = boost::filesystem;

// Name and ffmpeg arguments (none: written by the test).
const std::pair<const char*, const char*> kSources[] = {
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
    // Slow to hash, decode and fingerprint next to the others; not in turn.
    {"slow.mp3", "-f lavfi -i sine=frequency=220:duration=20 -c:a libmp3lame -b:a 320k"},
    {"slow.flac", "-f lavfi -i anoisesrc=duration=12:seed=5 -ac 2"},
};
const std::size_t kInTurn = 14;
const int kListLength = 80;
const int kConvertLength = 24;

// The generated source `name`, kept in the build tree.
std::string generated(const std::string& name) {
    for (const auto& source : kSources)
        if (name == source.first) return media::ffmpeg(name, source.second);
    return "";
}

// The first `count` entries linked into `dir` as "<i>_<name>", a slow one
// every 16: folder.mp3 a folder, missing.ogg nothing.
std::vector<std::string> linkList(const std::string& dir, int count) {
    std::vector<std::string> paths;
    fs::create_directories(dir);
    for (int i = 0; i < count; ++i) {
        const auto& source =
            kSources[i % 16 == 7 ? kInTurn + (i / 16) % 2 : static_cast<std::size_t>(i) % kInTurn];
        const std::string name = source.first;
        paths.push_back(dir + "/" + std::to_string(i) + "_" + name);
        if (name == "folder.mp3") fs::create_directory(paths.back());
        if (*source.second != '\0') fs::create_hard_link(generated(name), paths.back());
        if (name == "junk.mp3") writeFile(paths.back(), std::string(3000, 'Z'));
        if (name == "empty.m4a") writeFile(paths.back(), "");
        if (name == "text.flac") writeFile(paths.back(), "not audio");
        if (name == "cut.mp3")
            writeFile(paths.back(), readFile(generated("one.mp3")).substr(0, 2000));
    }
    return paths;
}

// Then a slow and a fast file both writing "same.wav": the later one wins.
std::vector<std::string> conversionList(const std::string& dir) {
    std::vector<std::string> paths = linkList(dir, kConvertLength);
    for (const char* name : {"slow.mp3", "four.flac"}) {
        paths.push_back(dir + "/same" + fs::path(name).extension().string());
        fs::create_hard_link(generated(name), paths.back());
    }
    return paths;
}

// The paths, with a number in place of every 25th one.
amf::amf_ecma_array pathArray(const std::vector<std::string>& paths) {
    amf::amf_ecma_array array;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        if (i % 25 == 24) {
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

std::vector<Row> rows(const std::string& listDir, const std::string& convertDir) {
    const amf::amf_ecma_array list = pathArray(linkList(listDir, kListLength));
    const amf::amf_ecma_array types = stringArray({"MICRO", "NANO", "CMX"});
    const amf::amf_ecma_array extensions = stringArray({"mp3", "m4a", "flac", "ogg", "wav"});
    const amf::amf_ecma_array toConvert = pathArray(conversionList(convertDir));
    // Error entries ride along with the next success.
    std::vector<Row> table = {{"hash in sevens", "audioHash", {}},
                              {"hash one by one", "audioHash", {}},
                              {"tags in fives", "extractMetadataFromFiles", {}},
                              {"fingerprints in fours", "fingerprints", {}},
                              {"scan in tens", "scanDirectory", {}},
                              {"conversion", "convertToWav", {}}};
    const double batchSizes[] = {7, 1, 5, 4, 10};
    for (std::size_t i = 0; i < 5; ++i) {
        table[i].arg.set_numeric_property("batchSize", batchSizes[i]);
        if (i < 4) table[i].arg.set_property("filePaths", &list);
    }
    table[3].arg.set_property("fingerprintTypes", &types);
    table[4].arg.set_string_property("startPath", listDir);
    table[4].arg.set_property("validExtensions", &extensions);
    table[5].arg.set_property("filePaths", &toConvert);
    return table;
}

// Sends every request at once; each one's responses by id, without "duration".
std::map<double, std::vector<std::string>> sendAll(
    TestHost& host, const std::vector<std::pair<const Row*, double>>& requests) {
    std::map<double, std::vector<std::string>> answers;
    std::set<double> pending;
    for (const auto& request : requests) {
        host.send(request.first->command, request.second, &request.first->arg);
        pending.insert(request.second);
    }
    while (!pending.empty()) {
        Value response = host.readResponse(std::chrono::seconds(300));
        if (!response) {
            ADD_FAILURE() << pending.size() << " requests unanswered:\n" << host.helper().err();
            break;
        }
        const double id = num(prop(response, "id"));
        const amf::amf0_data_type* data = prop(response, "data");
        answers[id].push_back((data ? encodeValue(*data) : std::string("no data")) +
                              (isDone(response) ? " (done)" : ""));
        if (isDone(response)) pending.erase(id);
    }
    return answers;
}

// Takes the converted files of a folder by name; notes a temporary one left.
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
    TempDir converted;
    const std::vector<Row> table = rows(converted / "list", converted / "a");
    // A second conversion of the same files in another folder, beside the first.
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
        ASSERT_GT(expectedWav.size(), 10u);
    }
    // Every request twice at once, so that they share the workers.
    for (const char* workers : {"0", "3"}) {
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

// Every response of a helper with one file worker, byte for byte and in
// order, is what helpers with none and with several send, with requests
// running at once, for a list of good and bad files with slow ones between.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace {

using namespace testsupport;
namespace fs = boost::filesystem;

// Name, and ffmpeg arguments or (after "=") the bytes the test writes.
const std::pair<const char*, std::string> kSources[] = {
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
    {"junk.mp3", "=" + std::string(3000, 'Z')},
    {"empty.m4a", "="},
    {"text.flac", "=not audio"},
    {"cut.mp3", "-f lavfi -i sine=frequency=330:duration=5 -c:a libmp3lame -fs 2000"},
    {"folder.mp3", ""},
    {"missing.ogg", ""},
    // Slow to hash, decode and fingerprint next to the others; not in turn.
    {"slow.mp3", "-f lavfi -i sine=frequency=220:duration=20 -c:a libmp3lame -b:a 320k"},
    {"slow.flac", "-f lavfi -i anoisesrc=duration=12:seed=5 -ac 2"},
};
const std::size_t kInTurn = 14;

// The sources as "<i>_<name>" in dir, a slow one every 16 and a number in
// place of every 25th path, then a slow and a fast file both writing
// "same.wav", where the later one must win.
amf::amf_ecma_array linkList(const std::string& dir, int count, bool same = false) {
    fs::create_directories(dir);
    amf::amf_ecma_array array;
    for (int i = 0; i < count + (same ? 2 : 0); ++i) {
        const auto& source = i >= count    ? kSources[i == count ? kInTurn : 3]
                             : i % 16 == 7 ? kSources[kInTurn + (i / 16) % 2]
                                           : kSources[static_cast<std::size_t>(i) % kInTurn];
        const std::string name = source.first;
        const std::string path = dir + "/" +
                                 (i >= count ? "same" + fs::path(name).extension().string()
                                             : std::to_string(i) + "_" + name);
        if (name == "folder.mp3") fs::create_directory(path);
        if (source.second[0] == '=') writeFile(path, source.second.substr(1));
        if (source.second[0] == '-') fs::create_hard_link(media::ffmpeg(name, source.second), path);
        if (i < count && i % 25 == 24) {
            array.push_back(std::make_unique<amf::amf_numeric>(i).get());
        } else {
            amf::amf_string text(path);
            array.push_back(&text);
        }
    }
    return array;
}

struct Row {
    std::string command;
    amf::amf_object arg;
};

// Sends every request at once; each one's responses by id, without "duration".
std::map<double, std::vector<std::string>> sendAll(
    TestHost& host, const std::vector<std::pair<const Row*, double>>& requests) {
    std::map<double, std::vector<std::string>> answers;
    std::size_t pending = requests.size();
    for (const auto& request : requests)
        host.send(request.first->command, request.second, &request.first->arg);
    while (pending > 0) {
        Value response = host.readResponse(std::chrono::seconds(300));
        if (!response) {
            ADD_FAILURE() << pending << " requests unanswered:\n" << host.helper().err();
            break;
        }
        const amf::amf0_data_type* data = prop(response, "data");
        answers[num(prop(response, "id"))].push_back(
            (data ? encodeValue(*data) : std::string("no data")) +
            (isDone(response) ? " (done)" : ""));
        if (isDone(response)) --pending;
    }
    return answers;
}

// Takes the converted files of a folder by name; a temporary one left fails.
std::map<std::string, std::string> takeWavFiles(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (fs::directory_iterator it(dir), end; it != end; ++it) {
        const std::string name = it->path().filename().string();
        EXPECT_NE(name.rfind(".ostra-wav-", 0), 0u) << name;
        if (it->path().extension() != ".wav" || name.find("_six.wav") != std::string::npos)
            continue;
        files[name] = readFile(it->path().string());
        fs::remove(it->path());
    }
    return files;
}

TEST(FileWorkersE2E, EveryResponseIsTheOneWorkerResponse) {
    TempDir dir;
    const amf::amf_ecma_array list = linkList(dir / "list", 80);
    const amf::amf_ecma_array extensions = stringArray({"mp3", "m4a", "flac", "ogg", "wav"});
    const amf::amf_ecma_array types = stringArray({"MICRO", "NANO", "CMX"});
    // Error entries ride along with the next success.
    std::vector<Row> table = {
        {"audioHash", {}},    {"audioHash", {}},     {"extractMetadataFromFiles", {}},
        {"fingerprints", {}}, {"scanDirectory", {}}, {"convertToWav", {}},
        {"convertToWav", {}}};
    const double batchSizes[] = {7, 1, 5, 4, 10};
    for (std::size_t i = 0; i < 5; ++i) {
        table[i].arg.set_numeric_property("batchSize", batchSizes[i]);
        if (i < 4) table[i].arg.set_property("filePaths", &list);
    }
    table[3].arg.set_property("fingerprintTypes", &types);
    table[4].arg.set_string_property("startPath", dir / "list");
    table[4].arg.set_property("validExtensions", &extensions);
    // A second conversion of the same files in another folder, beside the first.
    for (const char* sub : {"a", "b"}) {
        const amf::amf_ecma_array files = linkList(dir / sub, 24, true);
        table[*sub == 'a' ? 5 : 6].arg.set_property("filePaths", &files);
    }

    std::vector<std::vector<std::string>> expected;
    TestHost one;
    one.startHelper({"OSTRA_FILE_WORKERS=1"});
    for (std::size_t i = 0; i < 6; ++i)
        expected.push_back(sendAll(one, {{&table[i], 1.0 + i}})[1.0 + i]);
    EXPECT_EQ(one.quit(), 0);
    for (const auto& responses : expected) ASSERT_FALSE(responses.empty());
    const std::map<std::string, std::string> expectedWav = takeWavFiles(dir / "a");
    ASSERT_GT(expectedWav.size(), 10u);
    // Every request twice at once, so that they share the workers.
    for (const char* workers : {"0", "3"}) {
        SCOPED_TRACE(std::string("workers: ") + workers);
        TestHost host;
        host.startHelper({std::string("OSTRA_FILE_WORKERS=") + workers});
        std::vector<std::pair<const Row*, double>> requests;
        for (std::size_t i = 0; i < 12; ++i) requests.push_back({&table[i / 2 + (i == 11)], i});
        std::map<double, std::vector<std::string>> answers = sendAll(host, requests);
        EXPECT_EQ(host.quit(), 0);
        for (const auto& request : requests) {
            const std::vector<std::string>& want =
                expected[std::min<std::size_t>(request.second / 2, 5)];
            EXPECT_TRUE(answers[request.second] == want)
                << request.first->command << " " << request.second;
        }
        for (const std::string& sub : {dir / "a", dir / "b"})
            EXPECT_TRUE(takeWavFiles(sub) == expectedWav) << sub;
    }
}

}  // namespace

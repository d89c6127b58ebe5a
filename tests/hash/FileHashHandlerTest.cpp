// "audioHash" end to end: the real helper binary over real TCP.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "HashTestSupport.h"
#include "hash/FileHashHandler.h"
#include "support/TestHost.h"

namespace {

using testsupport::isDone;
using testsupport::items;
using testsupport::prop;
using testsupport::Value;

const std::string kError = "error: couldn't get hash for file";

// One line per response: "data: <entries>" or "count: N", then " (done)" on
// the last. A hashed file reads "<path>=<hash>", an error entry "error".
std::string describe(const Value& response) {
    const amf::amf0_data_type* data = prop(response, "data");
    std::string text;
    if (data && data->get_type() == amf::AMF_ECMA_ARRAY) {
        text = "data:";
        for (const amf::amf0_data_type* entry : items(data)) {
            if (entry->get_type() == amf::AMF_STRING) {
                text +=
                    testsupport::str(entry) == kError ? " error" : " ?" + testsupport::str(entry);
            } else {
                text += " " + testsupport::str(prop(entry, "path")) + "=" +
                        testsupport::str(prop(entry, "hash"));
            }
        }
    } else if (data && data->get_type() == amf::AMF_OBJECT) {
        text = "count: " + std::to_string(static_cast<long>(testsupport::num(prop(data, "count"))));
    } else {
        text = "unexpected: " + (data ? data->to_string() : std::string("no data"));
    }
    if (isDone(response)) text += " (done)";
    return text;
}

std::vector<std::string> describe(const std::vector<Value>& responses) {
    std::vector<std::string> lines;
    for (const auto& response : responses) lines.push_back(describe(response));
    return lines;
}

class AudioHashCommand : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        dir = new testsupport::TempDir();
        ASSERT_TRUE(hashtest::ffmpeg(
            "-f lavfi -i sine=frequency=440:duration=2 -c:a libmp3lame -metadata title=A "
            "-write_id3v1 1",
            *dir / "a.mp3"));
        ASSERT_TRUE(
            hashtest::ffmpeg("-f lavfi -i sine=frequency=880:duration=2 -c:a aac -metadata title=B",
                             *dir / "b.m4a"));
        testsupport::writeFile(*dir / "C.MP3", hashtest::id3v2Tag("C", 100) +
                                                   hashtest::noiseBytes(80000, 1) +
                                                   hashtest::id3v1Block("C"));
        testsupport::writeFile(*dir / "d.mp3", hashtest::noiseBytes(1000, 2));
        testsupport::writeFile(*dir / "e.txt", "not audio");
        testsupport::writeFile(*dir / "f.flac", "fLaC");
        testsupport::writeFile(*dir / "broken.m4a", "no boxes at all");
    }
    static void TearDownTestSuite() {
        delete dir;
        dir = nullptr;
    }

    void SetUp() override { host.startHelper(); }

    static std::string path(const std::string& name) { return *dir / name; }
    // "<path>=<expected hash>", the hash worked out by the test's own cut.
    static std::string entry(const std::string& name) {
        const std::string bytes = testsupport::readFile(path(name));
        const bool m4a = name.size() > 4 && (name.substr(name.size() - 4) == ".m4a");
        const std::string payload = m4a ? hashtest::m4aPayload(bytes) : hashtest::mp3Payload(bytes);
        return path(name) + "=" + hashtest::sha1Hex(payload);
    }

    std::vector<std::string> call(const std::vector<std::string>& names, double batchSize) {
        std::vector<std::string> paths;
        for (const auto& name : names) paths.push_back(path(name));
        amf::amf_ecma_array list = testsupport::stringArray(paths);
        amf::amf_object arg;
        arg.set_property("filePaths", &list);
        arg.set_numeric_property("batchSize", batchSize);
        return describe(host.call("audioHash", &arg));
    }

    static testsupport::TempDir* dir;
    testsupport::TestHost host;
};

testsupport::TempDir* AudioHashCommand::dir = nullptr;

TEST_F(AudioHashCommand, HashesEachFileInOneBatch) {
    EXPECT_EQ((std::vector<std::string>{
                  "data: " + entry("a.mp3") + " " + entry("b.m4a") + " " + entry("C.MP3"),
                  "count: 3 (done)"}),
              call({"a.mp3", "b.m4a", "C.MP3"}, 10));
}

TEST_F(AudioHashCommand, ErrorEntriesWaitForTheNextSuccess) {
    EXPECT_EQ((std::vector<std::string>{"data: " + entry("a.mp3") + " error " + entry("C.MP3"),
                                        "data: " + entry("d.mp3"), "count: 3 (done)"}),
              call({"a.mp3", "e.txt", "C.MP3", "d.mp3"}, 2));
}

TEST_F(AudioHashCommand, EveryKindOfFailureIsAnErrorEntry) {
    EXPECT_EQ((std::vector<std::string>{"data: error error " + entry("d.mp3"), "data: error error",
                                        "count: 1 (done)"}),
              call({"f.flac", "missing.mp3", "d.mp3", "broken.m4a", "noextension"}, 1));
}

TEST_F(AudioHashCommand, OnlyErrorsGoOutAsOneLastBatch) {
    EXPECT_EQ((std::vector<std::string>{"data: error error", "count: 0 (done)"}),
              call({"e.txt", "f.flac"}, 1));
}

TEST_F(AudioHashCommand, BatchSizeOneSendsEverySuccessAlone) {
    const std::vector<std::string> expected{"data: " + entry("a.mp3"), "data: " + entry("d.mp3"),
                                            "count: 2 (done)"};
    for (double batchSize : {1.0, 0.0, -3.0, 0.5, 1.9}) {
        EXPECT_EQ(expected, call({"a.mp3", "d.mp3"}, batchSize)) << batchSize;
    }
}

TEST_F(AudioHashCommand, FractionalBatchSizesTruncate) {
    EXPECT_EQ((std::vector<std::string>{"data: " + entry("a.mp3") + " " + entry("d.mp3"),
                                        "data: " + entry("C.MP3"), "count: 3 (done)"}),
              call({"a.mp3", "d.mp3", "C.MP3"}, 2.9));
}

TEST_F(AudioHashCommand, HugeBatchSizesKeepEverythingForOneMessage) {
    for (double batchSize : {4294967295.0, 1e15, 1e300}) {
        EXPECT_EQ((std::vector<std::string>{"data: " + entry("a.mp3") + " " + entry("d.mp3"),
                                            "count: 2 (done)"}),
                  call({"a.mp3", "d.mp3"}, batchSize))
            << batchSize;
    }
}

TEST_F(AudioHashCommand, MissingOrMistypedBatchSizeMeansOne) {
    amf::amf_ecma_array list = testsupport::stringArray({path("a.mp3"), path("d.mp3")});
    const std::vector<std::string> expected{"data: " + entry("a.mp3"), "data: " + entry("d.mp3"),
                                            "count: 2 (done)"};
    amf::amf_object arg;
    arg.set_property("filePaths", &list);
    EXPECT_EQ(expected, describe(host.call("audioHash", &arg)));
    arg.set_string_property("batchSize", "5");
    EXPECT_EQ(expected, describe(host.call("audioHash", &arg)));
}

TEST_F(AudioHashCommand, TheListEndsAtTheFirstMissingIndex) {
    amf::amf_ecma_array list;
    list.set_string_property("0", path("a.mp3"));
    list.set_string_property("1", path("d.mp3"));
    list.set_string_property("3", path("C.MP3"));
    amf::amf_object arg;
    arg.set_property("filePaths", &list);
    arg.set_numeric_property("batchSize", 10);
    EXPECT_EQ((std::vector<std::string>{"data: " + entry("a.mp3") + " " + entry("d.mp3"),
                                        "count: 2 (done)"}),
              describe(host.call("audioHash", &arg)));
}

TEST_F(AudioHashCommand, NonStringEntriesAreSkippedSilently) {
    amf::amf_ecma_array list;
    list.set_string_property("0", path("a.mp3"));
    list.set_numeric_property("1", 42);
    list.set_bool_property("2", true);
    list.set_string_property("3", path("d.mp3"));
    amf::amf_object arg;
    arg.set_property("filePaths", &list);
    arg.set_numeric_property("batchSize", 10);
    EXPECT_EQ((std::vector<std::string>{"data: " + entry("a.mp3") + " " + entry("d.mp3"),
                                        "count: 2 (done)"}),
              describe(host.call("audioHash", &arg)));
}

TEST_F(AudioHashCommand, MalformedParametersGiveOneEmptyFinalMessage) {
    const std::vector<std::string> empty{"data: (done)"};
    EXPECT_EQ(empty, describe(host.call("audioHash")));
    amf::amf_string text("not an object");
    EXPECT_EQ(empty, describe(host.call("audioHash", &text)));
    amf::amf_object arg;
    arg.set_numeric_property("batchSize", 3);
    EXPECT_EQ(empty, describe(host.call("audioHash", &arg)));
    arg.set_string_property("filePaths", path("a.mp3"));
    EXPECT_EQ(empty, describe(host.call("audioHash", &arg)));
    amf::amf_object notAnArray;
    notAnArray.set_string_property("0", path("a.mp3"));
    arg.set_property("filePaths", &notAnArray);
    EXPECT_EQ(empty, describe(host.call("audioHash", &arg)));
}

TEST_F(AudioHashCommand, AnEmptyListGivesACountOfZero) {
    EXPECT_EQ((std::vector<std::string>{"count: 0 (done)"}), call({}, 5));
}

TEST_F(AudioHashCommand, PathsComeBackExactlyAsSent) {
    const std::string odd = path("./C.MP3");
    amf::amf_ecma_array list = testsupport::stringArray({odd});
    amf::amf_object arg;
    arg.set_property("filePaths", &list);
    auto responses = host.call("audioHash", &arg);
    ASSERT_EQ(2u, responses.size());
    auto entries = items(prop(responses[0], "data"));
    ASSERT_EQ(1u, entries.size());
    EXPECT_EQ(odd, testsupport::str(prop(entries[0], "path")));
}

TEST_F(AudioHashCommand, ParallelRequestsEachGetTheirOwnAnswers) {
    amf::amf_ecma_array first = testsupport::stringArray({path("a.mp3"), path("C.MP3")});
    amf::amf_ecma_array second = testsupport::stringArray({path("b.m4a"), path("e.txt")});
    amf::amf_object arg1, arg2;
    arg1.set_property("filePaths", &first);
    arg1.set_numeric_property("batchSize", 1);
    arg2.set_property("filePaths", &second);
    arg2.set_numeric_property("batchSize", 1);
    host.send("audioHash", 101, &arg1);
    host.send("audioHash", 102, &arg2);
    std::map<long, std::vector<std::string>> byId;
    int done = 0;
    while (done < 2) {
        Value response = host.readResponse();
        ASSERT_TRUE(response);
        if (isDone(response)) ++done;
        byId[static_cast<long>(testsupport::num(prop(response, "id")))].push_back(
            describe(response));
    }
    EXPECT_EQ((std::vector<std::string>{"data: " + entry("a.mp3"), "data: " + entry("C.MP3"),
                                        "count: 2 (done)"}),
              byId[101]);
    EXPECT_EQ(
        (std::vector<std::string>{"data: " + entry("b.m4a"), "data: error", "count: 1 (done)"}),
        byId[102]);
}

TEST_F(AudioHashCommand, QuitDoesNotWaitForAHugeFile) {
    // A sparse terabyte would take many minutes to hash; the hash loop's
    // interruption point lets the helper stop in the middle of it.
    const std::string huge = path("huge.mp3");
    ASSERT_EQ(0, testsupport::run("truncate -s 1T '" + huge + "'"));
    amf::amf_ecma_array list = testsupport::stringArray({huge});
    amf::amf_object arg;
    arg.set_property("filePaths", &list);
    host.send("audioHash", 7, &arg);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(0, host.quit());
    EXPECT_NE(std::string::npos, host.helper().out().find("Exiting."));
    ::unlink(huge.c_str());
}

TEST(FileHashHandler, DescribesItsCommand) {
    Ostra::FileHashHandler handler;
    EXPECT_TRUE(handler.Setup());
    EXPECT_EQ(1u, handler.getNumCommandNames());
    EXPECT_STREQ("audioHash", handler.getCommandName(0));
    EXPECT_EQ(nullptr, handler.getCommandName(1));
    EXPECT_FALSE(handler.mustSerialize());
    handler.Teardown();
}

}  // namespace

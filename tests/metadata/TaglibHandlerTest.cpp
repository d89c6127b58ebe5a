#include "metadata/TaglibHandler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <set>

#include "TaggedFiles.h"
#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace {

using media::quote;
using metadatatest::fixture;
using metadatatest::newDir;
using metadatatest::scratchRoot;
using namespace testsupport;

const char kCommand[] = "extractMetadataFromFiles";

amf::amf_object request(const std::vector<std::string>& paths, const amf::amf0_data_type* batch) {
    amf::amf_object arg;
    amf::amf_ecma_array list = testsupport::stringArray(paths);
    arg.set_property("filePaths", &list);
    if (batch != nullptr) arg.set_property("batchSize", batch);
    return arg;
}

amf::amf_object request(const std::vector<std::string>& paths, double batchSize) {
    amf::amf_numeric batch(batchSize);
    return request(paths, &batch);
}

// The "path" of every song object in the data responses, batch by batch,
// after checking that only the last response is done and carries the count.
std::vector<std::vector<std::string>> batchesOf(const std::vector<Value>& responses,
                                                double expectedCount) {
    std::vector<std::vector<std::string>> batches;
    EXPECT_FALSE(responses.empty());
    if (responses.empty()) return batches;
    for (std::size_t i = 0; i + 1 < responses.size(); ++i) {
        EXPECT_FALSE(isDone(responses[i]));
        const amf::amf0_data_type* data = prop(responses[i], "data");
        EXPECT_EQ(amf::AMF_ECMA_ARRAY, data->get_type());
        std::vector<std::string> batch;
        for (const amf::amf0_data_type* song : items(data))
            batch.push_back(str(prop(song, "path")));
        batches.push_back(batch);
    }
    EXPECT_TRUE(isDone(responses.back()));
    const amf::amf0_data_type* summary = prop(responses.back(), "data");
    EXPECT_EQ(amf::AMF_OBJECT, summary->get_type());
    EXPECT_EQ(expectedCount, num(prop(summary, "count")));
    return batches;
}

class TaglibHandlerE2E : public ::testing::Test {
  protected:
    void SetUp() override { host_.startHelper(); }
    void TearDown() override { EXPECT_EQ(0, host_.quit()); }
    TestHost host_;
};

// A size past 32 bits arrives exactly.
TEST_F(TaglibHandlerE2E, SongObjectCarriesEveryFieldWithItsType) {
    const std::string path = fixture("alac.m4a");
    const std::string huge = scratchRoot() + "/huge.flac";
    ASSERT_EQ(0, testsupport::run("cp " + quote(fixture("tagged.flac")) + " " + quote(huge)));
    const long long size = 5LL * 1024 * 1024 * 1024 + 3;
    ASSERT_EQ(0, ::truncate(huge.c_str(), size));
    const amf::amf_object arg = request({path, fixture("untagged.mp3"), huge}, 10);
    const auto responses = host_.call(kCommand, &arg);
    ASSERT_EQ(2u, responses.size());
    const auto songs = items(prop(responses[0], "data"));
    ASSERT_EQ(3u, songs.size());
    EXPECT_EQ(static_cast<double>(size), num(prop(songs[2], "size")));

    const auto* song = static_cast<const amf::amf_object*>(songs[0]);
    std::set<std::string> keys;
    for (const auto& entry : song->get_value()) keys.insert(entry.first.get_value());
    EXPECT_EQ((std::set<std::string>{"album", "albumArtist", "artist", "duration", "genre", "id",
                                     "kind", "path", "size", "title", "trackNumber"}),
              keys);
    for (const char* text :
         {"album", "albumArtist", "artist", "genre", "id", "kind", "path", "title"}) {
        EXPECT_EQ(amf::AMF_STRING, prop(song, text)->get_type()) << text;
    }
    EXPECT_EQ(metadatatest::kAlbumArtist, str(prop(song, "albumArtist")));
    EXPECT_EQ("Apple Lossless audio file", str(prop(song, "kind")));
    EXPECT_EQ(metadatatest::kTrack, num(prop(song, "trackNumber")));
    EXPECT_EQ(metadatatest::kDurationSeconds, num(prop(song, "duration")));
    EXPECT_EQ(static_cast<double>(testsupport::readFile(path).size()), num(prop(song, "size")));

    // No album, genre or track: the keys are absent, the numbers present.
    const amf::amf0_data_type* bare = songs[1];
    EXPECT_EQ(nullptr, prop(bare, "album"));
    EXPECT_EQ(nullptr, prop(bare, "genre"));
    EXPECT_EQ(0, num(prop(bare, "trackNumber")));
    EXPECT_EQ(amf::AMF_NUMBER, prop(bare, "size")->get_type());
    EXPECT_EQ(amf::AMF_NUMBER, prop(bare, "duration")->get_type());
}

// Unreadable files and entries that are not strings are left out; the list
// ends at the first missing index.
TEST_F(TaglibHandlerE2E, ListEndsAtTheFirstMissingIndexAndSkipsWhatIsNotRead) {
    amf::amf_ecma_array list;
    amf::amf_string first(fixture("tagged.aiff")), unreadable(fixture("truncated.m4a"));
    amf::amf_numeric notText(5);
    amf::amf_string fourth(fixture("tagged.wav")), sixth(fixture("tagged.flac"));
    list.set_property("0", &first);
    list.set_property("1", &notText);
    list.set_property("2", &unreadable);
    list.set_property("3", &fourth);
    list.set_property("5", &sixth);
    amf::amf_object arg;
    arg.set_property("filePaths", &list);
    amf::amf_numeric batch(2);
    arg.set_property("batchSize", &batch);
    const auto batches = batchesOf(host_.call(kCommand, &arg), 2);
    ASSERT_EQ(1u, batches.size());
    EXPECT_EQ((std::vector<std::string>{first.get_value(), fourth.get_value()}), batches[0]);
}

TEST_F(TaglibHandlerE2E, MalformedParametersGiveOneEmptyFinalArray) {
    amf::amf_object noList;
    amf::amf_object wrongType;
    amf::amf_string text("not a list");
    wrongType.set_property("filePaths", &text);
    amf::amf_string notAnObject("x");
    for (const amf::amf0_data_type* arg :
         std::vector<const amf::amf0_data_type*>{nullptr, &noList, &wrongType, &notAnObject}) {
        const auto responses = host_.call(kCommand, arg);
        ASSERT_EQ(1u, responses.size());
        EXPECT_TRUE(isDone(responses[0]));
        const amf::amf0_data_type* data = prop(responses[0], "data");
        ASSERT_EQ(amf::AMF_ECMA_ARRAY, data->get_type());
        EXPECT_EQ(0u, static_cast<const amf::amf_ecma_array*>(data)->get_count());
    }
}

// Requests of this command run one at a time: the responses of two requests
// sent together never interleave, and an echo is not held up behind them.
TEST_F(TaglibHandlerE2E, RequestsAreSerialised) {
    // Long enough that two requests run in parallel would overlap on any machine.
    const std::size_t kFiles = 300;
    std::vector<std::string> paths;
    for (std::size_t i = 0; i < kFiles; ++i)
        paths.push_back(fixture(i % 2 ? "tagged.flac" : "tagged_v23.mp3"));
    const amf::amf_object arg = request(paths, 1);
    host_.send(kCommand, 101, &arg);
    host_.send(kCommand, 102, &arg);
    amf::amf_string ping("ping");
    host_.send("echo", 103, &ping);
    std::vector<double> order;
    int done = 0;
    bool echoed = false;
    while (done < 2) {
        Value response = host_.readResponse();
        ASSERT_TRUE(response);
        const double id = num(prop(response, "id"));
        if (id == 103) {
            echoed = true;
            continue;
        }
        order.push_back(id);
        if (isDone(response)) ++done;
    }
    EXPECT_TRUE(echoed || host_.readResponse());
    ASSERT_EQ(2 * (kFiles + 1), order.size());
    const double first = order.front();
    std::size_t interleaved = 0;
    for (std::size_t i = 0; i < order.size(); ++i)
        interleaved += order[i] != (i <= kFiles ? first : 203 - first);
    EXPECT_EQ(0u, interleaved);
}

}  // namespace

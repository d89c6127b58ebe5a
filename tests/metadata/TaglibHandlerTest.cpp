// "extractMetadataFromFiles" through the real helper binary.
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
using namespace testsupport;

const char kCommand[] = "extractMetadataFromFiles";

class TaglibHandlerE2E : public ::testing::Test {
  protected:
    void SetUp() override { host_.startHelper(); }
    void TearDown() override { EXPECT_EQ(0, host_.quit()); }
    TestHost host_;
};

// Text fields arrive as strings, the numbers as numbers (a size past 32 bits
// exactly); fields a file lacks are absent. Unreadable files and entries that
// are not strings are left out; the list ends at the first missing index.
TEST_F(TaglibHandlerE2E, SongObjectsOfTheReadableFilesOnly) {
    const std::string huge = metadatatest::scratchRoot() + "/huge.flac";
    ASSERT_EQ(0, run("cp " + quote(fixture("tagged.flac")) + " " + quote(huge)));
    const long long size = 5LL * 1024 * 1024 * 1024 + 3;
    ASSERT_EQ(0, ::truncate(huge.c_str(), size));
    amf::amf_ecma_array list = stringArray({fixture("alac.m4a"), fixture("untagged.mp3")});
    amf::amf_numeric notText(5);
    amf::amf_string unreadable(fixture("truncated.m4a")), last(huge), unlisted(huge);
    list.set_property("2", &notText);
    list.set_property("3", &unreadable);
    list.set_property("4", &last);
    list.set_property("6", &unlisted);
    amf::amf_object arg;
    arg.set_property("filePaths", &list);
    arg.set_numeric_property("batchSize", 10);
    const std::vector<Value> responses = host_.call(kCommand, &arg);
    ASSERT_EQ(2u, responses.size());
    EXPECT_FALSE(isDone(responses[0]));
    EXPECT_TRUE(isDone(responses[1]));
    EXPECT_EQ(3, num(prop(prop(responses[1], "data"), "count")));
    const auto songs = items(prop(responses[0], "data"));
    ASSERT_EQ(3u, songs.size());
    const std::set<std::string> numbers = {"duration", "size", "trackNumber"};
    std::set<std::string> keys;
    for (const auto& entry : static_cast<const amf::amf_object*>(songs[0])->get_value()) {
        keys.insert(entry.first.get_value());
        EXPECT_EQ(numbers.count(entry.first.get_value()) ? amf::AMF_NUMBER : amf::AMF_STRING,
                  entry.second->get_type())
            << entry.first.get_value();
    }
    EXPECT_EQ((std::set<std::string>{"album", "albumArtist", "artist", "duration", "genre", "id",
                                     "kind", "path", "size", "title", "trackNumber"}),
              keys);
    EXPECT_EQ(metadatatest::kAlbumArtist, str(prop(songs[0], "albumArtist")));
    EXPECT_EQ(nullptr, prop(songs[1], "album"));
    EXPECT_EQ(0, num(prop(songs[1], "trackNumber")));
    EXPECT_EQ(static_cast<double>(size), num(prop(songs[2], "size")));

    // Malformed parameters: one empty final array.
    amf::amf_object noList, wrongType;
    amf::amf_string text("not a list");
    wrongType.set_property("filePaths", &text);
    for (const amf::amf0_data_type* arg :
         std::vector<const amf::amf0_data_type*>{nullptr, &noList, &wrongType, &text}) {
        const std::vector<Value> responses = host_.call(kCommand, arg);
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
    amf::amf_ecma_array list = stringArray(paths);
    amf::amf_object arg;
    arg.set_property("filePaths", &list);
    arg.set_numeric_property("batchSize", 1);
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

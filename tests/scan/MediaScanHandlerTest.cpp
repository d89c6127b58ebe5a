// The scan commands end to end: the real helper binary over real TCP.
#include "scan/MediaScanHandler.h"

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <limits>
#include <set>

#include "LoopbackRequest.h"
#include "support/TestHost.h"

namespace {

namespace fs = boost::filesystem;
using scantest::entriesOfType;
using scantest::reportOf;
using namespace testsupport;

amf::amf_object directoryArg(const std::string& startPath, const std::vector<std::string>& exts,
                             const amf::amf0_data_type* batchSize = nullptr) {
    amf::amf_object arg;
    arg.set_string_property("startPath", startPath);
    amf::amf_ecma_array list = testsupport::stringArray(exts);
    arg.set_property("validExtensions", &list);
    if (batchSize != nullptr) arg.set_property("batchSize", batchSize);
    return arg;
}

class ScanCommands : public ::testing::Test {
  protected:
    void SetUp() override { host.startHelper({"HOME=" + home.path()}); }
    void TearDown() override { EXPECT_EQ(host.quit(), 0); }
    TempDir home;
    TestHost host;
};

// Parameters that are missing or of the wrong type: the error alone, or (a
// start path that cannot be walked) the error and then the empty report.
TEST_F(ScanCommands, ParameterErrors) {
    amf::amf_ecma_array array;
    array.set_string_property("startPath", home.path());
    amf::amf_string text("x");
    amf::amf_object noStart, numericStart;
    noStart.set_numeric_property("batchSize", 5);
    numericStart.set_numeric_property("startPath", 1);
    const amf::amf_object missing = directoryArg(home / "nowhere  ", {"mp3"});
    const struct {
        const char* cmd;
        const amf::amf0_data_type* arg;
        std::vector<std::string> errors;  // one per response; "" for the report
    } rows[] = {
        {"scanDirectory", nullptr, {"MediaScanHandler: no parameters"}},
        {"scanMediaLibs", nullptr, {"MediaScanHandler: no parameters"}},
        {"scanDirectory", &array, {"MediaScanHandler: no parameters"}},
        {"scanDirectory", &text, {"MediaScanHandler: no parameters"}},
        {"scanDirectory", &noStart, {"MediaScanHandler: No 'startPath' string."}},
        {"scanDirectory", &numericStart, {"MediaScanHandler: No 'startPath' string."}},
        {"scanDirectory", &missing, {"Problem occurred during file system scanning.", ""}},
    };
    for (const auto& row : rows) {
        host.send(row.cmd, 77, row.arg);
        for (const std::string& error : row.errors) {
            SCOPED_TRACE(error);
            Value response = host.readResponse();
            ASSERT_TRUE(response);
            EXPECT_EQ(num(prop(response, "id")), 77);
            EXPECT_TRUE(isDone(response));
            const auto* data = prop(response, "data");
            EXPECT_EQ(error.empty() ? str(prop(items(data).at(0), "objectType"))
                                    : str(prop(data, "error")),
                      error.empty() ? "report" : error);
        }
    }
}

TEST_F(ScanCommands, BatchSizeIsTruncatedDefaultedAndCapped) {
    TempDir music;
    for (const char* name : {"a.mp3", "b.mp3", "c.mp3"}) testsupport::writeFile(music / name, "x");
    struct Case {
        const amf::amf0_data_type* batchSize;
        std::vector<std::size_t> sizes;  // entries per response
    };
    amf::amf_numeric half(0.5), negative(-4), two(2.9), huge(4294967296.0), larger(1e300),
        infinite(std::numeric_limits<double>::infinity()),
        nan(std::numeric_limits<double>::quiet_NaN()), max32(4294967295.0);
    amf::amf_string asText("3");
    const std::vector<std::size_t> single = {1, 1, 1, 1};
    const std::vector<std::size_t> all = {4};
    const Case cases[] = {
        {nullptr, single}, {&half, single}, {&negative, single}, {&asText, single}, {&nan, single},
        {&two, {2, 2}},    {&huge, all},    {&larger, all},      {&infinite, all},  {&max32, all}};
    for (const auto& c : cases) {
        amf::amf_object arg = directoryArg(music.path(), {"mp3"}, c.batchSize);
        auto responses = host.call("scanDirectory", &arg);
        std::vector<std::size_t> sizes;
        for (const auto& r : responses) sizes.push_back(items(prop(r, "data")).size());
        EXPECT_EQ(sizes, c.sizes) << (c.batchSize ? c.batchSize->to_string() : "absent");
        ASSERT_FALSE(responses.empty());
        EXPECT_TRUE(isDone(responses.back()));
        for (std::size_t i = 0; i + 1 < responses.size(); ++i) EXPECT_FALSE(isDone(responses[i]));
    }
}

TEST(ScanCommandsUnprivileged, UnreadableFolderIsSkippedSilently) {
    TempDir music;
    fs::create_directories(music / "open");
    fs::create_directories(music / "closed/sub");
    testsupport::writeFile(music / "open/a.mp3", "x");
    testsupport::writeFile(music / "closed/sub/hidden.mp3", "x");
    testsupport::writeFile(music / "top.mp3", "x");
    ASSERT_EQ(testsupport::run("chmod -R a+rX '" + music.path() + "' && chmod 000 '" +
                               music.path() + "/closed'"),
              0);
    // Run as nobody: permissions do not stop root.
    TestHost host;
    testsupport::HelperProcess helper({"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                       "--clear-groups", testsupport::helperPath(),
                                       std::to_string(host.port())});
    host.accept();
    amf::amf_numeric batch(10);
    amf::amf_object arg = directoryArg(music.path(), {"mp3"}, &batch);
    auto responses = host.call("scanDirectory", &arg);
    helper.writeStdin("QUIT\n");
    EXPECT_EQ(helper.wait(), 0);
    ASSERT_EQ(responses.size(), 1u);
    std::set<std::string> paths;
    for (const auto* e : entriesOfType(responses, "song")) paths.insert(str(prop(e, "path")));
    EXPECT_EQ(paths, (std::set<std::string>{music / "open/a.mp3", music / "top.mp3"}));
}

}  // namespace

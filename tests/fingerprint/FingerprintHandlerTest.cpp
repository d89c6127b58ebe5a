// "fingerprints" end to end through the real helper binary.

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <string>
#include <vector>

#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace {

using namespace testsupport;

amf::amf_object Arguments(const std::vector<std::string>& types,
                          const std::vector<std::string>& paths) {
    amf::amf_object arg;
    amf::amf_ecma_array typeArray = testsupport::stringArray(types);
    amf::amf_ecma_array pathArray = testsupport::stringArray(paths);
    arg.set_property("fingerprintTypes", &typeArray);
    arg.set_property("filePaths", &pathArray);
    return arg;
}

// The result entries of every data response before the final one.
std::vector<std::vector<const amf::amf0_data_type*>> Batches(const std::vector<Value>& responses) {
    std::vector<std::vector<const amf::amf0_data_type*>> batches;
    for (size_t i = 0; i + 1 < responses.size(); ++i) {
        EXPECT_FALSE(isDone(responses[i]));
        batches.push_back(items(prop(responses[i], "data")));
    }
    return batches;
}

double FinalCount(const std::vector<Value>& responses) {
    EXPECT_TRUE(!responses.empty() && isDone(responses.back()));
    return responses.empty() ? -1 : num(prop(prop(responses.back(), "data"), "count"));
}

std::string ErrorOf(const std::vector<Value>& responses) {
    if (responses.size() != 1 || !isDone(responses[0])) return "(not one error response)";
    return str(prop(prop(responses[0], "data"), "error"));
}

// Bytes behind a base64 text without padding.
size_t DecodedLength(const std::string& base64) {
    return base64.size() * 6 / 8;
}

std::vector<std::string> Keys(const amf::amf0_data_type* object) {
    std::vector<std::string> keys;
    for (const auto& entry : static_cast<const amf::amf_object*>(object)->get_value()) {
        keys.push_back(entry.first.get_value());
    }
    return keys;
}

class FingerprintCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        tune_ = media::ffmpeg("cmd-tune40.mp3", media::tune(40, 31));
        other_ = media::ffmpeg("cmd-other20.flac", media::tune(20, 32));
        host_.startHelper();
    }
    void TearDown() override { EXPECT_EQ(0, host_.quit()); }

    testsupport::TestHost host_;
    std::string tune_;
    std::string other_;
};

// The keys of each file's entry follow the types asked for, each once.
TEST_F(FingerprintCommands, EntryKeysFollowTheTypes) {
    const struct {
        std::vector<std::string> types, paths, keys;
    } rows[] = {
        {{"CMX", "MICRO"}, {tune_}, {"CMX", "MICRO", "path"}},
        {{"MICRO", "MICRO", "NANO"}, {tune_}, {"MICRO", "NANO", "path"}},
        {{}, {other_}, {"path"}},
        {{"CMX"}, {}, {}},
    };
    for (const auto& row : rows) {
        amf::amf_object arg = Arguments(row.types, row.paths);
        std::vector<Value> responses = host_.call("fingerprints", &arg);
        ASSERT_EQ(row.paths.size() + 1, responses.size());
        EXPECT_EQ(static_cast<double>(row.paths.size()), FinalCount(responses));
        if (row.paths.empty()) continue;
        const amf::amf0_data_type* entry = Batches(responses)[0][0];
        EXPECT_EQ(row.keys, Keys(entry));
        EXPECT_EQ(row.paths[0], str(prop(entry, "path")));
        // The texts themselves are checked against fpcalc's in the fingerprinter's tests.
        if (row.keys[0] == "CMX") {
            EXPECT_EQ(0u, str(prop(entry, "CMX")).find("AQ"));
            EXPECT_GT(DecodedLength(str(prop(entry, "MICRO"))), 100u);
        }
    }
}

TEST_F(FingerprintCommands, RequestErrors) {
    amf::amf_string notObject("x");
    amf::amf_ecma_array paths = testsupport::stringArray({tune_});
    amf::amf_ecma_array cmx = testsupport::stringArray({"CMX"});
    amf::amf_ecma_array types;
    amf::amf_numeric seven(7);
    types.push_back(&seven);
    amf::amf_object noTypes, typesNotArray, typeNotString, noPaths;
    noTypes.set_property("filePaths", &paths);
    typesNotArray.set_string_property("fingerprintTypes", "CMX");
    typesNotArray.set_property("filePaths", &paths);
    typeNotString.set_property("fingerprintTypes", &types);
    typeNotString.set_property("filePaths", &paths);
    noPaths.set_property("fingerprintTypes", &cmx);
    amf::amf_object lower = Arguments({"micro"}, {tune_});
    amf::amf_object sdkName = Arguments({"MicroFAPI-Q"}, {tune_});
    const std::pair<const amf::amf0_data_type*, const char*> rows[] = {
        {nullptr, "parameter was not an object"},
        {&notObject, "parameter was not an object"},
        {&noTypes, "fingerprintTypes property was not found"},
        {&typesNotArray, "fingerprintTypes property was not found"},
        {&typeNotString, "fingerprint type property was not found"},
        {&noPaths, "filePaths property was not found"},
        {&lower, "invalid algorithm specified: micro"},
        {&sdkName, "invalid algorithm specified: MicroFAPI-Q"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(row.second, ErrorOf(host_.call("fingerprints", row.first)));
}

// Per-file errors ride in the batch under the paths sent: files named like
// the error markers are fingerprinted, a path holding a NUL byte (which the C
// calls would cut short) is not valid, and an undecodable file's record is
// printed on the helper's standard output as well.
TEST(FingerprintPaths, PerFileErrorsKeepThePathsAsSent) {
    testsupport::TempDir dir;
    const std::string audio =
        testsupport::readFile(media::ffmpeg("cmd-other20.flac", media::tune(20, 32)));
    for (const char* name : {"?PathWasNotAString?", "?PathWasNotValid?tune.flac", "tune.flac"})
        testsupport::writeFile(dir / name, audio);
    testsupport::writeFile(dir / "notes.mp3", "plain text, not audio\n");
    // Relative paths: the helper runs in the folder.
    testsupport::TestHost host;
    {
        const std::string before = boost::filesystem::current_path().string();
        boost::filesystem::current_path(dir.path());
        host.startHelper();
        boost::filesystem::current_path(before);
    }
    const std::string record =
        "***ERROR***: GNSDK Error(90e10001): failed to start decode\n\tSource File: notes.mp3\n"
        "\tFile: Fingerprinter.cpp\n\tLine: ";
    const struct {
        std::string path;
        std::string error;  // "": fingerprinted
    } rows[] = {
        {"?PathWasNotAString?", ""},
        {"?PathWasNotValid?tune.flac", ""},
        {"?PathWasNotValid?missing.flac", "file path was not valid"},
        {dir / "missing.mp3", "file path was not valid"},
        {"", "no path specified"},
        {"notes.mp3", record},
        {std::string("tune.flac\0.mp3", 14), "file path was not valid"},
        {dir / std::string("tune.flac\0x", 11), "file path was not valid"},
    };
    std::vector<std::string> paths;
    for (const auto& row : rows) paths.push_back(row.path);
    amf::amf_object arg = Arguments({"NANO"}, paths);
    amf::amf_ecma_array pathArray = testsupport::stringArray(paths);
    amf::amf_numeric number(12), batch(20);
    pathArray.set_property(std::to_string(paths.size()), &number);
    arg.set_property("filePaths", &pathArray);
    arg.set_property("batchSize", &batch);
    std::vector<Value> responses = host.call("fingerprints", &arg);
    ASSERT_EQ(2u, responses.size());
    const auto entries = Batches(responses)[0];
    ASSERT_EQ(paths.size() + 1, entries.size());
    for (size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(rows[i].path);
        EXPECT_EQ(rows[i].path, str(prop(entries[i], "path")));
        // A record ends with its source line, which the test leaves open.
        const std::string error = str(prop(entries[i], "error"));
        const size_t line = error.find("\tLine: ");
        if (rows[i].error.empty()) {
            EXPECT_EQ(8u, DecodedLength(str(prop(entries[i], "NANO"))));
        } else {
            EXPECT_EQ(rows[i].error, line == std::string::npos ? error : error.substr(0, line + 7));
        }
    }
    EXPECT_EQ("file path was not a string", str(prop(entries.back(), "error")));
    EXPECT_EQ("?PathWasNotAString?", str(prop(entries.back(), "path")));
    EXPECT_EQ(2, FinalCount(responses));
    EXPECT_EQ(0, host.quit());
    EXPECT_NE(std::string::npos, host.helper().out().find(record)) << host.helper().out();
}

}  // namespace

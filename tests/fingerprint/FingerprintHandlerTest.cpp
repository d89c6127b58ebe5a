// "fingerprints" and "getSupportedExtensions" end to end through the real
// helper binary, and the start-up failures of the fingerprint SDK.

#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <string>
#include <vector>

#include "amf/amf0.h"
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
    EXPECT_FALSE(responses.empty());
    if (responses.empty()) return -1;
    EXPECT_TRUE(isDone(responses.back()));
    return num(prop(prop(responses.back(), "data"), "count"));
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

TEST_F(FingerprintCommands, PerFileErrors) {
    testsupport::TempDir dir;
    std::string missing = dir / "missing.mp3";
    std::string notAudio = dir / "notes.mp3";
    testsupport::writeFile(notAudio, "plain text, not audio\n");

    amf::amf_object arg = Arguments({"NANO"}, {missing, "", notAudio, other_});
    amf::amf_ecma_array paths = testsupport::stringArray({missing, "", notAudio, other_});
    amf::amf_numeric number(12);
    paths.set_property("4", &number);
    arg.set_property("filePaths", &paths);
    amf::amf_numeric batch(10);
    arg.set_property("batchSize", &batch);

    std::vector<Value> responses = host_.call("fingerprints", &arg);
    ASSERT_EQ(2u, responses.size());
    auto entries = Batches(responses)[0];
    ASSERT_EQ(5u, entries.size());
    EXPECT_EQ("file path was not valid", str(prop(entries[0], "error")));
    EXPECT_EQ(missing, str(prop(entries[0], "path")));
    EXPECT_EQ("no path specified", str(prop(entries[1], "error")));
    EXPECT_EQ("", str(prop(entries[1], "path")));
    std::string record = str(prop(entries[2], "error"));
    EXPECT_EQ(0u, record.find("***ERROR***: GNSDK Error(90e10001): failed to start decode\n"
                              "\tSource File: " +
                              notAudio + "\n\tFile: Fingerprinter.cpp\n\tLine: "))
        << record;
    EXPECT_EQ(notAudio, str(prop(entries[2], "path")));
    EXPECT_EQ(8u, DecodedLength(str(prop(entries[3], "NANO"))));
    EXPECT_EQ("file path was not a string", str(prop(entries[4], "error")));
    EXPECT_EQ("?PathWasNotAString?", str(prop(entries[4], "path")));
    EXPECT_EQ(1, FinalCount(responses));
    // The record was printed on the helper's standard output as well.
    host_.quit();
    EXPECT_NE(std::string::npos, host_.helper().out().find(record + "\n"));
}

// Files named like the error markers are fingerprinted under the paths sent; a
// path holding a NUL byte (which the C calls would cut short) is not valid.
TEST_F(FingerprintCommands, PathsAreReportedAsSentWhateverTheirText) {
    testsupport::TempDir dir;
    const std::string audio = testsupport::readFile(other_);
    testsupport::writeFile(dir / "?PathWasNotAString?", audio);
    testsupport::writeFile(dir / "?PathWasNotValid?tune.flac", audio);
    testsupport::writeFile(dir / "tune.flac", audio);
    // Relative paths: the helper runs in the folder.
    testsupport::TestHost host;
    {
        const std::string before = boost::filesystem::current_path().string();
        boost::filesystem::current_path(dir.path());
        host.startHelper();
        boost::filesystem::current_path(before);
    }
    const struct {
        std::string path;
        const char* error;  // null: fingerprinted
    } rows[] = {
        {"?PathWasNotAString?", nullptr},
        {"?PathWasNotValid?tune.flac", nullptr},
        {"?PathWasNotValid?missing.flac", "file path was not valid"},
        {std::string("tune.flac\0.mp3", 14), "file path was not valid"},
        {dir / std::string("tune.flac\0x", 11), "file path was not valid"},
    };
    std::vector<std::string> paths;
    for (const auto& row : rows) paths.push_back(row.path);
    amf::amf_object arg = Arguments({"NANO"}, paths);
    amf::amf_numeric batch(10);
    arg.set_property("batchSize", &batch);
    std::vector<Value> responses = host.call("fingerprints", &arg);
    ASSERT_EQ(2u, responses.size());
    const auto entries = Batches(responses)[0];
    ASSERT_EQ(paths.size(), entries.size());
    for (size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(rows[i].path);
        EXPECT_EQ(rows[i].path, str(prop(entries[i], "path")));
        if (rows[i].error == nullptr) {
            EXPECT_EQ(8u, DecodedLength(str(prop(entries[i], "NANO"))));
        } else {
            EXPECT_EQ(rows[i].error, str(prop(entries[i], "error")));
        }
    }
    EXPECT_EQ(2, FinalCount(responses));
    EXPECT_EQ(0, host.quit());
}

TEST_F(FingerprintCommands, BatchSizes) {
    const std::pair<double, std::vector<size_t>> cases[] = {{2, {2, 1}}, {0, {1, 1, 1}}};
    for (const auto& c : cases) {
        amf::amf_object arg = Arguments({"NANO"}, {other_, other_, tune_});
        amf::amf_numeric size(c.first);
        arg.set_property("batchSize", &size);
        std::vector<Value> responses = host_.call("fingerprints", &arg);
        std::vector<size_t> sizes;
        for (const auto& batch : Batches(responses)) sizes.push_back(batch.size());
        EXPECT_EQ(c.second, sizes) << c.first;
        EXPECT_EQ(3, FinalCount(responses));
    }
}

TEST_F(FingerprintCommands, SupportedExtensions) {
    amf::amf_string ignored("ignored");
    std::vector<Value> responses = host_.call("getSupportedExtensions", &ignored);
    ASSERT_EQ(1u, responses.size());
    EXPECT_TRUE(isDone(responses[0]));
    std::vector<std::string> extensions;
    for (const amf::amf0_data_type* item : items(prop(responses[0], "data")))
        extensions.push_back(str(item));
    EXPECT_EQ((std::vector<std::string>{"mp3", "ogg", "wav", "aif", "aiff", "flac", "m4a", "aac"}),
              extensions);
}

// Helper builds whose stored SDK data is broken, one per start-up step.
struct BrokenBuild {
    const char* binary;
    const char* failedStep;
    const char* code;
};

class FingerprintStartup : public ::testing::TestWithParam<BrokenBuild> {};

TEST_P(FingerprintStartup, FailurePrintsTheRecordsAndExits) {
    const BrokenBuild& build = GetParam();
    testsupport::HelperProcess helper({build.binary, "1"});
    EXPECT_EQ(1, helper.wait());
    std::string out = helper.out();
    std::string first = std::string("***ERROR***: GNSDK Error(") + build.code +
                        "): " + build.failedStep + " failed\n\tSource File: N/A\n" +
                        "\tFile: Fingerprinter.cpp\n\tLine: ";
    size_t at = out.find(first);
    ASSERT_NE(std::string::npos, at) << out;
    // The failing step's record, the record that wraps it, and the text once
    // more, then the start-up line; nothing else starts.
    std::string record = out.substr(at, out.find("\n\n", at) + 1 - at);
    EXPECT_NE(std::string::npos, record.find("\tError: "));
    std::string wrapped = std::string("***ERROR***: GNSDK Error(") + build.code + "): " + record;
    EXPECT_NE(std::string::npos, out.find(wrapped)) << out;
    EXPECT_NE(std::string::npos, out.find(record + "\nFingerprint System failed to initialize.\n"))
        << out;
    EXPECT_EQ(std::string::npos, out.find("started!"));
    // A corrupt user is first reported through the log callback.
    if (build.binary == std::string(OSTRA_BROKEN_USER_BINARY)) {
        EXPECT_EQ(0u,
                  out.find("***ERROR***: GNSDK Error(90e10002): gnsdk_manager_user_deserialize: "
                           "the serialized user is invalid (checksum mismatch)\n\tSource File: "
                           "N/A\n"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Broken, FingerprintStartup,
    ::testing::Values(BrokenBuild{OSTRA_BROKEN_USER_BINARY, "gnsdk_manager_user_deserialize",
                                  "90800004"},
                      BrokenBuild{OSTRA_BROKEN_INIT_BINARY, "gnsdk_manager_initialize", "90800003"},
                      BrokenBuild{OSTRA_NO_DSP_BINARY, "gnsdk_dsp_initialize", "90800008"}));

}  // namespace

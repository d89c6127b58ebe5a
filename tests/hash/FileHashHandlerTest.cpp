// "audioHash" end to end: the real helper binary over real TCP.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace {

using namespace testsupport;

const std::string kError = "error: couldn't get hash for file";

// One line per response: "data:" and its entries, or "count: N", then
// " (done)" on the last. A hashed file reads "<path>=<hash>", an error entry
// "error".
std::vector<std::string> describe(const std::vector<Value>& responses) {
    std::vector<std::string> lines;
    for (const auto& response : responses) {
        const amf::amf0_data_type* data = prop(response, "data");
        std::string text = "data:";
        if (data && data->get_type() == amf::AMF_OBJECT) {
            text = "count: " + std::to_string(static_cast<long>(num(prop(data, "count"))));
        }
        for (const amf::amf0_data_type* entry : items(data)) {
            const bool error = entry->get_type() == amf::AMF_STRING;
            text += " " + (error ? (str(entry) == kError ? "error" : "?" + str(entry))
                                 : str(prop(entry, "path")) + "=" + str(prop(entry, "hash")));
        }
        lines.push_back(text + (isDone(response) ? " (done)" : ""));
    }
    return lines;
}

class AudioHashCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"a.mp3", "C.MP3", "d.mp3", "b.m4a"}) {
            // Untagged files: the payload is all of an MP3 and the one box body of the M4A.
            const std::string payload = name + std::string(1000, name[0]);
            writeFile(payloads / name, payload);
            const bool m4a = name[3] == '4';
            writeFile(path(name), m4a ? media::be32(8 + 1005) + "mdat" + payload : payload);
        }
        writeFile(path("e.txt"), "not audio");
        writeFile(path("f.flac"), "fLaC");
        writeFile(path("broken.m4a"), "no boxes at all");
        host.startHelper();
    }

    std::string path(const std::string& name) { return dir / name; }
    // "<path>=<openssl's hash of the payload the test put in the file>".
    std::string entry(const std::string& name, const std::string& sent = "") {
        return (sent.empty() ? path(name) : sent) + "=" + media::sha1OfFile(payloads / name);
    }

    testsupport::TempDir dir, payloads;
    testsupport::TestHost host;
};

// Successes go out in batches of batchSize; error entries ride along with
// the next success: they never send a batch themselves, though they fill it;
// the last message is the count of hashes.
TEST_F(AudioHashCommand, Batches) {
    const std::string a = entry("a.mp3"), b = entry("b.m4a"), c = entry("C.MP3"),
                      d = entry("d.mp3");
    const struct {
        std::vector<std::string> names;
        double batchSize;
        std::vector<std::string> expected;
    } rows[] = {
        {{"a.mp3", "b.m4a", "C.MP3", "d.mp3"},
         10,
         {"data: " + a + " " + b + " " + c + " " + d, "count: 4 (done)"}},
        {{"f.flac", "missing.mp3", "d.mp3", "broken.m4a", "noextension"},
         1,
         {"data: error error " + d, "data: error error", "count: 1 (done)"}},
        {{"e.txt", "f.flac", "a.mp3", "d.mp3"},
         2,
         {"data: error error " + a, "data: " + d, "count: 2 (done)"}},
        {{"e.txt", "f.flac"}, 1, {"data: error error", "count: 0 (done)"}},
        {{"a.mp3", "d.mp3"}, 1, {"data: " + a, "data: " + d, "count: 2 (done)"}},
        {{}, 5, {"count: 0 (done)"}},
    };
    for (const auto& row : rows) {
        std::vector<std::string> paths;
        for (const auto& name : row.names) paths.push_back(path(name));
        amf::amf_ecma_array list = testsupport::stringArray(paths);
        amf::amf_object arg;
        arg.set_property("filePaths", &list);
        arg.set_numeric_property("batchSize", row.batchSize);
        EXPECT_EQ(row.expected, describe(host.call("audioHash", &arg))) << row.batchSize;
    }
}

// The list ends at the first missing index, skips entries that are not
// strings, and sends each path back as it came; without a batch size each
// success goes alone; malformed parameters give one empty final message.
TEST_F(AudioHashCommand, Parameters) {
    amf::amf_ecma_array list;
    list.set_string_property("0", path("a.mp3"));
    list.set_numeric_property("1", 42);
    list.set_bool_property("2", true);
    list.set_string_property("3", path("./d.mp3"));
    list.set_string_property("5", path("C.MP3"));
    amf::amf_object arg;
    arg.set_property("filePaths", &list);
    const std::vector<std::string> asSent{
        "data: " + entry("a.mp3"), "data: " + entry("d.mp3", path("./d.mp3")), "count: 2 (done)"};
    EXPECT_EQ(asSent, describe(host.call("audioHash", &arg)));

    const std::vector<std::string> empty{"data: (done)"};
    amf::amf_string text("not an object");
    amf::amf_object noList, listAsText, listAsObject, notAnArray;
    noList.set_numeric_property("batchSize", 3);
    listAsText.set_string_property("filePaths", path("a.mp3"));
    notAnArray.set_string_property("0", path("a.mp3"));
    listAsObject.set_property("filePaths", &notAnArray);
    for (const amf::amf0_data_type* bad : std::vector<const amf::amf0_data_type*>{
             nullptr, &text, &noList, &listAsText, &listAsObject}) {
        EXPECT_EQ(empty, describe(host.call("audioHash", bad)));
    }
}

}  // namespace

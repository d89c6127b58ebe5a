// The host client library (tools/host/client): the JSON form of AMF0 values,
// the helper process's environment and exit, and the session's read outcomes.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <nlohmann/json.hpp>

#include "host/client/Frame.h"
#include "host/client/HostSession.h"
#include "host/client/JsonAmf.h"
#include "host/client/SessionError.h"

namespace {

using namespace Ostra::host;
using nlohmann::json;

std::string bytes(std::initializer_list<int> values) {
    std::string out;
    for (int v : values) out += static_cast<char>(v);
    return out;
}

TEST(JsonAmf, ListsObjectsAndNumbers) {
    struct Row {
        const char* name;
        std::string encoded;
        json expected;
    };
    const std::vector<Row> rows = {
        {"empty ECMA array", bytes({0x08, 0, 0, 0, 0, 0, 0, 9}), json::array()},
        {"ECMA array keyed 0, 1", bytes({0x08, 0, 0, 0, 2, 0, 1, '0', 5, 0, 1, '1', 1, 1, 0, 0, 9}),
         json::array({nullptr, true})},
        {"ECMA array with a gap", bytes({0x08, 0, 0, 0, 2, 0, 1, '0', 5, 0, 1, '2', 5, 0, 0, 9}),
         json{{"0", nullptr}, {"2", nullptr}}},
        {"integral number", bytes({0x00, 0x40, 0x69, 0, 0, 0, 0, 0, 0}), json(200)},
        {"not a number", bytes({0x00, 0x7f, 0xf8, 0, 0, 0, 0, 0, 0}), json(nullptr)},
        {"strict array", bytes({0x0a, 0, 0, 0, 1, 0x02, 0, 1, 'x'}), json::array({"x"})},
    };
    for (const auto& row : rows) {
        const auto* p = reinterpret_cast<const unsigned char*>(row.encoded.data());
        const Value value(amf::decode(p, p + row.encoded.size()));
        ASSERT_TRUE(value) << row.name;
        EXPECT_EQ(toJson(value.get()), row.expected) << row.name;
    }
    const Value longText = toAmf(json(std::string(65533, 'y')));
    EXPECT_EQ(longText->get_type(), amf::AMF_LONG_STRING);
    EXPECT_EQ(toAmf(json(std::string(65532, 'y')))->get_type(), amf::AMF_STRING);
    EXPECT_EQ(dumpLine(toJson(toAmf(json::parse(R"({"a":[1,[]],"b":"t"})")).get())),
              R"({"a":[1,[]],"b":"t"})");
}

TEST(HelperProcess, EnvironmentChangesAndExitStatus) {
    setenv("OSTRA_CLIENT_TEST_DROP", "1", 1);
    HelperProcess env({"/usr/bin/env"}, {"OSTRA_CLIENT_TEST_DROP=", "OSTRA_CLIENT_TEST_ADD=2"});
    EXPECT_EQ(env.wait(), 0);
    EXPECT_EQ(env.out().find("OSTRA_CLIENT_TEST_DROP"), std::string::npos);
    EXPECT_NE(env.out().find("OSTRA_CLIENT_TEST_ADD=2\n"), std::string::npos);
    unsetenv("OSTRA_CLIENT_TEST_DROP");

    HelperProcess failing({"/bin/sh", "-c", "echo oops >&2; exit 3"});
    EXPECT_EQ(failing.wait(), 3);
    EXPECT_EQ(failing.err(), "oops\n");
    EXPECT_FALSE(failing.running());

    EXPECT_THROW(HelperProcess({"/no/such/helper"}), SessionError);
}

TEST(HostSession, ReadOutcomes) {
    EXPECT_THROW(HostSession().startHelper("/bin/false"), SessionError);
    HostSession session;
    session.startHelper(OSTRA_NATIVE_PATH);
    std::string body;
    EXPECT_EQ(session.readFrame(body, std::chrono::milliseconds(100)), ReadResult::Timeout);

    const auto answers = session.call("version");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(toJson(answers[0].get())["data"], "12");

    // A body that is no request gets no answer; the next request still does.
    session.sendRaw(frameOfBody(bytes({0x05})));
    session.send("echo", 7, nullptr);
    const Value echo = session.readResponse();
    ASSERT_TRUE(echo);
    EXPECT_EQ(toJson(echo.get())["id"], 7);

    EXPECT_EQ(session.quit(), 0);
    EXPECT_EQ(session.readFrame(body, std::chrono::seconds(10)), ReadResult::Closed);
    EXPECT_FALSE(session.readResponse(std::chrono::seconds(1)));
    EXPECT_EQ(session.lastRead(), ReadResult::Closed);
}

}  // namespace

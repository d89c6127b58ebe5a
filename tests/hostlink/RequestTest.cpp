#include "hostlink/Request.h"

#include <gtest/gtest.h>

#include "hostlink/Messenger.h"
#include "support/TestHost.h"

namespace {

using testsupport::encodeValue;
using testsupport::makeRequest;

Ostra::Message message(const std::string& bytes) {
    Ostra::Message m(bytes.size());
    std::copy(bytes.begin(), bytes.end(), m.data());
    return m;
}

TEST(RequestParse, AcceptsOnlyObjectsWithStringCmdAndNumericId) {
    Ostra::Messenger messenger(1, nullptr);
    amf::amf_string arg("x");
    auto good = makeRequest("echo", -2.75, &arg);
    good.set_string_property("extra", "ignored");
    Ostra::Request request(messenger);
    ASSERT_TRUE(request.parseMessage(message(encodeValue(good) + "trailing")));
    EXPECT_STREQ(request.CommandName(), "echo");
    EXPECT_EQ(request.Id(), -2.75);
    ASSERT_NE(request.Parameter(), nullptr);
    EXPECT_EQ(request.Parameter()->to_string(), "\"x\"");
    Ostra::Request noArg(messenger);
    ASSERT_TRUE(noArg.parseMessage(message(encodeValue(makeRequest("echo", 1, nullptr)))));
    EXPECT_EQ(noArg.Parameter(), nullptr);

    // A string id, a numeric name, a long-string name, an ECMA array, nothing.
    const std::string cmd = std::string("\0\x03", 2) + "cmd", id = std::string("\0\x02", 2) + "id";
    const std::string echo = encodeValue(amf::amf_string("echo")),
                      one = encodeValue(amf::amf_numeric(1));
    const std::string end("\0\0\x09", 3);
    for (const std::string& bad :
         {"\x03" + cmd + echo + id + encodeValue(amf::amf_string("1")) + end,
          "\x03" + cmd + one + id + one + end,
          "\x03" + cmd + encodeValue(amf::amf_long_string("echo")) + id + one + end,
          std::string("\x08\0\0\0\x02", 5) + cmd + echo + id + one + end, std::string()}) {
        Ostra::Request r(messenger);
        EXPECT_FALSE(r.parseMessage(message(bad))) << testing::PrintToString(bad);
    }
}

// A parameter past the decoding limit is not decoded, but a valid envelope
// still yields its name and id, so the host can be answered; garbage cannot.
TEST(RequestParse, OversizedParametersLeaveTheEnvelopeReadable) {
    Ostra::Messenger messenger(1, nullptr);
    amf::amf_strict_array nulls;
    amf::amf_null null;
    for (int i = 0; i < 1000; ++i) nulls.push_back(&null);
    const std::string body = encodeValue(makeRequest("echo", 42, &nulls));
    Ostra::Request fits(messenger);
    ASSERT_TRUE(fits.parseMessage(message(body), 1 << 20));
    EXPECT_GE(fits.decodedBytes(), 8000u);  // one word per element at least

    Ostra::Request refused(messenger);
    EXPECT_FALSE(refused.parseMessage(message(body), 1000));
    EXPECT_TRUE(refused.refusedAsTooLarge());
    EXPECT_EQ(refused.commandText(), "echo");
    EXPECT_EQ(refused.Id(), 42);

    Ostra::Request garbage(messenger);
    EXPECT_FALSE(garbage.parseMessage(message(body.substr(0, body.size() - 1)), 1000));
    EXPECT_FALSE(garbage.refusedAsTooLarge());

    // An argument nested 63 deep fits the depth bound on its own but not
    // inside the envelope: the body does not decode, whatever its size, and
    // is not taken for one too large.
    std::string deep = "\x05";
    for (int level = 0; level < 63; ++level) deep = std::string("\x0A\0\0\0\x01", 5) + deep;
    const std::string tooDeep = std::string("\x03\0\x03", 3) + "arg" + deep +
                                std::string("\0\x03", 2) + "cmd" + std::string("\x02\0\x04", 3) +
                                "echo" + std::string("\0\x02", 2) + "id" +
                                encodeValue(amf::amf_numeric(42)) + std::string("\0\0\x09", 3);
    Ostra::Request nested(messenger);
    EXPECT_FALSE(nested.parseMessage(message(tooDeep)));
    EXPECT_FALSE(nested.refusedAsTooLarge());
}

}  // namespace

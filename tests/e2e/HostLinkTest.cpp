// The real helper binary against a test host on loopback.
#include <gtest/gtest.h>

#include "support/TestHost.h"

namespace {

using namespace testsupport;

TEST(HostLinkE2E, VersionReplyIsTheExact55ByteFrame) {
    TestHost host;
    host.startHelper();
    host.send("version", 7);
    std::string body;
    ASSERT_TRUE(host.readFrame(body));
    ASSERT_EQ(body.size(), 55u);
    std::string expected = std::string(
                               "\x03\x00\x04"
                               "data"
                               "\x02\x00\x02"
                               "12",
                               12) +
                           std::string(
                               "\x00\x04"
                               "done"
                               "\x01\x01",
                               8) +
                           std::string(
                               "\x00\x08"
                               "duration"
                               "\x00",
                               11);
    EXPECT_EQ(body.substr(0, 31), expected);
    EXPECT_EQ(body.substr(39, 16), std::string("\x00\x02"
                                               "id"
                                               "\x00\x40\x1c\0\0\0\0\0\0\x00\x00\x09",
                                               16));
    EXPECT_EQ(host.quit(), 0);
    EXPECT_EQ(host.helper().out(), helperPath() + " started!\nExiting.\n");
}

TEST(HostLinkE2E, EchoReturnsNestedValuesNullAndUnknownCommands) {
    TestHost host;
    host.startHelper();
    amf::amf_object arg;
    amf::amf_ecma_array inner = stringArray({"a", "\xC3\xA9", ""});
    amf::amf_strict_array strict;
    strict.push_back(&inner);
    arg.set_property("list", &inner);
    arg.set_property("strict", &strict);
    arg.set_numeric_property("n", -1.5);
    auto echo = host.call("echo", &arg);
    ASSERT_EQ(echo.size(), 1u);
    EXPECT_EQ(encodeValue(*prop(echo[0], "data")), encodeValue(arg));

    auto bare = host.call("echo");
    ASSERT_EQ(bare.size(), 1u);
    ASSERT_NE(prop(bare[0], "data"), nullptr);
    EXPECT_EQ(prop(bare[0], "data")->get_type(), amf::AMF_NULL);

    // Names compare exactly and over their whole length: a NUL byte does not
    // end a name.
    for (const std::string& name : {std::string("ECHO"), std::string("version\0junk", 12)}) {
        auto unknown = host.call(name);
        ASSERT_EQ(unknown.size(), 1u);
        EXPECT_TRUE(isDone(unknown[0]));
        EXPECT_EQ(str(prop(unknown[0], "data")), "Error: Unknown command \"" + name + "\"");
    }

    // A short string the host may send (up to 65535 bytes) but the helper may
    // not (65532): the answer is an orderly error, never an undecodable frame.
    // Crafted by hand: this side's encoder refuses such a string too.
    std::string request = encodeValue(makeRequest("echo", 99, nullptr));
    request.resize(request.size() - 3);
    request += std::string(
                   "\x00\x03"
                   "arg"
                   "\x02\xFF\xFE",
                   8) +
               std::string(65534, 'q') + std::string("\0\0\x09", 3);
    host.sendRaw(frameOfBody(request));
    std::vector<Value> refused;
    refused.push_back(host.readResponse());
    ASSERT_TRUE(refused[0]);
    EXPECT_EQ(num(prop(refused[0], "id")), 99);
    EXPECT_TRUE(isDone(refused[0]));
    EXPECT_EQ(str(prop(prop(refused[0], "data"), "error")), "response could not be encoded");
    EXPECT_EQ(host.quit(), 0);
}

TEST(HostLinkE2E, PipelinedRequestsKeepFlowing) {
    // A window of requests in flight while responses stream back: reads and
    // sends share the connection's strand for a hundred thousand frames (a
    // read completion once got lost after about 65,000 of them).
    TestHost host;
    host.startHelper();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int total = 20000, window = 64;  // sanitized helpers are several times slower
#else
    const int total = 100000, window = 64;
#endif
    amf::amf_string payload("ping");
    int sent = 0, received = 0;
    for (; sent < window; ++sent) host.send("echo", sent, &payload);
    while (received < total) {
        Value response = host.readResponse(std::chrono::seconds(10));
        ASSERT_TRUE(response) << "stalled after " << received << " responses";
        ++received;
        if (sent < total) host.send("echo", sent++, &payload);
    }
    EXPECT_EQ(host.quit(), 0);
}

TEST(HostLinkE2E, StopLinesEndOfInputAndOverlongLines) {
    {
        TestHost host;
        host.startHelper();
        host.helper().writeStdin("quit\n QUIT\nQUIT \n" + std::string(255, 'x') + "\n");
        EXPECT_EQ(host.helper().wait(std::chrono::milliseconds(300)), -1)
            << "stopped on a non-stop line";
    }
    {
        TestHost host;
        host.startHelper();
        host.helper().writeStdin("QUIT");
        host.helper().closeStdin();
        EXPECT_EQ(host.helper().wait(), 0);
    }
    {
        TestHost host;
        host.startHelper();
        host.helper().writeStdin(std::string(256, 'y') + "\n");
        EXPECT_EQ(host.helper().wait(), 0);
        EXPECT_NE(host.helper().out().find("Exiting."), std::string::npos);
    }
}

TEST(HostLinkE2E, BadPortTextsAndArgumentCounts) {
    for (const char* bad : {"", "abc", " 5000", "5000x"}) {
        HelperProcess helper({helperPath(), bad});
        helper.closeStdin();
        EXPECT_EQ(helper.wait(), 0);
        EXPECT_EQ(helper.out(), helperPath() + " started!\nExiting.\n") << bad;
        EXPECT_EQ(
            helper.err(),
            "Exception: bad lexical cast: source type value could not be interpreted as target\n");
    }
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{helperPath()}, {helperPath(), "1", "2"}}) {
        HelperProcess helper(args);
        EXPECT_EQ(helper.wait(), 0);
        EXPECT_EQ(helper.out(), "");
    }
}

TEST(HostLinkE2E, PortIsTakenModulo65536) {
    TestHost host;
    HelperProcess helper({helperPath(), std::to_string(host.port() + 65536)});
    host.accept();
    EXPECT_EQ(host.call("version").size(), 1u);
    helper.writeStdin("QUIT\n");
    EXPECT_EQ(helper.wait(), 0);
}

}  // namespace

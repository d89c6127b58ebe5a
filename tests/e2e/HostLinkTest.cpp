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
    // Bytes 31 to 38 are the duration's number.
    EXPECT_EQ(body.substr(0, 31), std::string("\x03\0\x04"
                                              "data\x02\0\x02"
                                              "12\0\x04"
                                              "done\x01\x01\0\x08"
                                              "duration\x00",
                                              31));
    EXPECT_EQ(body.substr(39), std::string("\0\x02id\0\x40\x1c\0\0\0\0\0\0\0\0\x09", 16));
    EXPECT_EQ(host.quit(), 0);
    EXPECT_EQ(host.helper().out(), helperPath() + " started!\nExiting.\n");
}

TEST(HostLinkE2E, UnknownCommandsAndUnencodableEchoes) {
    TestHost host;
    host.startHelper();
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
    // Crafted by hand, as this side's encoder refuses such a string too.
    std::string request = encodeValue(makeRequest("echo", 99, nullptr));
    request.resize(request.size() - 3);
    request += std::string(
                   "\0\x03"
                   "arg\x02\xFF\xFE",
                   8) +
               std::string(65534, 'q') + std::string("\0\0\x09", 3);
    host.sendRaw(frameOfBody(request));
    Value refused = host.readResponse();
    ASSERT_TRUE(refused);
    EXPECT_EQ(num(prop(refused, "id")), 99);
    EXPECT_TRUE(isDone(refused));
    EXPECT_EQ(str(prop(prop(refused, "data"), "error")), "response could not be encoded");
    EXPECT_EQ(host.quit(), 0);
}

// A window of requests in flight while responses stream back: reads and
// sends share the connection's strand for a hundred thousand frames (a read
// completion once got lost after about 65,000 of them).
TEST(HostLinkE2E, PipelinedRequestsKeepFlowing) {
    TestHost host;
    host.startHelper();
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    const int total = 20000;  // sanitized helpers are several times slower
#else
    const int total = 100000;
#endif
    amf::amf_string payload("ping");
    int sent = 0;
    for (; sent < 64; ++sent) host.send("echo", sent, &payload);
    for (int received = 0; received < total; ++received) {
        ASSERT_TRUE(host.readResponse(std::chrono::seconds(10))) << "stalled after " << received;
        if (sent < total) host.send("echo", sent++, &payload);
    }
    EXPECT_EQ(host.quit(), 0);
}

// Only the exact line "QUIT", the end of input or a line past 255 bytes
// stops the helper.
TEST(HostLinkE2E, StopLinesEndOfInputAndOverlongLines) {
    // The input (closed after it unless it ends a line), and whether it stops.
    const std::pair<std::string, bool> rows[] = {
        {"quit\n QUIT\nQUIT \n" + std::string(255, 'x') + "\n", false},
        {"QUIT", true},
        {std::string(256, 'y') + "\n", true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.first.substr(0, 20));
        TestHost host;
        host.startHelper();
        host.helper().writeStdin(row.first);
        if (row.first.back() != '\n') host.helper().closeStdin();
        if (!row.second) {
            EXPECT_EQ(host.helper().wait(std::chrono::milliseconds(300)), -1);
            continue;
        }
        EXPECT_EQ(host.helper().wait(), 0);
        EXPECT_NE(host.helper().out().find("Exiting."), std::string::npos);
    }
}

TEST(HostLinkE2E, PortTextsAndArgumentCounts) {
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
    // The port is taken modulo 65536.
    TestHost host;
    HelperProcess helper({helperPath(), std::to_string(host.port() + 65536)});
    host.accept();
    EXPECT_EQ(host.call("version").size(), 1u);
    helper.writeStdin("QUIT\n");
    EXPECT_EQ(helper.wait(), 0);
}

}  // namespace

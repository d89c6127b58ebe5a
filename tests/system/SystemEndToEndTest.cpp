// "systemInfo", "preventSleep" and "allowSleep" through the real helper.
#include <gtest/gtest.h>

#include <boost/algorithm/string/trim.hpp>
#include <cmath>
#include <memory>

#include "amf/access.h"
#include "support/TestHost.h"
#include "system/BusFixture.h"

namespace {

using namespace testsupport;
using systemtest::absentBusAddress;
using systemtest::BusEnvironment;
using systemtest::LogindMock;
using systemtest::PrivateBus;
using systemtest::SilentBus;

// The one answer of a command as text: a boolean, a string, else its "error".
std::string answer(TestHost& host, const std::string& command) {
    const std::vector<Value> responses = host.call(command);
    if (responses.size() != 1 || !isDone(responses[0]))
        return std::to_string(responses.size()) + " responses";
    const amf::amf0_data_type* data = prop(responses[0], "data");
    if (auto flag = amf::getBool(data)) return *flag ? "true" : "false";
    if (amf::getString(data) != nullptr) return str(data);
    return str(prop(data, "error"));
}

std::string text(const amf::amf0_data_type* value) {
    if (auto number = amf::getNumber(value)) return std::to_string(std::llround(*number));
    return str(value);
}

TEST(SystemEndToEndTest, SystemInfoMatchesTheMachine) {
    BusEnvironment env(absentBusAddress(), absentBusAddress());
    TestHost host;
    host.startHelper(env.helperEnv());
    std::vector<Value> responses = host.call("systemInfo");
    ASSERT_EQ(responses.size(), 1u);
    const amf::amf_object* info = amf::asObject(prop(responses[0], "data"));
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->get_value().size(), 7u);
    // What the machine says, by the shell; the clock speed in binary
    // megahertz, where rounding of /proc/cpuinfo's text may move it by one.
    const std::vector<std::pair<const char*, const char*>> rows = {
        {"osVersion", "uname -r | grep -oE '^[0-9]+[.][0-9]+[.][0-9]+'"},
        {"cpuType", "case $(uname -m) in x86_64|i?86) echo 'Intel x86';; *) echo unknown;; esac"},
        {"cpuCores", "getconf _NPROCESSORS_ONLN"},
        {"systemRamMB", "awk '/^MemTotal:/ {print int($2 / 1024)}' /proc/meminfo"},
        {"cpuSpeed",
         "{ awk '{print int($1 * 1000 / 1048576)}' "
         "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq 2>/dev/null || awk -F: '/^cpu "
         "MHz/ {print int($2 * 1000000 / 1048576); exit}' /proc/cpuinfo; echo 0; } 2>/dev/null | "
         "head -1"},
    };
    for (const auto& row : rows) {
        const std::string expected = boost::algorithm::trim_copy(capture(row.second));
        const std::string got = text(info->get_property(row.first));
        if (std::string(row.first) == "cpuSpeed")
            EXPECT_NEAR(std::stod(got), std::stod(expected), 1.0) << row.first;
        else
            EXPECT_EQ(got, expected) << row.first;
    }

    EXPECT_EQ(host.quit(), 0);
}

// The commands' answers and the locks they leave to logind; buses that take
// the connection and never answer cost the start a few seconds of its own
// (the host waits 20 s for the connection), not sd-bus's 90 s per handshake.
TEST(SystemEndToEndTest, SleepCommandsThroughTheHelper) {
    PrivateBus system("system");
    LogindMock logind(system);
    SilentBus silent;
    for (const bool answering : {true, false}) {
        SCOPED_TRACE(answering);
        const BusEnvironment env(answering ? system.address() : silent.address(),
                                 answering ? absentBusAddress() : silent.address());
        TestHost host;
        host.startHelper(env.helperEnv());
        if (!answering) {
            EXPECT_EQ(answer(host, "preventSleep"), "prevent sleep failed");
            EXPECT_EQ(host.quit(), 0);
            continue;
        }
        // Answer and locks held after each command; the last lock is left to shutdown.
        for (const auto& [command, locks] : {std::pair{"allowSleep", 0},
                                             {"preventSleep", 1},
                                             {"preventSleep", 1},
                                             {"allowSleep", 0},
                                             {"preventSleep", 1}}) {
            EXPECT_EQ(answer(host, command), "true") << command;
            EXPECT_EQ(logind.waitForInhibitors(locks).size(), std::size_t(locks)) << command;
        }
        EXPECT_EQ(host.quit(), 0);
        EXPECT_TRUE(logind.waitForInhibitors(0).empty());
    }
}

}  // namespace

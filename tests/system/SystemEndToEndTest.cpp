// "systemInfo", "deviceId", "preventSleep" and "allowSleep" through the real
// helper binary.
#include <gtest/gtest.h>

#include <boost/algorithm/string/trim.hpp>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>

#include "support/TestHost.h"
#include "system/BusFixture.h"
#include "system/SystemInfo.h"

namespace {

using namespace testsupport;
using systemtest::absentBusAddress;
using systemtest::BusEnvironment;
using systemtest::LogindMock;
using systemtest::PrivateBus;
using systemtest::ScreenSaverMock;

// The data of the one response of a single-answer command; borrowed from
// responses.
const amf::amf0_data_type* onlyData(const std::vector<Value>& responses) {
    EXPECT_EQ(responses.size(), 1u);
    if (responses.size() != 1 || !isDone(responses[0])) return nullptr;
    return prop(responses[0], "data");
}

bool answeredTrue(const std::vector<Value>& responses) {
    const amf::amf0_data_type* data = onlyData(responses);
    return data != nullptr && data->get_type() == amf::AMF_BOOLEAN && boolean(data);
}

std::string errorText(const std::vector<Value>& responses) {
    return str(prop(onlyData(responses), "error"));
}

std::string firstLine(const std::string& command) {
    return boost::algorithm::trim_copy(capture(command));
}

TEST(SystemEndToEndTest, SystemInfoMatchesTheMachine) {
    BusEnvironment env(absentBusAddress(), absentBusAddress());
    TestHost host;
    host.startHelper(env.helperEnv());
    std::vector<Value> responses = host.call("systemInfo");
    const amf::amf0_data_type* info = onlyData(responses);
    ASSERT_NE(info, nullptr);
    ASSERT_EQ(info->get_type(), amf::AMF_OBJECT);
    const auto& entries = static_cast<const amf::amf_object*>(info)->get_value();
    std::set<std::string> keys;
    for (const auto& entry : entries) keys.insert(entry.first.get_value());
    EXPECT_EQ(keys, (std::set<std::string>{"osType", "osVersion", "cpuType", "cpuSpeed", "cpuCores",
                                           "systemRamMB", "diskSizeMB"}));
    for (const char* key : {"osType", "osVersion", "cpuType"})
        EXPECT_EQ(prop(info, key)->get_type(), amf::AMF_STRING) << key;
    for (const char* key : {"cpuSpeed", "cpuCores", "systemRamMB", "diskSizeMB"})
        EXPECT_EQ(prop(info, key)->get_type(), amf::AMF_NUMBER) << key;

    EXPECT_EQ(str(prop(info, "osType")), "linux");
    long major = -1, minor = -1, bugFix = -1;
    ASSERT_EQ(std::sscanf(firstLine("uname -r").c_str(), "%ld.%ld.%ld", &major, &minor, &bugFix),
              3);
    EXPECT_EQ(str(prop(info, "osVersion")),
              std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(bugFix));
    std::string machine = firstLine("uname -m");
    if (machine == "x86_64" || machine == "i686" || machine == "i586" || machine == "i486" ||
        machine == "i386")
        EXPECT_EQ(str(prop(info, "cpuType")), "Intel x86");
    else
        EXPECT_EQ(str(prop(info, "cpuType")), "unknown");
    // Hardware threads online; nproc may show fewer when affinity is restricted.
    double cores = num(prop(info, "cpuCores"));
    EXPECT_EQ(cores, std::atof(firstLine("getconf _NPROCESSORS_ONLN").c_str()));
    EXPECT_GE(cores, std::atof(firstLine("nproc").c_str()));
    double memTotalKb = std::atof(firstLine("awk '/^MemTotal:/ {print $2}' /proc/meminfo").c_str());
    EXPECT_EQ(num(prop(info, "systemRamMB")),
              static_cast<double>(static_cast<long long>(memTotalKb) / 1024));
    EXPECT_EQ(num(prop(info, "diskSizeMB")), -1);

    std::string maxKhz =
        firstLine("cat /sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq 2>/dev/null");
    std::string mhz = firstLine("awk -F: '/^cpu MHz/ {print $2; exit}' /proc/cpuinfo");
    double hz = !maxKhz.empty() ? std::atof(maxKhz.c_str()) * 1000
                                : (!mhz.empty() ? std::atof(mhz.c_str()) * 1e6 : 0);
    // Rounding of the MHz text may move the result across one boundary.
    EXPECT_NEAR(num(prop(info, "cpuSpeed")), std::floor(hz / 1048576), 1.0);
    EXPECT_EQ(host.quit(), 0);
}

TEST(SystemEndToEndTest, DeviceIdIsStableHexAndTraced) {
    BusEnvironment env(absentBusAddress(), absentBusAddress());
    std::string ids[2];
    for (std::string& id : ids) {
        TestHost host;
        host.startHelper(env.helperEnv());
        std::vector<Value> responses = host.call("deviceId");
        const amf::amf0_data_type* data = onlyData(responses);
        ASSERT_NE(data, nullptr);
        ASSERT_EQ(data->get_type(), amf::AMF_STRING);
        id = str(data);
        EXPECT_EQ(host.quit(), 0);
        std::string out = host.helper().out();
        EXPECT_NE(out.find("\nObtaining Mac did\n"), std::string::npos) << out;
        bool preferred = out.find("m_did=" + id + "\n") != std::string::npos;
        bool fallback = out.find("m_didNil=" + id + "\n") != std::string::npos;
        EXPECT_TRUE(preferred || fallback) << out;
    }
    EXPECT_EQ(ids[0].size(), 40u);
    EXPECT_EQ(ids[0].find_first_not_of("0123456789abcdef"), std::string::npos) << ids[0];
    EXPECT_EQ(ids[0], ids[1]);
    testing::internal::CaptureStdout();
    std::string inProcess = Quorvel::System::SystemInfo::getDeviceId();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ids[0], inProcess);
}

TEST(SystemEndToEndTest, PreventAndAllowHoldOneLogindLock) {
    PrivateBus system("system");
    LogindMock logind(system);
    BusEnvironment env(system.address(), absentBusAddress());
    TestHost host;
    host.startHelper(env.helperEnv());

    EXPECT_TRUE(answeredTrue(host.call("allowSleep")));
    EXPECT_TRUE(logind.inhibitors().empty());
    EXPECT_TRUE(answeredTrue(host.call("preventSleep")));
    std::vector<systemtest::Inhibitor> locks = logind.waitForInhibitors(1);
    ASSERT_EQ(locks.size(), 1u);
    EXPECT_EQ(locks[0].what, "idle:sleep");
    EXPECT_EQ(locks[0].who, "ostra-native");
    EXPECT_EQ(locks[0].why, "Lumasond is busy");
    EXPECT_EQ(locks[0].mode, "block");

    EXPECT_TRUE(answeredTrue(host.call("preventSleep")));
    EXPECT_EQ(logind.inhibitors().size(), 1u);
    EXPECT_TRUE(answeredTrue(host.call("allowSleep")));
    EXPECT_TRUE(logind.waitForInhibitors(0).empty());
    EXPECT_TRUE(answeredTrue(host.call("allowSleep")));

    // Shutdown gives up a held lock.
    EXPECT_TRUE(answeredTrue(host.call("preventSleep")));
    EXPECT_EQ(logind.waitForInhibitors(1).size(), 1u);
    EXPECT_EQ(host.quit(), 0);
    EXPECT_TRUE(logind.waitForInhibitors(0).empty());
}

TEST(SystemEndToEndTest, ConcurrentRequestsTakeTheLockOnce) {
    PrivateBus system("system");
    LogindMock logind(system);
    BusEnvironment env(system.address(), absentBusAddress());
    TestHost host;
    host.startHelper(env.helperEnv());

    auto burst = [&host](const std::vector<std::string>& commands) {
        for (std::size_t i = 0; i < commands.size(); ++i) host.send(commands[i], 100 + i);
        int trues = 0;
        for (std::size_t i = 0; i < commands.size(); ++i) {
            Value response = host.readResponse();
            if (response && boolean(prop(response, "data"))) ++trues;
        }
        return trues;
    };
    EXPECT_EQ(burst(std::vector<std::string>(8, "preventSleep")), 8);
    EXPECT_EQ(logind.waitForInhibitors(1).size(), 1u);
    EXPECT_EQ(burst(std::vector<std::string>(8, "allowSleep")), 8);
    EXPECT_TRUE(logind.waitForInhibitors(0).empty());
    std::vector<std::string> mixed;
    for (int i = 0; i < 6; ++i) {
        mixed.push_back("preventSleep");
        mixed.push_back("allowSleep");
    }
    EXPECT_EQ(burst(mixed), 12);
    EXPECT_TRUE(answeredTrue(host.call("allowSleep")));
    EXPECT_TRUE(logind.waitForInhibitors(0).empty());
    EXPECT_EQ(host.quit(), 0);
}

TEST(SystemEndToEndTest, LogindGoneAfterStartFailsPrevent) {
    PrivateBus system("system");
    LogindMock logind(system);
    BusEnvironment env(system.address(), absentBusAddress());
    TestHost host;
    host.startHelper(env.helperEnv());
    logind.stop();
    EXPECT_EQ(errorText(host.call("preventSleep")), "prevent sleep failed");
    EXPECT_TRUE(answeredTrue(host.call("allowSleep")));
    EXPECT_EQ(host.quit(), 0);
}

TEST(SystemEndToEndTest, NoBusAtAllRefusesToPreventSleep) {
    BusEnvironment env(absentBusAddress(), absentBusAddress());
    TestHost host;
    host.startHelper(env.helperEnv());
    EXPECT_TRUE(answeredTrue(host.call("allowSleep")));
    EXPECT_EQ(errorText(host.call("preventSleep")), "prevent sleep failed");
    EXPECT_TRUE(answeredTrue(host.call("allowSleep")));
    EXPECT_EQ(host.quit(), 0);
}

TEST(SystemEndToEndTest, ScreenSaverOnlyReportsActivityAndQuitsPromptly) {
    PrivateBus session("session");
    ScreenSaverMock screenSaver(session);
    BusEnvironment env(absentBusAddress(), session.address());
    TestHost host;
    host.startHelper(env.helperEnv());
    EXPECT_TRUE(answeredTrue(host.call("preventSleep")));
    EXPECT_GE(screenSaver.waitForActivityReports(1), 1);
    // The loop is waiting for its next report, 25 seconds away; QUIT must
    // not wait for it (quit gives up after 20 seconds).
    EXPECT_EQ(host.quit(), 0);
}

}  // namespace

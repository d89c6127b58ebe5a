#include <gtest/gtest.h>

#include <algorithm>

#include "platform/os/FakeMachineTree.h"
#include "system/SystemInfo.h"

namespace {

using Quorvel::System::SystemInfo;
using Quorvel::System::Platform::MachineFacts;

// SHA-1 of bytes followed by the salt, computed by the openssl command.
std::string opensslDigest(const std::string& bytes) {
    testsupport::TempDir dir;
    std::string input = bytes;
    input.append(reinterpret_cast<const char*>(Quorvel::System::kDeviceIdSalt), 16);
    testsupport::writeFile(dir / "input", input);
    std::string out = testsupport::capture("openssl dgst -sha1 -r '" + (dir / "input") + "'");
    return out.substr(0, out.find(' '));
}

std::string deviceIdQuietly(const MachineFacts& facts, std::string* trace = nullptr) {
    testing::internal::CaptureStdout();
    std::string id = SystemInfo::getDeviceId(facts);
    std::string printed = testing::internal::GetCapturedStdout();
    if (trace != nullptr) *trace = printed;
    return id;
}

bool isDigestText(const std::string& text) {
    return text.size() == 40 && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

TEST(SystemInfoTest, DeviceIdHashesThePlatformUuidBytesAndSalt) {
    ostest::FakeMachineTree tree;
    tree.productUuid("4C4C4544-0042-3510-8051-B4C04F563532");
    tree.interface("eth0", "52:54:00:ab:cd:01");
    std::string trace;
    std::string id = deviceIdQuietly(MachineFacts(tree.root()), &trace);
    EXPECT_TRUE(isDigestText(id)) << id;
    std::string uuidBytes("\x4c\x4c\x45\x44\x00\x42\x35\x10\x80\x51\xb4\xc0\x4f\x56\x35\x32", 16);
    EXPECT_EQ(id, opensslDigest(uuidBytes));
    EXPECT_EQ(trace,
              "\nObtaining Mac did\n"
              "m_plid=4C4C4544-0042-3510-8051-B4C04F563532\n"
              "m_didUD=4c4c4544-0042-3510-8051-b4c04f563532\n"
              "m_did=" +
                  id + "\n");
}

TEST(SystemInfoTest, SameUuidSameIdWhateverTheMac) {
    ostest::FakeMachineTree first, second;
    first.machineId("3d1219c7c4c5404aaa1f6d2a48adfda4");
    first.interface("eth0", "52:54:00:ab:cd:01");
    second.machineId("3d1219c7-c4c5-404a-aa1f-6d2a48adfda4");
    second.interface("eth0", "52:54:00:ab:cd:99");
    second.serial("OTHER");
    std::string id = deviceIdQuietly(MachineFacts(first.root()));
    EXPECT_EQ(id, deviceIdQuietly(MachineFacts(first.root())));
    EXPECT_EQ(id, deviceIdQuietly(MachineFacts(second.root())));

    ostest::FakeMachineTree other;
    other.machineId("3d1219c7c4c5404aaa1f6d2a48adfda5");
    EXPECT_NE(id, deviceIdQuietly(MachineFacts(other.root())));
}

TEST(SystemInfoTest, FallsBackToMacAndSerialWithoutAUsableUuid) {
    ostest::FakeMachineTree tree;
    tree.interface("eth0", "52:54:00:ab:cd:01");
    tree.serial("C02XK1ABJGH5");
    std::string expected = opensslDigest("525400abcd01C02XK1ABJGH5");

    std::string trace;
    EXPECT_EQ(deviceIdQuietly(MachineFacts(tree.root()), &trace), expected);
    EXPECT_EQ(trace,
              "\nObtaining Mac did\n"
              "m_didMAS=525400abcd01\n"
              "m_didMSN=C02XK1ABJGH5\n"
              "m_didNil=" +
                  expected + "\n");

    tree.machineId("uninitialized");
    testing::internal::CaptureStdout();
    EXPECT_TRUE(SystemInfo::getVolumeId(MachineFacts(tree.root())).is_nil());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "m_plid=uninitialized\n");
    EXPECT_EQ(deviceIdQuietly(MachineFacts(tree.root()), &trace), expected);
    EXPECT_EQ(trace.find("\nObtaining Mac did\nm_plid=uninitialized\nm_didMAS="), 0u);

    tree.productUuid("00000000-0000-0000-0000-000000000000");
    EXPECT_EQ(deviceIdQuietly(MachineFacts(tree.root())), expected);
}

TEST(SystemInfoTest, BareMachineHashesInternalError) {
    ostest::FakeMachineTree tree;
    EXPECT_EQ(SystemInfo::getMacAddress(MachineFacts(tree.root())), "internalerror");
    EXPECT_EQ(deviceIdQuietly(MachineFacts(tree.root())), opensslDigest("internalerror"));
}

TEST(SystemInfoTest, OsVersionTextOrUnknown) {
    ostest::FakeMachineTree tree;
    EXPECT_EQ(SystemInfo::getOsVersion(MachineFacts(tree.root())), "unknown");
    tree.osRelease("6.1");
    EXPECT_EQ(SystemInfo::getOsVersion(MachineFacts(tree.root())), "unknown");
    tree.osRelease("6.1.0-13-amd64");
    EXPECT_EQ(SystemInfo::getOsVersion(MachineFacts(tree.root())), "6.1.0");
}

TEST(SystemInfoTest, ProcessorFamilyTable) {
    using Quorvel::System::cpuTypeForCode;
    EXPECT_EQ(cpuTypeForCode("i486"), "Intel 486");
    EXPECT_EQ(cpuTypeForCode("i586"), "Intel Pentium");
    EXPECT_EQ(cpuTypeForCode("i5pr"), "Intel Pentium Pro");
    EXPECT_EQ(cpuTypeForCode("i5ii"), "Intel Pentium II");
    EXPECT_EQ(cpuTypeForCode("i5iv"), "Intel Pentium 4");
    EXPECT_EQ(cpuTypeForCode("ixxx"), "Intel x86");
    EXPECT_EQ(cpuTypeForCode("ppc7"), "unknown");
    EXPECT_EQ(cpuTypeForCode(""), "unknown");
}

TEST(SystemInfoTest, ClockSpeedAndMemory) {
    ostest::FakeMachineTree tree;
    EXPECT_EQ(SystemInfo::getCPUSpeedMHz(MachineFacts(tree.root())), 0u);
    EXPECT_EQ(SystemInfo::getMBytesRAM(MachineFacts(tree.root())), -1);
    tree.put("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "2400000\n");
    EXPECT_EQ(SystemInfo::getCPUSpeedMHz(MachineFacts(tree.root())), 2288u);
    tree.put("/proc/meminfo", "MemTotal:        8388608 kB\n");
    EXPECT_EQ(SystemInfo::getMBytesRAM(MachineFacts(tree.root())), 8192);
    EXPECT_EQ(SystemInfo::getMBytesHD(), -1);
    EXPECT_EQ(SystemInfo::getOsType(), "linux");
}

}  // namespace

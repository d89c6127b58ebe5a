#include "platform/os/MachineFacts.h"

#include <gtest/gtest.h>

#include "platform/os/FakeMachineTree.h"

namespace {

using Ostra::os::MachineFacts;
using Ostra::os::parseKernelRelease;

std::string macText(const MachineFacts& facts) {
    std::array<unsigned char, 6> mac;
    if (!facts.primaryEthernetMac(mac)) return "none";
    char text[13];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return text;
}

TEST(MachineFactsTest, KernelReleaseNumbers) {
    const struct {
        const char* release;
        bool ok;
        long major, minor, bugFix;
    } rows[] = {{"6.1.0-13-amd64", true, 6, 1, 0},
                {"5.15.167", true, 5, 15, 167},
                {"6.8", false, 0, 0, 0},
                {"6.x.1", false, 0, 0, 0},
                {"", false, 0, 0, 0},
                {"-1.2.3", false, 0, 0, 0}};
    for (const auto& row : rows) {
        long major = 0, minor = 0, bugFix = 0;
        EXPECT_EQ(row.ok, parseKernelRelease(row.release, major, minor, bugFix)) << row.release;
        if (row.ok) {
            EXPECT_EQ(row.major * 10000 + row.minor * 100 + row.bugFix,
                      major * 10000 + minor * 100 + bugFix)
                << row.release;
        }
    }
}

TEST(MachineFactsTest, OsVersionFromTheRunningKernelFile) {
    ostest::FakeMachineTree tree;
    long major = 0, minor = 0, bugFix = 0;
    EXPECT_FALSE(MachineFacts(tree.root()).osVersion(major, minor, bugFix));
    tree.osRelease("6.18.44-fc-v1300");
    ASSERT_TRUE(MachineFacts(tree.root()).osVersion(major, minor, bugFix));
    EXPECT_EQ(major * 10000 + minor * 100 + bugFix, 61844);
}

TEST(MachineFactsTest, ClockRatePrefersTheCpufreqMaximum) {
    ostest::FakeMachineTree tree;
    EXPECT_EQ(MachineFacts(tree.root()).processorClockHz(), 0u);
    tree.put("/proc/cpuinfo", "processor\t: 0\nmodel name\t: Test CPU\ncpu MHz\t\t: 2596.144\n");
    EXPECT_EQ(MachineFacts(tree.root()).processorClockHz(), 2596144000u);
    // 4.8 GHz does not fit 32 bits.
    tree.put("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "4800000\n");
    EXPECT_EQ(MachineFacts(tree.root()).processorClockHz(), 4800000000ull);
    tree.put("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq", "garbage\n");
    EXPECT_EQ(MachineFacts(tree.root()).processorClockHz(), 2596144000u);
    tree.put("/proc/cpuinfo", "cpu MHz\t\t: lots\n");
    EXPECT_EQ(MachineFacts(tree.root()).processorClockHz(), 0u);
}

TEST(MachineFactsTest, MemoryInMegabytes) {
    ostest::FakeMachineTree tree;
    EXPECT_EQ(MachineFacts(tree.root()).physicalMemoryMB(), -1);
    tree.put("/proc/meminfo", "MemTotal:       24683772 kB\nMemFree:        24198036 kB\n");
    EXPECT_EQ(MachineFacts(tree.root()).physicalMemoryMB(), 24683772 / 1024);
    tree.put("/proc/meminfo", "MemTotal:       many kB\n");
    EXPECT_EQ(MachineFacts(tree.root()).physicalMemoryMB(), -1);
}

TEST(MachineFactsTest, PlatformUuidFromFirmwareElseMachineId) {
    ostest::FakeMachineTree tree;
    std::string text;
    EXPECT_FALSE(MachineFacts(tree.root()).platformUuidText(text));
    tree.machineId("3d1219c7c4c5404aaa1f6d2a48adfda4");
    ASSERT_TRUE(MachineFacts(tree.root()).platformUuidText(text));
    EXPECT_EQ(text, "3d1219c7c4c5404aaa1f6d2a48adfda4");
    tree.productUuid("4C4C4544-0042-3510-8051-B4C04F563532");
    ASSERT_TRUE(MachineFacts(tree.root()).platformUuidText(text));
    EXPECT_EQ(text, "4C4C4544-0042-3510-8051-B4C04F563532");
}

TEST(MachineFactsTest, SerialNumber) {
    ostest::FakeMachineTree tree;
    std::string serial;
    EXPECT_FALSE(MachineFacts(tree.root()).serialNumber(serial));
    tree.serial("  ");
    EXPECT_FALSE(MachineFacts(tree.root()).serialNumber(serial));
    tree.serial("C02XK1ABJGH5");
    ASSERT_TRUE(MachineFacts(tree.root()).serialNumber(serial));
    EXPECT_EQ(serial, "C02XK1ABJGH5");
}

TEST(MachineFactsTest, PrimaryEthernetIsTheDefaultRouteInterface) {
    ostest::FakeMachineTree tree;
    tree.interface("enp0s31f6", "8c:16:45:00:00:01");
    tree.interface("enp3s0", "8c:16:45:00:00:02");
    tree.interface("lo", "00:00:00:00:00:00", 772, false);
    tree.routes(
        "enp0s31f6 00000000 00000000 600\n"
        "enp3s0 00000000 00000000 100\n"
        "enp3s0 0000A8C0 00FFFFFF 100");
    MachineFacts facts(tree.root());
    EXPECT_EQ(facts.primaryEthernetName(), "enp3s0");
    EXPECT_EQ(macText(facts), "8c1645000002");
}

TEST(MachineFactsTest, FirstPhysicalEthernetByNameWhenTheRouteIsNotEthernet) {
    ostest::FakeMachineTree tree;
    tree.interface("wg0", "00:00:00:00:00:00", 65534, false);
    tree.interface("eth1", "52:54:00:AB:CD:02");
    tree.interface("eth0", "52:54:00:ab:cd:01");
    tree.interface("br0", "02:42:ac:11:00:01", 1, false);
    tree.interface("eth2", "00:00:00:00:00:00");
    tree.routes("wg0 00000000 00000000 0");
    MachineFacts facts(tree.root());
    EXPECT_EQ(facts.primaryEthernetName(), "eth0");
    EXPECT_EQ(macText(facts), "525400abcd01");

    ostest::FakeMachineTree virtualOnly;
    virtualOnly.interface("br0", "02:42:ac:11:00:01", 1, false);
    EXPECT_EQ(macText(MachineFacts(virtualOnly.root())), "none");
}

TEST(MachineFactsTest, MalformedFactsAreIgnored) {
    ostest::FakeMachineTree tree;
    tree.interface("eth0", "52:54:00:ab:cd");
    tree.interface("eth1", "52-54-00-ab-cd-01");
    tree.put("/proc/net/route", "Iface\nthis is not a route table\n");
    EXPECT_EQ(macText(MachineFacts(tree.root())), "none");
}

}  // namespace

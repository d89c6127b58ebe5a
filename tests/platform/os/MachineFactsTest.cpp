// The machine facts over prepared /proc, /sys and /etc trees. The kernel
// release, platform UUID and machine id are held against the device id and
// the system facts in the system tests.
#include "platform/os/MachineFacts.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/os/FakeMachineTree.h"

namespace {

using Ostra::os::MachineFacts;

// Each fact as text, "none" where the machine gives none.
std::string clockHz(const MachineFacts& facts) {
    return std::to_string(facts.processorClockHz());
}
std::string memoryMB(const MachineFacts& facts) {
    return std::to_string(facts.physicalMemoryMB());
}
std::string serialNumber(const MachineFacts& facts) {
    std::string text;
    return facts.serialNumber(text) ? text : "none";
}
std::string ethernet(const MachineFacts& facts) {
    std::array<unsigned char, 6> mac;
    if (!facts.primaryEthernetMac(mac)) return "none";
    char text[13];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return facts.primaryEthernetName() + " " + text;
}

TEST(MachineFactsTest, FactsFromTheirFiles) {
    const std::string cpuinfo = "/proc/cpuinfo", meminfo = "/proc/meminfo";
    const std::string maxFreq = "/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq";
    const std::string serial = "/sys/class/dmi/id/product_serial";
    const std::string mhz = "processor\t: 0\nmodel name\t: Test CPU\ncpu MHz\t\t: 2596.144\n";
    const struct {
        std::vector<std::pair<std::string, std::string>> files;
        std::function<std::string(const MachineFacts&)> fact;
        std::string expected;
    } rows[] = {
        {{}, clockHz, "0"},
        {{{cpuinfo, mhz}}, clockHz, "2596144000"},
        // The cpufreq maximum comes first; 4.8 GHz does not fit 32 bits.
        {{{cpuinfo, mhz}, {maxFreq, "4800000\n"}}, clockHz, "4800000000"},
        {{{cpuinfo, mhz}, {maxFreq, "garbage\n"}}, clockHz, "2596144000"},
        {{{cpuinfo, "cpu MHz\t\t: lots\n"}}, clockHz, "0"},
        {{{meminfo, "MemTotal:       24683772 kB\nMemFree:        24198036 kB\n"}},
         memoryMB,
         "24105"},
        {{{meminfo, "MemTotal:       many kB\n"}}, memoryMB, "-1"},
        {{{serial, "  \n"}}, serialNumber, "none"},
    };
    for (const auto& row : rows) {
        ostest::FakeMachineTree tree;
        std::string files;
        for (const auto& file : row.files) {
            tree.put(file.first, file.second);
            files += file.first + "=" + file.second;
        }
        EXPECT_EQ(row.expected, row.fact(MachineFacts(tree.root()))) << files;
    }
}

TEST(MachineFactsTest, PrimaryEthernetIsTheDefaultRouteInterface) {
    ostest::FakeMachineTree tree;
    tree.interface("enp0s31f6", "8c:16:45:00:00:01");
    tree.interface("enp3s0", "8c:16:45:00:00:02");
    tree.interface("lo", "00:00:00:00:00:00", 772, false);
    tree.routes({{"enp0s31f6", "00000000", "00000000", "600"},
                 {"enp3s0", "00000000", "00000000", "100"},
                 {"enp3s0", "0000A8C0", "00FFFFFF", "100"}});
    EXPECT_EQ("enp3s0 8c1645000002", ethernet(MachineFacts(tree.root())));
}

// Without an Ethernet default route: the first physical Ethernet by name.
TEST(MachineFactsTest, FirstPhysicalEthernetByNameWhenTheRouteIsNotEthernet) {
    ostest::FakeMachineTree tree;
    tree.interface("wg0", "00:00:00:00:00:00", 65534, false);
    tree.interface("eth1", "52:54:00:AB:CD:02");
    tree.interface("eth0", "52:54:00:ab:cd:01");
    tree.interface("br0", "02:42:ac:11:00:01", 1, false);
    tree.interface("eth2", "00:00:00:00:00:00");
    tree.routes({{"wg0", "00000000", "00000000", "0"}});
    EXPECT_EQ("eth0 525400abcd01", ethernet(MachineFacts(tree.root())));

    ostest::FakeMachineTree virtualOnly;
    virtualOnly.interface("br0", "02:42:ac:11:00:01", 1, false);
    EXPECT_EQ("none", ethernet(MachineFacts(virtualOnly.root())));

    ostest::FakeMachineTree malformed;
    malformed.interface("eth0", "52:54:00:ab:cd");
    malformed.interface("eth1", "52-54-00-ab-cd-01");
    malformed.put("/proc/net/route", "Iface\nthis is not a route table\n");
    EXPECT_EQ("none", ethernet(MachineFacts(malformed.root())));
}

}  // namespace

// A prepared tree of the /proc, /sys and /etc files the machine facts are read
// from, in a temporary folder; pass root() to MachineFacts.
#pragma once

#include <array>
#include <boost/filesystem.hpp>
#include <string>
#include <vector>

#include "support/TestHost.h"

namespace ostest {

class FakeMachineTree {
  public:
    const std::string& root() const { return dir_.path(); }

    void put(const std::string& relative, const std::string& contents) {
        boost::filesystem::path file(dir_.path() + relative);
        boost::filesystem::create_directories(file.parent_path());
        testsupport::writeFile(file.string(), contents);
    }

    void productUuid(const std::string& text) {
        put("/sys/class/dmi/id/product_uuid", text + "\n");
    }
    void machineId(const std::string& text) { put("/etc/machine-id", text + "\n"); }
    void serial(const std::string& text) { put("/sys/class/dmi/id/product_serial", text + "\n"); }

    // type 1 is Ethernet; physical interfaces have a device entry.
    void interface(const std::string& name, const std::string& mac, int type = 1,
                   bool physical = true) {
        std::string base = "/sys/class/net/" + name;
        put(base + "/address", mac + "\n");
        put(base + "/type", std::to_string(type) + "\n");
        if (physical) put(base + "/device/uevent", "");
    }

    // Routes as {interface, destination, mask, metric}, destination and mask in hex.
    void routes(const std::vector<std::array<std::string, 4>>& rows) {
        std::string table =
            "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
        for (const auto& row : rows) {
            table += row[0] + "\t" + row[1] + "\t010200C0\t0003\t0\t0\t" + row[3] + "\t" + row[2] +
                     "\t0\t0\t0\n";
        }
        put("/proc/net/route", table);
    }

  private:
    testsupport::TempDir dir_;
};

}  // namespace ostest

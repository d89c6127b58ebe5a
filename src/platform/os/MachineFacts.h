// Machine facts on Linux, read from the kernel's /proc and /sys files.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace Ostra::os {

// The processor family code that every x86 processor reports.
extern const char* const kProcessorFamilyX86;

// "linux": the name this platform reports as its OS type.
const char* osTypeName();

// Reads the facts afresh on every call and keeps nothing but the root folder,
// so one object may be used from any number of threads at once.
class MachineFacts {
  public:
    // root stands for "/": tests pass a prepared tree of the same files.
    explicit MachineFacts(std::string root = "/");

    // The kernel release's leading three numbers; false when the release
    // cannot be read or does not begin with three numbers.
    bool osVersion(long& major, long& minor, long& bugFix) const;
    // Four-character processor family code of the running machine.
    std::string processorFamily() const;
    // Clock rate in hertz: the cpufreq maximum of the first processor, else
    // the "cpu MHz" line of /proc/cpuinfo; 0 when neither can be read.
    std::uint64_t processorClockHz() const;
    // MemTotal of /proc/meminfo in megabytes; -1 when it cannot be read.
    std::int64_t physicalMemoryMB() const;
    // The platform UUID text (unparsed): the firmware's product UUID when
    // readable, else the systemd machine id. False when neither is there.
    bool platformUuidText(std::string& text) const;
    // The firmware's product serial number; false when unreadable or empty.
    bool serialNumber(std::string& serial) const;
    // The MAC address of the primary Ethernet interface: the interface of the
    // IPv4 default route when it is Ethernet, else the first physical
    // Ethernet interface by name. False when there is none.
    bool primaryEthernetMac(std::array<unsigned char, 6>& mac) const;
    // Name of the interface primaryEthernetMac reads; empty when none.
    std::string primaryEthernetName() const;

  private:
    std::string path(const std::string& relative) const;
    bool ethernetMac(const std::string& interface, std::array<unsigned char, 6>& mac) const;
    std::string defaultRouteInterface() const;

    std::string root_;
};

// Family code for a uname machine name ("x86_64", "i686", "aarch64", ...):
// kProcessorFamilyX86 for x86, a code outside the family table otherwise.
std::string processorFamilyForMachine(const std::string& machine);
// Parses the leading "major.minor.bugfix" of a kernel release text such as
// "6.1.0-13-amd64".
bool parseKernelRelease(const std::string& release, long& major, long& minor, long& bugFix);

}  // namespace Ostra::os

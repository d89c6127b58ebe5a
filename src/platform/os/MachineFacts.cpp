#include "platform/os/MachineFacts.h"

#include <sys/utsname.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>
#include <system_error>
#include <vector>

namespace Ostra::os {

const char* const kProcessorFamilyX86 = "ixxx";

namespace {

// The files read here are a few lines long; the bound keeps a damaged or
// unexpected file from being read without limit.
constexpr std::size_t kMaxFactFileBytes = 64 * 1024;

// From <linux/if_arp.h> and <linux/route.h>; spelled out to keep the kernel
// headers out of this file.
constexpr long kArpHardwareEthernet = 1;
constexpr unsigned long kRouteUp = 0x0001;

bool readSmallFile(const std::string& path, std::string& contents) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::vector<char> buffer(kMaxFactFileBytes);
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.bad()) return false;
    contents.assign(buffer.data(), static_cast<std::size_t>(in.gcount()));
    return true;
}

std::string trimmed(const std::string& text) {
    const char* space = " \t\r\n";
    std::size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    std::size_t last = text.find_last_not_of(space);
    return text.substr(first, last - first + 1);
}

// The file's first line, trimmed; false when unreadable or empty.
bool readFactLine(const std::string& path, std::string& value) {
    std::string contents;
    if (!readSmallFile(path, contents)) return false;
    value = trimmed(contents.substr(0, contents.find('\n')));
    return !value.empty();
}

template <typename T>
bool parseInteger(const std::string& text, T& value, int base = 10) {
    const char* end = text.data() + text.size();
    std::from_chars_result result = std::from_chars(text.data(), end, value, base);
    return result.ec == std::errc() && result.ptr == end;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// "aa:bb:cc:dd:ee:ff" to six bytes; the all-zero address counts as none.
bool parseMac(const std::string& text, std::array<unsigned char, 6>& mac) {
    if (text.size() != 17) return false;
    bool anySet = false;
    for (std::size_t i = 0; i < 6; ++i) {
        int high = hexDigit(text[i * 3]);
        int low = hexDigit(text[i * 3 + 1]);
        if (high < 0 || low < 0) return false;
        if (i < 5 && text[i * 3 + 2] != ':') return false;
        mac[i] = static_cast<unsigned char>(high * 16 + low);
        anySet = anySet || mac[i] != 0;
    }
    return anySet;
}

}  // namespace

const char* osTypeName() {
    return "linux";
}

std::string processorFamilyForMachine(const std::string& machine) {
    static const char* const x86Machines[] = {"x86_64", "i386", "i486", "i586", "i686", "x86"};
    for (const char* name : x86Machines) {
        if (machine == name) return kProcessorFamilyX86;
    }
    return "????";
}

bool parseKernelRelease(const std::string& release, long& major, long& minor, long& bugFix) {
    long numbers[3] = {0, 0, 0};
    const char* p = release.data();
    const char* end = p + release.size();
    for (int i = 0; i < 3; ++i) {
        if (i > 0) {
            if (p == end || *p != '.') return false;
            ++p;
        }
        std::from_chars_result result = std::from_chars(p, end, numbers[i]);
        if (result.ec != std::errc() || numbers[i] < 0) return false;
        p = result.ptr;
    }
    major = numbers[0];
    minor = numbers[1];
    bugFix = numbers[2];
    return true;
}

MachineFacts::MachineFacts(std::string root) : root_(std::move(root)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    if (root_ == "/") root_.clear();
}

std::string MachineFacts::path(const std::string& relative) const {
    return root_ + relative;
}

bool MachineFacts::osVersion(long& major, long& minor, long& bugFix) const {
    std::string release;
    if (!readFactLine(path("/proc/sys/kernel/osrelease"), release)) return false;
    return parseKernelRelease(release, major, minor, bugFix);
}

std::string MachineFacts::processorFamily() const {
    struct utsname names;
    if (uname(&names) != 0) return processorFamilyForMachine(std::string());
    return processorFamilyForMachine(names.machine);
}

std::uint64_t MachineFacts::processorClockHz() const {
    std::string text;
    std::uint64_t kiloHertz = 0;
    if (readFactLine(path("/sys/devices/system/cpu/cpu0/cpufreq/cpuinfo_max_freq"), text) &&
        parseInteger(text, kiloHertz) && kiloHertz > 0 &&
        kiloHertz <= std::numeric_limits<std::uint64_t>::max() / 1000) {
        return kiloHertz * 1000;
    }

    std::ifstream cpuinfo(path("/proc/cpuinfo"));
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.compare(0, 7, "cpu MHz") != 0) continue;
        std::size_t colon = line.find(':');
        if (colon == std::string::npos) return 0;
        std::string value = trimmed(line.substr(colon + 1));
        char* parsedEnd = nullptr;
        double megaHertz = std::strtod(value.c_str(), &parsedEnd);
        if (value.empty() || parsedEnd != value.c_str() + value.size()) return 0;
        // Anything beyond a terahertz is a damaged line, not a clock rate.
        if (!(megaHertz > 0 && megaHertz < 1e6)) return 0;
        return static_cast<std::uint64_t>(megaHertz * 1e6 + 0.5);
    }
    return 0;
}

std::int64_t MachineFacts::physicalMemoryMB() const {
    std::ifstream meminfo(path("/proc/meminfo"));
    std::string line;
    while (std::getline(meminfo, line)) {
        if (line.compare(0, 9, "MemTotal:") != 0) continue;
        std::istringstream fields(line.substr(9));
        std::string amount, unit;
        fields >> amount >> unit;
        std::int64_t kiloBytes = 0;
        if (unit != "kB" || !parseInteger(amount, kiloBytes) || kiloBytes < 0) return -1;
        return kiloBytes / 1024;
    }
    return -1;
}

bool MachineFacts::platformUuidText(std::string& text) const {
    // product_uuid is readable by root only; the machine id stands in for it
    // elsewhere, so the identifier stays stable for ordinary users too.
    return readFactLine(path("/sys/class/dmi/id/product_uuid"), text) ||
           readFactLine(path("/etc/machine-id"), text);
}

bool MachineFacts::serialNumber(std::string& serial) const {
    return readFactLine(path("/sys/class/dmi/id/product_serial"), serial);
}

bool MachineFacts::ethernetMac(const std::string& interface,
                               std::array<unsigned char, 6>& mac) const {
    if (interface.empty() || interface.find('/') != std::string::npos) return false;
    std::string base = path("/sys/class/net/") + interface;
    std::string type, address;
    long typeCode = 0;
    if (!readFactLine(base + "/type", type) || !parseInteger(type, typeCode) ||
        typeCode != kArpHardwareEthernet) {
        return false;
    }
    return readFactLine(base + "/address", address) && parseMac(address, mac);
}

std::string MachineFacts::defaultRouteInterface() const {
    // Columns: Iface Destination Gateway Flags RefCnt Use Metric Mask ...
    std::ifstream routes(path("/proc/net/route"));
    std::string line;
    std::getline(routes, line);  // header
    std::string best;
    long bestMetric = std::numeric_limits<long>::max();
    while (std::getline(routes, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refCount, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refCount >> use >> metric >>
              mask)) {
            continue;
        }
        unsigned long flagBits = 0;
        long metricValue = 0;
        if (destination != "00000000" || mask != "00000000") continue;
        if (!parseInteger(flags, flagBits, 16) || (flagBits & kRouteUp) == 0) continue;
        if (!parseInteger(metric, metricValue)) continue;
        if (metricValue < bestMetric) {
            best = iface;
            bestMetric = metricValue;
        }
    }
    return best;
}

std::string MachineFacts::primaryEthernetName() const {
    std::array<unsigned char, 6> mac;
    std::string routed = defaultRouteInterface();
    if (ethernetMac(routed, mac)) return routed;

    // Physical interfaces have a device link; bridges, tunnels and other
    // virtual interfaces do not, and their addresses may change.
    std::vector<std::string> names;
    std::error_code error;
    std::filesystem::directory_iterator it(path("/sys/class/net"), error), end;
    for (; !error && it != end; it.increment(error)) {
        std::string name = it->path().filename().string();
        if (std::filesystem::exists(it->path() / "device", error) && ethernetMac(name, mac)) {
            names.push_back(name);
        }
        error.clear();
    }
    if (names.empty()) return std::string();
    return *std::min_element(names.begin(), names.end());
}

bool MachineFacts::primaryEthernetMac(std::array<unsigned char, 6>& mac) const {
    return ethernetMac(primaryEthernetName(), mac);
}

}  // namespace Ostra::os

#include "system/SystemInfo.h"

#include <array>
#include <boost/thread/exceptions.hpp>
#include <boost/thread/thread.hpp>
#include <boost/uuid/nil_generator.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <exception>

#include "lib/openssl/Sha1.h"
#include "util/Trace.h"

namespace Quorvel::System {

const unsigned char kDeviceIdSalt[16] = {0x5d, 0x1e, 0xa7, 0x33, 0xc2, 0x08, 0x9f, 0x64,
                                         0x2b, 0xe1, 0x70, 0x4c, 0x96, 0x0d, 0xb8, 0x57};

namespace {

const char* const kUnknown = "unknown";
const char* const kInternalError = "internalerror";

// One trace line, written whole, so concurrent requests interleave by lines.
void trace(const std::string& line) {
    Ostra::util::writeOutputLine(line + "\n");
}

// The digest text of SHA-1 over input followed by the salt; false when the
// digest cannot be made.
bool saltedDigest(std::string input, std::string& text) {
    input.append(reinterpret_cast<const char*>(kDeviceIdSalt), sizeof kDeviceIdSalt);
    std::string digest = Ostra::openssl::sha1Text(input);
    if (digest.empty()) return false;
    text = digest;
    return true;
}

}  // namespace

std::string cpuTypeForCode(const std::string& code) {
    static const struct {
        const char* code;
        const char* name;
    } families[] = {
        {"i486", "Intel 486"},        {"i586", "Intel Pentium"},   {"i5pr", "Intel Pentium Pro"},
        {"i5ii", "Intel Pentium II"}, {"i5iv", "Intel Pentium 4"}, {"ixxx", "Intel x86"},
    };
    for (const auto& family : families) {
        if (code == family.code) return family.name;
    }
    return kUnknown;
}

bool getMacSerialNum(const Ostra::os::MachineFacts& facts, std::string& serial) {
    serial.clear();
    if (facts.serialNumber(serial)) return true;
    serial.clear();
    return false;
}

bool getMacSerialNum(std::string& serial) {
    return getMacSerialNum(Ostra::os::MachineFacts(), serial);
}

std::string SystemInfo::getOsType() {
    return Ostra::os::osTypeName();
}

std::string SystemInfo::getOsVersion(const Ostra::os::MachineFacts& facts) {
    long major = 0, minor = 0, bugFix = 0;
    if (!facts.osVersion(major, minor, bugFix)) return kUnknown;
    char text[64];
    std::snprintf(text, sizeof text, "%ld.%ld.%ld", major, minor, bugFix);
    return text;
}

std::string SystemInfo::getOsVersion() {
    return getOsVersion(Ostra::os::MachineFacts());
}

std::string SystemInfo::getCPUType() {
    return cpuTypeForCode(Ostra::os::MachineFacts().processorFamily());
}

unsigned int SystemInfo::getCPUSpeedMHz(const Ostra::os::MachineFacts& facts) {
    std::uint64_t speed = facts.processorClockHz() >> 20;
    return speed > UINT_MAX ? UINT_MAX : static_cast<unsigned int>(speed);
}

unsigned int SystemInfo::getCPUSpeedMHz() {
    return getCPUSpeedMHz(Ostra::os::MachineFacts());
}

int SystemInfo::getMBytesRAM(const Ostra::os::MachineFacts& facts) {
    std::int64_t megaBytes = facts.physicalMemoryMB();
    if (megaBytes < 0) return -1;
    return megaBytes > INT_MAX ? INT_MAX : static_cast<int>(megaBytes);
}

int SystemInfo::getMBytesRAM() {
    return getMBytesRAM(Ostra::os::MachineFacts());
}

int SystemInfo::getMBytesHD() {
    return -1;
}

std::string SystemInfo::getMacAddress(const Ostra::os::MachineFacts& facts) {
    std::array<unsigned char, 6> mac;
    if (!facts.primaryEthernetMac(mac)) return kInternalError;
    char text[13];
    std::snprintf(text, sizeof text, "%02x%02x%02x%02x%02x%02x", mac[0], mac[1], mac[2], mac[3],
                  mac[4], mac[5]);
    return text;
}

std::string SystemInfo::getMacAddress() {
    return getMacAddress(Ostra::os::MachineFacts());
}

boost::uuids::uuid SystemInfo::getVolumeId(const Ostra::os::MachineFacts& facts) {
    boost::uuids::uuid id = boost::uuids::nil_uuid();
    std::string text;
    if (!facts.platformUuidText(text)) return id;
    trace("m_plid=" + text);
    try {
        id = boost::uuids::string_generator()(text);
    } catch (const std::exception&) {
        id = boost::uuids::nil_uuid();
    }
    return id;
}

boost::uuids::uuid SystemInfo::getVolumeId() {
    return getVolumeId(Ostra::os::MachineFacts());
}

std::string SystemInfo::getDeviceId(const Ostra::os::MachineFacts& facts) {
    trace("");
    trace("Obtaining Mac did");
    boost::uuids::uuid volumeId = getVolumeId(facts);
    std::string deviceId = kInternalError;
    try {
        if (!volumeId.is_nil()) {
            trace("m_didUD=" + boost::uuids::to_string(volumeId));
            saltedDigest(std::string(volumeId.begin(), volumeId.end()), deviceId);
            trace("m_did=" + deviceId);
        } else {
            std::string mac = getMacAddress(facts);
            std::string serial;
            getMacSerialNum(facts, serial);
            trace("m_didMAS=" + mac);
            trace("m_didMSN=" + serial);
            saltedDigest(mac + serial, deviceId);
            trace("m_didNil=" + deviceId);
        }
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (const std::exception&) {
        // The identifier stays "internalerror" unless the digest was made.
    }
    return deviceId;
}

std::string SystemInfo::getDeviceId() {
    return getDeviceId(Ostra::os::MachineFacts());
}

}  // namespace Quorvel::System

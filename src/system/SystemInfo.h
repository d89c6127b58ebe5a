// Machine queries: OS, processor, memory and the stable device identifier.
#pragma once

#include <boost/uuid/uuid.hpp>
#include <string>

#include "platform/os/MachineFacts.h"

namespace Quorvel::System {

// Appended to both device-identifier inputs; part of the identifier, so it
// never changes.
extern const unsigned char kDeviceIdSalt[16];

// Every query reads the machine afresh and keeps no state, so all of them may
// run on several threads at once. The overloads taking MachineFacts read a
// given tree instead of the live system.
class SystemInfo {
  public:
    static std::string getOsType();
    // "major.minor.bugfix", or "unknown".
    static std::string getOsVersion();
    static std::string getOsVersion(const Ostra::os::MachineFacts& facts);
    // Processor family name, or "unknown".
    static std::string getCPUType();
    // The clock rate in hertz divided by 2^20; 0 when unknown.
    static unsigned int getCPUSpeedMHz();
    static unsigned int getCPUSpeedMHz(const Ostra::os::MachineFacts& facts);
    // Physical memory in megabytes; -1 when unknown.
    static int getMBytesRAM();
    static int getMBytesRAM(const Ostra::os::MachineFacts& facts);
    // Always -1: the disk size is not measured.
    static int getMBytesHD();
    // The primary Ethernet MAC address as 12 lowercase hex digits, or "internalerror".
    static std::string getMacAddress();
    static std::string getMacAddress(const Ostra::os::MachineFacts& facts);
    // The platform UUID, or the nil UUID when there is none or it does not parse.
    static boost::uuids::uuid getVolumeId();
    static boost::uuids::uuid getVolumeId(const Ostra::os::MachineFacts& facts);
    // 40 lowercase hex digits of SHA-1 over the platform UUID's bytes and the
    // salt, or over the MAC text, the serial number and the salt when there is
    // no platform UUID; "internalerror" when the digest cannot be made.
    // Writes its trace lines to standard output.
    static std::string getDeviceId();
    static std::string getDeviceId(const Ostra::os::MachineFacts& facts);
};

// The family name for a four-character processor family code.
std::string cpuTypeForCode(const std::string& code);
// The machine's serial number; false (and serial empty) when there is none.
bool getMacSerialNum(std::string& serial);
bool getMacSerialNum(const Ostra::os::MachineFacts& facts, std::string& serial);

}  // namespace Quorvel::System

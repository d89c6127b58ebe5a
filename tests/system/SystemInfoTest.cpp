// The machine facts and the device id, over prepared /proc, /sys and /etc
// trees; each id is held against the openssl command's SHA-1.
#include "system/SystemInfo.h"

#include <gtest/gtest.h>

#include <functional>

#include "platform/os/FakeMachineTree.h"

namespace {

using ostest::FakeMachineTree;
using Ostra::os::MachineFacts;
using Quorvel::System::SystemInfo;

// SHA-1 of bytes followed by the salt, computed by the openssl command.
std::string opensslDigest(const std::string& bytes) {
    testsupport::TempDir dir;
    std::string input = bytes;
    input.append(reinterpret_cast<const char*>(Quorvel::System::kDeviceIdSalt), 16);
    testsupport::writeFile(dir / "input", input);
    std::string out = testsupport::capture("openssl dgst -sha1 -r '" + (dir / "input") + "'");
    return out.substr(0, out.find(' '));
}

const std::string kUuidBytes("\x4c\x4c\x45\x44\x00\x42\x35\x10\x80\x51\xb4\xc0\x4f\x56\x35\x32",
                             16);
const std::string kMachineIdBytes(
    "\x3d\x12\x19\xc7\xc4\xc5\x40\x4a\xaa\x1f\x6d\x2a\x48\xad\xfd\xa4", 16);

TEST(SystemInfoTest, DeviceIdFromTheBestSourceAtHand) {
    struct Row {
        const char* name;
        std::string uuid, machineId, mac, serial;  // "": the file is missing
        std::string hashed;                        // what goes before the salt
        std::string trace;                         // the start of what it prints
    };
    const std::string mac = "52:54:00:ab:cd:01", serial = "C02XK1ABJGH5";
    const std::string fallback = "525400abcd01C02XK1ABJGH5";
    const std::vector<Row> rows = {
        {"product uuid", "4C4C4544-0042-3510-8051-B4C04F563532", "", mac, "", kUuidBytes,
         "\nObtaining Mac did\nm_plid=4C4C4544-0042-3510-8051-B4C04F563532\n"
         "m_didUD=4c4c4544-0042-3510-8051-b4c04f563532\nm_did="},
        {"machine id with dashes, before MAC and serial", "",
         "3d1219c7-c4c5-404a-aa1f-6d2a48adfda4", mac, serial, kMachineIdBytes, ""},
        {"MAC and serial", "", "", mac, serial, fallback,
         "\nObtaining Mac did\nm_didMAS=525400abcd01\nm_didMSN=C02XK1ABJGH5\nm_didNil="},
        {"uninitialized machine id", "", "uninitialized", mac, serial, fallback,
         "\nObtaining Mac did\nm_plid=uninitialized\nm_didMAS="},
        {"nil product uuid", "00000000-0000-0000-0000-000000000000", "", mac, serial, fallback, ""},
        {"bare machine", "", "", "", "", "internalerror", ""},
    };
    for (const Row& row : rows) {
        FakeMachineTree tree;
        if (!row.uuid.empty()) tree.productUuid(row.uuid);
        if (!row.machineId.empty()) tree.machineId(row.machineId);
        if (!row.mac.empty()) tree.interface("eth0", row.mac);
        if (!row.serial.empty()) tree.serial(row.serial);
        testing::internal::CaptureStdout();
        const std::string id = SystemInfo::getDeviceId(MachineFacts(tree.root()));
        const std::string trace = testing::internal::GetCapturedStdout();
        EXPECT_EQ(id, opensslDigest(row.hashed)) << row.name;
        EXPECT_EQ(trace.compare(0, row.trace.size(), row.trace), 0) << row.name << ": " << trace;
        EXPECT_NE(trace.find(id + "\n"), std::string::npos) << row.name << ": " << trace;
    }
}

}  // namespace

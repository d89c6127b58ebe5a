// What the manager library shares with the DSP library inside the SDK.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/gnsdk/gnsdk.h"

namespace Ostra::gnsdk {

// A serialised user is the base64 text of 129 bytes:
//   0..7    "OSTRAUSR"
//   8       format version, 1
//   9..24   client id (opaque)
//   25..56  client name, zero-padded; must match the initialisation data
//   57..108 reserved
//   109..128 SHA-1 of bytes 0..108
constexpr std::size_t kSerializedUserLength = 172;
constexpr std::size_t kUserBytes = 129;
constexpr std::size_t kUserMagicOffset = 0;
constexpr std::size_t kUserVersionOffset = 8;
constexpr std::size_t kUserClientIdOffset = 9;
constexpr std::size_t kUserClientNameOffset = 25;
constexpr std::size_t kUserClientNameLength = 32;
constexpr std::size_t kUserDigestOffset = 109;
constexpr unsigned char kUserVersion = 1;
extern const char kUserMagic[8];

// Passes a line to the log callback when one is registered for `package` and
// `level`. Called without any SDK lock held, on the caller's thread.
void Log(uint16_t package, uint32_t level, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

// Logs the failure of `function` with the text of `code`, and returns `code`.
gnsdk_error_t Fail(uint16_t package, const char* function, gnsdk_error_t code,
                   const std::string& detail = std::string());

// True while the DSP library is initialised.
bool DspReady();
// True when `user` was handed out by deserialisation and not released yet.
bool UserIsLive(gnsdk_user_handle_t user);

}  // namespace Ostra::gnsdk

// Process-wide fingerprint SDK set-up, its error records and the facade the
// rest of the program calls.
#pragma once

#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <cstdarg>
#include <cstdint>
#include <string>

#include "platform/gnsdk/gnsdk.h"

class IFingerprinter;

// Failures found by the program's own checks.
constexpr uint32_t kAppError = 0x90E10001;
// Log lines passed on from the SDK.
constexpr uint32_t kAppLogLine = 0x90E10002;
// The log package the program registers under its own name (bits 16 to 23 of
// the two codes above).
constexpr uint16_t kAppLogPackage = 225;
constexpr const char* kAppLogPackageName = "Lumasond_Helper";

// The SDK's algorithm names; the index is the algorithm's feature-handle slot.
constexpr int kAlgorithmCount = 3;
extern const char* const GNSDK_ALGORITHM_NAME[kAlgorithmCount];

// The SDK initialisation data and the serialised user the program carries.
extern const char kGNSDKInitData[];
extern const char kGNSDKStoredUser[];

// Builds the SDK error record:
//   ***ERROR***: GNSDK Error(<code in hex>): <message>
//   \tSource File: <source>
//   \tFile: Fingerprinter.cpp
//   \tLine: <line>
//   \tError: <the SDK's text for code>      (not for kAppError and kAppLogLine)
// prints it followed by an empty line to standard output, and returns it.
// Safe on any thread; records never interleave with each other.
std::string LogGNSDKError(uint32_t code, const std::string& source, const std::string& message,
                          int line);

// The SDK's log callback: lines whose level has bit 0 or 1 become records with
// kAppLogLine. Called on whichever thread the SDK logs from.
void gnsdk_manager_logging_callback(const void* user_data, uint16_t package_id, uint32_t mask,
                                    const char* format, va_list args);

// Owns the SDK's process-wide state: initialised once at start-up, shut down
// by the static instance's destructor at exit. Initialize and the destructor
// hold m_mutex; everything else reads values written only during start-up,
// before any worker thread exists.
class GNSDKSingleton {
  public:
    virtual ~GNSDKSingleton();

    // Initialises on first use; a failure is logged and kept in m_lastError.
    static GNSDKSingleton& Instance();

    // Runs the SDK start-up steps; 0 or the failing step's code, with its
    // record in `error`. Never retried after a failure.
    uint32_t Initialize(std::string& error);
    // The user handle, or the stored start-up failure.
    uint32_t GetUserHandle(gnsdk_user_handle_t& handle, std::string& error);

  private:
    GNSDKSingleton() = default;
    GNSDKSingleton(const GNSDKSingleton&) = delete;
    GNSDKSingleton& operator=(const GNSDKSingleton&) = delete;

    static GNSDKSingleton m_inst;

    boost::mutex m_mutex;
    gnsdk_user_handle_t m_userHandle = nullptr;
    gnsdk_manager_handle_t m_managerHandle = nullptr;
    uint32_t m_lastError = 0;
    std::string m_lastErrorText;
};

class FingerprintSystem {
  public:
    // Sets up the SDK and takes the user handle; prints the failure and
    // returns false when that fails. Called once on the main thread.
    static bool Init();
    static bool IsInited();
    // Exactly one of the GNSDK_ALGORITHM_NAME entries (case-sensitive).
    static bool IsValidAlgorithm(const std::string& name);
    static boost::shared_ptr<IFingerprinter> CreateFingerprinter();
};

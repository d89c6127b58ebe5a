// The manager library: initialisation, logging, users and error texts.

#include "platform/gnsdk/Manager.h"

#include <boost/algorithm/string/split.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/archive/iterators/binary_from_base64.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "lib/openssl/Sha1.h"

struct gnsdk_manager_s {
    int unused = 0;
};

struct gnsdk_user_s {
    std::string clientName;
};

namespace Ostra::gnsdk {

const char kUserMagic[8] = {'O', 'S', 'T', 'R', 'A', 'U', 'S', 'R'};

namespace {

constexpr std::size_t kMaxInitDataSize = 4096;
const char kInitDataHeader[] = "gnsdk-init/1";

// Process-wide manager state. Every field is guarded by `mutex`. It is never
// destroyed, so that shutdown calls made by other objects' destructors at
// process exit still find it.
struct ManagerState {
    std::mutex mutex;
    int initCount = 0;
    gnsdk_manager_s manager;
    std::string clientName;
    std::set<std::string> libraries;
    bool dspInited = false;
    std::map<uint16_t, std::string> packages;
    std::set<gnsdk_user_s*> users;
    gnsdk_logging_callback_fn callback = nullptr;
    const void* callbackData = nullptr;
    uint16_t callbackPackage = 0;
    uint32_t callbackMask = 0;
};

ManagerState& State() {
    static ManagerState* state = new ManagerState();
    return *state;
}

struct ErrorText {
    gnsdk_error_t code;
    const char* text;
};

const ErrorText ERROR_TEXTS[] = {
    {GNSDK_SUCCESS, "success"},
    {GNSDKERR_InvalidArg, "invalid argument"},
    {GNSDKERR_NotInited, "the SDK manager is not initialized"},
    {GNSDKERR_InitDataInvalid, "the SDK initialization data is invalid"},
    {GNSDKERR_UserInvalid, "the serialized user is invalid"},
    {GNSDKERR_InvalidHandle, "invalid handle"},
    {GNSDKERR_NoMemory, "out of memory"},
    {GNSDKERR_PackageIdReserved, "the log package id is reserved or out of range"},
    {GNSDKERR_NotLicensed, "the library is not enabled by the initialization data"},
    {DSPERR_InvalidArg, "invalid argument"},
    {DSPERR_NotInited, "the DSP library is not initialized"},
    {DSPERR_InvalidHandle, "invalid feature handle"},
    {DSPERR_NoMemory, "out of memory"},
    {DSPERR_UnsupportedAlgorithm, "unsupported fingerprint algorithm"},
    {DSPERR_UnsupportedFormat, "unsupported audio format"},
    {DSPERR_WriteAfterEnd, "audio written after end of write"},
    {DSPERR_NotEnded, "fingerprint data requested before end of write"},
    {DSPERR_ProcessingFailed, "audio processing failed"},
};

// Parses the initialisation data into the client name and the enabled
// libraries; false with a reason when it is malformed.
bool ParseInitData(const void* data, std::size_t size, std::string& client,
                   std::set<std::string>& libraries, std::string& why) {
    if (data == nullptr || size == 0 || size > kMaxInitDataSize) {
        why = "missing or oversized";
        return false;
    }
    std::string text(static_cast<const char*>(data), size);
    if (text.back() == '\0') text.pop_back();
    if (text.find('\0') != std::string::npos) {
        why = "embedded zero byte";
        return false;
    }
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || boost::algorithm::trim_copy(line) != kInitDataHeader) {
        why = "bad header line";
        return false;
    }
    bool haveLibraries = false;
    while (std::getline(lines, line)) {
        boost::algorithm::trim(line);
        if (line.empty()) continue;
        std::string::size_type eq = line.find('=');
        if (eq == std::string::npos) {
            why = "line without '='";
            return false;
        }
        std::string key = line.substr(0, eq);
        std::string value = line.substr(eq + 1);
        if (key == "client") {
            client = value;
        } else if (key == "libraries") {
            std::vector<std::string> names;
            boost::algorithm::split(names, value, [](char c) { return c == ','; });
            for (std::string& name : names) {
                boost::algorithm::trim(name);
                if (!name.empty()) libraries.insert(name);
            }
            haveLibraries = true;
        } else {
            why = "unknown key '" + key + "'";
            return false;
        }
    }
    if (client.empty() || client.size() > kUserClientNameLength) {
        why = "missing or overlong client name";
        return false;
    }
    if (!haveLibraries || libraries.count("manager") == 0) {
        why = "the manager library is not listed";
        return false;
    }
    return true;
}

// Decodes and checks a serialised user; false with a reason when it is not one
// issued for `client`.
bool DecodeUser(const char* text, const std::string& client, std::string& why) {
    if (std::strlen(text) != kSerializedUserLength) {
        why = "wrong length";
        return false;
    }
    typedef boost::archive::iterators::transform_width<
        boost::archive::iterators::binary_from_base64<const char*>, 8, 6>
        FromBase64;
    std::string bytes;
    try {
        bytes.assign(FromBase64(text), FromBase64(text + kSerializedUserLength));
    } catch (const std::exception&) {
        why = "not base64";
        return false;
    }
    if (bytes.size() != kUserBytes) {
        why = "wrong size";
        return false;
    }
    Ostra::openssl::Sha1 sha;
    unsigned int digest[Ostra::openssl::kDigestWords];
    if (!sha.update(bytes.data(), kUserDigestOffset) || !sha.finish(digest)) {
        why = "checksum not computed";
        return false;
    }
    for (std::size_t i = 0; i < Ostra::openssl::kDigestWords; ++i) {
        for (int b = 0; b < 4; ++b) {
            unsigned char expected = static_cast<unsigned char>(digest[i] >> (24 - 8 * b));
            if (static_cast<unsigned char>(bytes[kUserDigestOffset + 4 * i + b]) != expected) {
                why = "checksum mismatch";
                return false;
            }
        }
    }
    if (bytes.compare(kUserMagicOffset, sizeof kUserMagic,
                      std::string(kUserMagic, sizeof kUserMagic)) != 0 ||
        static_cast<unsigned char>(bytes[kUserVersionOffset]) != kUserVersion) {
        why = "unknown format";
        return false;
    }
    std::string name = bytes.substr(kUserClientNameOffset, kUserClientNameLength);
    name.resize(std::strlen(name.c_str()));
    if (name != client) {
        why = "issued for another client";
        return false;
    }
    return true;
}

}  // namespace

void Log(uint16_t package, uint32_t level, const char* format, ...) {
    gnsdk_logging_callback_fn callback;
    const void* data;
    {
        ManagerState& s = State();
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.callback == nullptr || (s.callbackMask & level) == 0) return;
        if (s.callbackPackage != GNSDK_LOG_PKG_ALL && s.callbackPackage != package) return;
        callback = s.callback;
        data = s.callbackData;
    }
    va_list args;
    va_start(args, format);
    callback(data, package, level, format, args);
    va_end(args);
}

gnsdk_error_t Fail(uint16_t package, const char* function, gnsdk_error_t code,
                   const std::string& detail) {
    if (detail.empty()) {
        Log(package, GNSDK_LOG_LEVEL_ERROR, "%s: %s", function, gnsdk_manager_error_string(code));
    } else {
        Log(package, GNSDK_LOG_LEVEL_ERROR, "%s: %s (%s)", function,
            gnsdk_manager_error_string(code), detail.c_str());
    }
    return code;
}

bool DspReady() {
    ManagerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.initCount > 0 && s.dspInited;
}

bool UserIsLive(gnsdk_user_handle_t user) {
    ManagerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return user != nullptr && s.users.count(user) != 0;
}

}  // namespace Ostra::gnsdk

using Ostra::gnsdk::Fail;
using Ostra::gnsdk::ManagerState;
using Ostra::gnsdk::State;

extern "C" {

gnsdk_error_t gnsdk_manager_initialize(gnsdk_manager_handle_t* p_manager,
                                       const gnsdk_void_t* init_data, gnsdk_size_t size) {
    // Nothing is logged here: no callback can be registered before this succeeds.
    if (p_manager == nullptr) return GNSDKERR_InvalidArg;
    *p_manager = nullptr;
    std::string client;
    std::set<std::string> libraries;
    std::string why;
    if (!Ostra::gnsdk::ParseInitData(init_data, size, client, libraries, why)) {
        return GNSDKERR_InitDataInvalid;
    }
    ManagerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.initCount > 0) {
        if (client != s.clientName) return GNSDKERR_InitDataInvalid;
    } else {
        s.clientName = client;
        s.libraries = libraries;
    }
    ++s.initCount;
    *p_manager = &s.manager;
    return GNSDK_SUCCESS;
}

gnsdk_error_t gnsdk_manager_shutdown(void) {
    ManagerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.initCount == 0) return GNSDKERR_NotInited;
    if (--s.initCount > 0) return GNSDK_SUCCESS;
    for (gnsdk_user_s* user : s.users) delete user;
    s.users.clear();
    s.packages.clear();
    s.libraries.clear();
    s.clientName.clear();
    s.dspInited = false;
    s.callback = nullptr;
    s.callbackData = nullptr;
    return GNSDK_SUCCESS;
}

gnsdk_error_t gnsdk_manager_logging_register_package(gnsdk_uint16_t package_id,
                                                     gnsdk_cstr_t package_name) {
    const char* fn = "gnsdk_manager_logging_register_package";
    ManagerState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.initCount == 0) return GNSDKERR_NotInited;
    }
    if (package_name == nullptr || *package_name == '\0') {
        return Fail(GNSDK_LOG_PKG_MANAGER, fn, GNSDKERR_InvalidArg, "no package name");
    }
    bool reserved = (package_id >= 0x80 && package_id < 0xe0) || package_id >= GNSDK_LOG_PKG_ALL;
    if (reserved) return Fail(GNSDK_LOG_PKG_MANAGER, fn, GNSDKERR_PackageIdReserved);
    std::lock_guard<std::mutex> lock(s.mutex);
    s.packages[package_id] = package_name;
    return GNSDK_SUCCESS;
}

gnsdk_error_t gnsdk_manager_logging_enable_callback(gnsdk_logging_callback_fn callback,
                                                    const gnsdk_void_t* user_data,
                                                    gnsdk_uint16_t package_id,
                                                    gnsdk_uint32_t mask) {
    ManagerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.initCount == 0) return GNSDKERR_NotInited;
    if (callback == nullptr) return GNSDKERR_InvalidArg;
    bool known = package_id == GNSDK_LOG_PKG_ALL || package_id == GNSDK_LOG_PKG_MANAGER ||
                 package_id == GNSDK_LOG_PKG_DSP || s.packages.count(package_id) != 0;
    if (!known) return GNSDKERR_InvalidArg;
    s.callback = callback;
    s.callbackData = user_data;
    s.callbackPackage = package_id;
    s.callbackMask = mask;
    return GNSDK_SUCCESS;
}

gnsdk_error_t gnsdk_manager_user_deserialize(gnsdk_cstr_t serialized_user,
                                             gnsdk_user_handle_t* p_user) {
    const char* fn = "gnsdk_manager_user_deserialize";
    if (p_user != nullptr) *p_user = nullptr;
    ManagerState& s = State();
    std::string client;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.initCount == 0) return GNSDKERR_NotInited;
        client = s.clientName;
    }
    if (p_user == nullptr || serialized_user == nullptr) {
        return Fail(GNSDK_LOG_PKG_MANAGER, fn, GNSDKERR_InvalidArg);
    }
    std::string why;
    if (!Ostra::gnsdk::DecodeUser(serialized_user, client, why)) {
        return Fail(GNSDK_LOG_PKG_MANAGER, fn, GNSDKERR_UserInvalid, why);
    }
    gnsdk_user_s* user = new (std::nothrow) gnsdk_user_s();
    if (user == nullptr) return Fail(GNSDK_LOG_PKG_MANAGER, fn, GNSDKERR_NoMemory);
    user->clientName = client;
    std::lock_guard<std::mutex> lock(s.mutex);
    s.users.insert(user);
    *p_user = user;
    return GNSDK_SUCCESS;
}

gnsdk_error_t gnsdk_manager_user_release(gnsdk_user_handle_t user) {
    ManagerState& s = State();
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.initCount == 0) return GNSDKERR_NotInited;
        if (user != nullptr && s.users.erase(user) != 0) {
            delete user;
            return GNSDK_SUCCESS;
        }
    }
    return Fail(GNSDK_LOG_PKG_MANAGER, "gnsdk_manager_user_release", GNSDKERR_InvalidHandle);
}

gnsdk_cstr_t gnsdk_manager_error_string(gnsdk_error_t code) {
    for (const Ostra::gnsdk::ErrorText& e : Ostra::gnsdk::ERROR_TEXTS) {
        if (e.code == code) return e.text;
    }
    return "unknown error";
}

gnsdk_error_t gnsdk_dsp_initialize(gnsdk_manager_handle_t manager) {
    const char* fn = "gnsdk_dsp_initialize";
    ManagerState& s = State();
    gnsdk_error_t code = GNSDK_SUCCESS;
    {
        std::lock_guard<std::mutex> lock(s.mutex);
        if (s.initCount == 0) return GNSDKERR_NotInited;
        if (manager != &s.manager) {
            code = GNSDKERR_InvalidHandle;
        } else if (s.libraries.count("dsp") == 0) {
            code = GNSDKERR_NotLicensed;
        } else {
            s.dspInited = true;
        }
    }
    return code == GNSDK_SUCCESS ? code : Fail(GNSDK_LOG_PKG_DSP, fn, code);
}

gnsdk_error_t gnsdk_dsp_shutdown(void) {
    ManagerState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.initCount == 0 || !s.dspInited) return DSPERR_NotInited;
    s.dspInited = false;
    return GNSDK_SUCCESS;
}

}  // extern "C"

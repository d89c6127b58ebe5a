#include "system/SystemInfoHandler.h"

#include <boost/thread/exceptions.hpp>
#include <boost/thread/thread.hpp>
#include <cstring>
#include <exception>

#include "amf/amf0.h"
#include "system/SystemInfo.h"

namespace Ostra {

const char* const kDeviceIdCMD = "deviceId";
const char* const kSystemInfoCMD = "systemInfo";
const char* const kOSTypeKey = "osType";
const char* const kOSVersionKey = "osVersion";
const char* const kCPUTypeKey = "cpuType";
const char* const kCPUSpeedKey = "cpuSpeed";
const char* const kCPUCoresKey = "cpuCores";
const char* const kSystemRamKey = "systemRamMB";
const char* const kDiskSizeKey = "diskSizeMB";

namespace {

const char* const kDeviceIdFailed = "failed to fetch the device id";

}  // namespace

const char* SystemInfoHandler::getCommandName(unsigned long index) {
    switch (index) {
        case 0:
            return kDeviceIdCMD;
        case 1:
            return kSystemInfoCMD;
        default:
            return "";
    }
}

void SystemInfoHandler::processRequest(Request& request) {
    if (std::strcmp(request.CommandName(), kDeviceIdCMD) == 0) {
        processDeviceIDRequest(request);
    } else if (std::strcmp(request.CommandName(), kSystemInfoCMD) == 0) {
        processSystemInfoRequest(request);
    }
}

void SystemInfoHandler::processSystemInfoRequest(Request& request) {
    using Quorvel::System::SystemInfo;
    try {
        amf::amf_object info;
        info.set_string_property(kOSTypeKey, SystemInfo::getOsType());
        info.set_string_property(kOSVersionKey, SystemInfo::getOsVersion());
        info.set_string_property(kCPUTypeKey, SystemInfo::getCPUType());
        info.set_numeric_property(kCPUSpeedKey, static_cast<double>(SystemInfo::getCPUSpeedMHz()));
        info.set_numeric_property(kCPUCoresKey,
                                  static_cast<double>(boost::thread::hardware_concurrency()));
        info.set_numeric_property(kSystemRamKey, static_cast<double>(SystemInfo::getMBytesRAM()));
        info.set_numeric_property(kDiskSizeKey, static_cast<double>(SystemInfo::getMBytesHD()));
        request.SendResponseData(&info, true);
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (const std::exception& e) {
        // Every query has a fallback value; only running out of memory gets here.
        request.SendErrorResponse(e.what());
    }
}

void SystemInfoHandler::processDeviceIDRequest(Request& request) {
    try {
        std::string deviceId = Quorvel::System::SystemInfo::getDeviceId();
        if (!deviceId.empty() && deviceId != "can not determine device ID") {
            amf::amf_string value(deviceId);
            request.SendResponseData(&value, true);
            return;
        }
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (const std::exception&) {
    }
    request.SendErrorResponse(kDeviceIdFailed);
}

}  // namespace Ostra

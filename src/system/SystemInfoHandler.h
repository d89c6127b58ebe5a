#pragma once

#include "hostlink/RequestHandler.h"

namespace Ostra {

extern const char* const kDeviceIdCMD;
extern const char* const kSystemInfoCMD;
extern const char* const kOSTypeKey;
extern const char* const kOSVersionKey;
extern const char* const kCPUTypeKey;
extern const char* const kCPUSpeedKey;
extern const char* const kCPUCoresKey;
extern const char* const kSystemRamKey;
extern const char* const kDiskSizeKey;

// "deviceId" and "systemInfo". Holds no data, so requests of both run in
// parallel on any worker threads.
class SystemInfoHandler : public RequestHandler {
  public:
    bool Setup() override { return true; }
    void Teardown() override {}
    unsigned long getNumCommandNames() override { return 2; }
    const char* getCommandName(unsigned long index) override;
    void processRequest(Request& request) override;

  private:
    void processSystemInfoRequest(Request& request);
    void processDeviceIDRequest(Request& request);
};

}  // namespace Ostra

#pragma once

#include "hostlink/RequestHandler.h"
#include "system/SleepPreventer.h"

namespace Ostra {

extern const char* const COMMANDNAME_PREVENTSLEEP;
extern const char* const COMMANDNAME_ALLOWSLEEP;

// "preventSleep" and "allowSleep". The preventer exists, with its loop
// thread, from the handler's construction to its deletion; requests may run
// concurrently.
class SleepPreventerHandler : public RequestHandler {
  public:
    bool Setup() override { return preventer_.Init(); }
    void Teardown() override { preventer_.Cleanup(); }
    unsigned long getNumCommandNames() override { return 2; }
    const char* getCommandName(unsigned long index) override;
    void processRequest(Request& request) override;

  private:
    SleepPreventer preventer_;
};

}  // namespace Ostra

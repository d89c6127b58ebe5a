#pragma once

#include "hostlink/RequestHandler.h"

// "version": the protocol version, as the string "12".
class VersionHandler : public Ostra::RequestHandler {
  public:
    bool Setup() override { return true; }
    void Teardown() override {}
    unsigned long getNumCommandNames() override { return 1; }
    const char* getCommandName(unsigned long) override { return "version"; }
    void processRequest(Ostra::Request& request) override {
        amf::amf_string version("12");
        request.SendResponseData(&version, true);
    }
};

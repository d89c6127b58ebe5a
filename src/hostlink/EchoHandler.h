#pragma once

#include "hostlink/RequestHandler.h"

// "echo": answers with a deep copy of the request's parameter.
class EchoHandler : public Ostra::RequestHandler {
  public:
    bool Setup() override { return true; }
    void Teardown() override {}
    unsigned long getNumCommandNames() override { return 1; }
    const char* getCommandName(unsigned long) override { return "echo"; }
    void processRequest(Ostra::Request& request) override {
        request.SendResponseData(request.Parameter(), true);
    }
};

// The "fingerprints" and "getSupportedExtensions" commands.
#pragma once

#include <string>

#include "hostlink/RequestHandler.h"

// Host fingerprint type names and SDK algorithm names, both ways
// (hostToSdk true: "MICRO" -> "MicroFAPI-Q"); empty when the name is unknown.
std::string ConvertAlgorithmName(const std::string& name, bool hostToSdk);

// Keeps no state between requests: concurrent requests each own their
// fingerprinter and decoder.
class FingerprintHandler : public Ostra::RequestHandler {
  public:
    bool Setup() override;
    void Teardown() override {}
    unsigned long getNumCommandNames() override { return 2; }
    const char* getCommandName(unsigned long index) override;
    void processRequest(Ostra::Request& request) override;

  private:
    void processRequest_multiFingerprint(Ostra::Request& request);
    void processRequest_getSupportedExtensions(Ostra::Request& request);
};

// The "fingerprints" and "getSupportedExtensions" commands.
#pragma once

#include <string>

#include "hostlink/RequestHandler.h"
#include "util/FileWorkers.h"

// Host fingerprint type names and SDK algorithm names, both ways
// (hostToSdk true: "MICRO" -> "MicroFAPI-Q"); empty when the name is unknown.
std::string ConvertAlgorithmName(const std::string& name, bool hostToSdk);

// Keeps no state between requests. The files of a request are fingerprinted
// on the shared file workers, each with a decoder and fingerprinter of its
// own, and answered in list order.
class FingerprintHandler : public Ostra::RequestHandler {
  public:
    // files: the helper's file workers; null works on the request's thread.
    explicit FingerprintHandler(Ostra::util::FileWorkers* files = nullptr) : m_files(files) {}

    bool Setup() override;
    void Teardown() override {}
    unsigned long getNumCommandNames() override { return 2; }
    const char* getCommandName(unsigned long index) override;
    void processRequest(Ostra::Request& request) override;

  private:
    void processRequest_multiFingerprint(Ostra::Request& request);
    void processRequest_getSupportedExtensions(Ostra::Request& request);

    Ostra::util::FileWorkers* const m_files;
};

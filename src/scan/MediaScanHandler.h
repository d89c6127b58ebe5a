#pragma once

#include <string>

#include "amf/amf0.h"
#include "hostlink/RequestHandler.h"
#include "util/FileWorkers.h"

namespace Ostra {

// "scanMediaLibs" and "scanDirectory". Holds no state: every request builds
// its own processor and scanners on its worker thread, so scans run in
// parallel with each other and with other commands. A directory scan reads
// tags ahead of its walk on the shared file workers.
class MediaScanHandler : public RequestHandler {
  public:
    // files: the helper's file workers; null reads tags on the scan's thread.
    explicit MediaScanHandler(util::FileWorkers* files = nullptr) : files_(files) {}

    bool Setup() override { return true; }
    void Teardown() override {}
    unsigned long getNumCommandNames() override { return 2; }
    const char* getCommandName(unsigned long index) override;
    void processRequest(Request& request) override;

    void scanMediaLibraries(Request& request, unsigned long batchSize);
    void scanDirectory(Request& request, std::string startPath,
                       const amf::amf_ecma_array* validExtensions, unsigned long batchSize);

  private:
    util::FileWorkers* const files_;
};

}  // namespace Ostra

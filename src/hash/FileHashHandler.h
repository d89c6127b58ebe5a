#pragma once

#include "hostlink/RequestHandler.h"
#include "util/FileWorkers.h"

namespace Ostra {

// "audioHash": the payload hash of each listed MP3 or M4A file, in batches,
// then {"count": files hashed}. Stateless, so requests run in parallel; the
// files of a request are hashed on the shared file workers and answered in
// list order.
class FileHashHandler : public RequestHandler {
  public:
    // files: the helper's file workers; null hashes on the request's thread.
    explicit FileHashHandler(util::FileWorkers* files = nullptr) : files_(files) {}

    bool Setup() override { return true; }
    void Teardown() override {}
    unsigned long getNumCommandNames() override { return 1; }
    const char* getCommandName(unsigned long index) override;
    void processRequest(Request& request) override;

  private:
    void hashFiles(Request& request);

    util::FileWorkers* const files_;
};

}  // namespace Ostra

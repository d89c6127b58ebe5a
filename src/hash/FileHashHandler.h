#pragma once

#include "hostlink/RequestHandler.h"

namespace Ostra {

// "audioHash": the payload hash of each listed MP3 or M4A file, in batches,
// then {"count": files hashed}. Stateless, so requests run in parallel.
class FileHashHandler : public RequestHandler {
  public:
    bool Setup() override { return true; }
    void Teardown() override {}
    unsigned long getNumCommandNames() override { return 1; }
    const char* getCommandName(unsigned long index) override;
    void processRequest(Request& request) override;

  private:
    void hashFiles(Request& request);
};

}  // namespace Ostra

#pragma once

#include "scan/MediaScanner.h"

namespace Ostra {

// The Windows Media Player library does not exist on this platform: the
// scanner is never available and contributes no records.
class WmpMediaScanner : public MediaScanner {
  public:
    explicit WmpMediaScanner(boost::shared_ptr<IMediaProcessor> processor)
        : MediaScanner(processor) {}
    bool isAvailable() override { return false; }

  protected:
    void doScan() override {}
    void findTracks() {}
    void findPlaylists() {}
};

}  // namespace Ostra

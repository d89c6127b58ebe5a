#pragma once

#include <boost/shared_ptr.hpp>

#include "scan/IMediaProcessor.h"

namespace Ostra {

// Base of the scanners: each turns one kind of media library into records
// for the processor it shares with the other scanners of the same request.
// A scanner is used only by the worker thread of its request.
class MediaScanner {
  public:
    explicit MediaScanner(boost::shared_ptr<IMediaProcessor> processor) : processor_(processor) {}
    virtual ~MediaScanner() = default;
    MediaScanner(const MediaScanner&) = delete;
    MediaScanner& operator=(const MediaScanner&) = delete;

    // The one entry point the handler uses.
    void scanMediaLibrary() { doScan(); }
    virtual bool isAvailable() = 0;

  protected:
    virtual void doScan() = 0;

    boost::shared_ptr<IMediaProcessor> processor_;
};

}  // namespace Ostra

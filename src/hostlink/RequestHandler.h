#pragma once

#include "hostlink/Request.h"

namespace Ostra {

// Interface of every command handler. Handlers whose mustSerialize() is false
// must be safe for concurrent processRequest calls. processRequest must not
// let an exception escape; between items of a long loop it passes
// boost::this_thread::interruption_point() so that shutdown is prompt (the
// boost::thread_interrupted it throws is the one exception meant to leave).
class RequestHandler {
  public:
    virtual ~RequestHandler() = default;
    virtual bool Setup() = 0;
    virtual void Teardown() = 0;
    virtual unsigned long getNumCommandNames() = 0;
    virtual const char* getCommandName(unsigned long index) = 0;
    virtual bool mustSerialize() const { return false; }
    virtual void processRequest(Request& request) = 0;

    void startProcessingRequest(Request& request) {
        request.work_started();
        processRequest(request);
    }
};

}  // namespace Ostra

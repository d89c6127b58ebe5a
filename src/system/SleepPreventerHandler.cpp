#include "system/SleepPreventerHandler.h"

#include <boost/thread/exceptions.hpp>
#include <cstring>
#include <exception>

#include "amf/amf0.h"

namespace Ostra {

const char* const COMMANDNAME_PREVENTSLEEP = "preventSleep";
const char* const COMMANDNAME_ALLOWSLEEP = "allowSleep";

const char* SleepPreventerHandler::getCommandName(unsigned long index) {
    switch (index) {
        case 0:
            return COMMANDNAME_PREVENTSLEEP;
        case 1:
            return COMMANDNAME_ALLOWSLEEP;
        default:
            return "";
    }
}

void SleepPreventerHandler::processRequest(Request& request) {
    bool prevent = std::strcmp(request.CommandName(), COMMANDNAME_PREVENTSLEEP) == 0;
    bool allow = std::strcmp(request.CommandName(), COMMANDNAME_ALLOWSLEEP) == 0;
    if (!prevent && !allow) return;
    const char* failure = prevent ? "prevent sleep failed" : "allow sleep failed";
    bool done = false;
    try {
        done = prevent ? preventer_.preventSleep() : preventer_.allowSleep();
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (const std::exception&) {
        done = false;
    }
    if (!done) {
        request.SendErrorResponse(failure);
        return;
    }
    amf::amf_boolean result(true);
    request.SendResponseData(&result, true);
}

}  // namespace Ostra

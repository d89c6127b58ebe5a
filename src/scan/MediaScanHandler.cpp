#include "scan/MediaScanHandler.h"

#include <boost/make_shared.hpp>
#include <boost/thread/exceptions.hpp>
#include <cstring>
#include <exception>

#include "amf/access.h"
#include "amf/batch_size.h"
#include "scan/FSMediaScanner.h"
#include "scan/ITunesMediaScanner.h"
#include "scan/MediaProcessor.h"
#include "scan/WmpMediaScanner.h"

namespace Ostra {

namespace {

const char kScanMediaLibsCMD[] = "scanMediaLibs";
const char kScanDirectoryCMD[] = "scanDirectory";

}  // namespace

const char* MediaScanHandler::getCommandName(unsigned long index) {
    switch (index) {
        case 0:
            return kScanMediaLibsCMD;
        case 1:
            return kScanDirectoryCMD;
        default:
            return "";
    }
}

void MediaScanHandler::processRequest(Request& request) {
    try {
        const amf::amf_object* parameter = amf::asObject(request.Parameter());
        if (parameter == nullptr) {
            request.SendErrorResponse("MediaScanHandler: no parameters");
            return;
        }
        const amf::amf_object& arguments = *parameter;
        const unsigned long batchSize = amf::getBatchSize(arguments);
        const char* command = request.CommandName();
        if (std::strcmp(command, kScanMediaLibsCMD) == 0) {
            scanMediaLibraries(request, batchSize);
        } else if (std::strcmp(command, kScanDirectoryCMD) == 0) {
            const std::string* startPath = amf::getString(arguments, "startPath");
            if (startPath == nullptr) {
                request.SendErrorResponse("MediaScanHandler: No 'startPath' string.");
                return;
            }
            scanDirectory(request, *startPath, amf::asEcmaArray(arguments, "validExtensions"),
                          batchSize);
        }
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (const std::exception& e) {
        request.SendErrorResponse(std::string("MediaScanHandler: ") + e.what());
    } catch (...) {
        request.SendErrorResponse("MediaScanHandler: scan failed");
    }
}

void MediaScanHandler::scanMediaLibraries(Request& request, unsigned long batchSize) {
    boost::shared_ptr<IMediaProcessor> processor =
        boost::make_shared<MediaProcessor>(request, batchSize);
    WmpMediaScanner wmp(processor);
    ITunes::ITunesMediaScanner iTunes(processor);

    amf::amf_ecma_array libraries;
    if (wmp.isAvailable()) {
        amf::amf_string name("WMP");
        libraries.push_back(&name);
    }
    if (iTunes.isAvailable()) {
        amf::amf_string name("iTunes");
        libraries.push_back(&name);
    }
    request.SendResponseData(&libraries, false);

    iTunes.scanMediaLibrary();
    wmp.scanMediaLibrary();
    processor->finish();
}

void MediaScanHandler::scanDirectory(Request& request, std::string startPath,
                                     const amf::amf_ecma_array* validExtensions,
                                     unsigned long batchSize) {
    boost::shared_ptr<IMediaProcessor> processor =
        boost::make_shared<MediaProcessor>(request, batchSize);
    FSMediaScanner scanner(processor, startPath, validExtensions, files_);
    scanner.scanMediaLibrary();
    processor->finish();
}

}  // namespace Ostra

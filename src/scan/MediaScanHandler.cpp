#include "scan/MediaScanHandler.h"

#include <boost/make_shared.hpp>
#include <boost/thread/exceptions.hpp>
#include <cstring>
#include <exception>

#include "scan/FSMediaScanner.h"
#include "scan/ITunesMediaScanner.h"
#include "scan/MediaProcessor.h"
#include "scan/WmpMediaScanner.h"

namespace Ostra {

namespace {

const char kScanMediaLibsCMD[] = "scanMediaLibs";
const char kScanDirectoryCMD[] = "scanDirectory";
// The batch size is a 32-bit count for the host; larger requests mean "all".
const double kMaxBatchSize = 4294967295.0;

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

unsigned long MediaScanHandler::batchSizeFromParameter(const amf::amf_object& parameter) {
    const amf::amf0_data_type* value = parameter.get_property("batchSize");
    if (value == nullptr || value->get_type() != amf::AMF_NUMBER) return 1;
    const double size = static_cast<const amf::amf_numeric*>(value)->get_value();
    if (!(size > 0)) return 1;  // also NaN
    if (size >= kMaxBatchSize) return 4294967295UL;
    return static_cast<unsigned long>(size);
}

void MediaScanHandler::processRequest(Request& request) {
    try {
        const amf::amf0_data_type* parameter = request.Parameter();
        if (parameter == nullptr || parameter->get_type() != amf::AMF_OBJECT) {
            request.SendErrorResponse("MediaScanHandler: no parameters");
            return;
        }
        const auto& arguments = *static_cast<const amf::amf_object*>(parameter);
        const unsigned long batchSize = batchSizeFromParameter(arguments);
        const char* command = request.CommandName();
        if (std::strcmp(command, kScanMediaLibsCMD) == 0) {
            scanMediaLibraries(request, batchSize);
        } else if (std::strcmp(command, kScanDirectoryCMD) == 0) {
            const amf::amf0_data_type* startPath = arguments.get_property("startPath");
            if (startPath == nullptr || startPath->get_type() != amf::AMF_STRING) {
                request.SendErrorResponse("MediaScanHandler: No 'startPath' string.");
                return;
            }
            const amf::amf0_data_type* extensions = arguments.get_property("validExtensions");
            const amf::amf_ecma_array* validExtensions =
                extensions != nullptr && extensions->get_type() == amf::AMF_ECMA_ARRAY
                    ? static_cast<const amf::amf_ecma_array*>(extensions)
                    : nullptr;
            scanDirectory(request, static_cast<const amf::amf_string*>(startPath)->get_value(),
                          validExtensions, batchSize);
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

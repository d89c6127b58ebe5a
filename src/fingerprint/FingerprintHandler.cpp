#include "fingerprint/FingerprintHandler.h"

#include <boost/filesystem.hpp>
#include <boost/thread/exceptions.hpp>
#include <boost/thread/thread.hpp>
#include <cstdint>
#include <exception>
#include <map>
#include <set>
#include <vector>

#include "amf/access.h"
#include "amf/batch_size.h"
#include "audio/DecoderSystem.h"
#include "fingerprint/FingerprintSystem.h"
#include "fingerprint/Fingerprinter.h"
#include "hostlink/ResponseBatch.h"
#include "util/InOrder.h"
#include "util/PathUtils.h"

namespace {

const char COMMAND_FINGERPRINT_MULTI[] = "fingerprints";
const char COMMAND_GETSUPPORTEDEXTENSIONS[] = "getSupportedExtensions";
const char FILEPATHWASNOTASTRING[] = "?PathWasNotAString?";
const char kPathKey[] = "path";
const char kErrorKey[] = "error";
const char kCountKey[] = "count";
const char kFingerprintTypesKey[] = "fingerprintTypes";
const char kFilePathsKey[] = "filePaths";

struct NamePair {
    const char* host;
    const char* sdk;
};

const NamePair ALGORITHM_NAMES[] = {
    {"MICRO", "MicroFAPI-Q"},
    {"NANO", "NanoFAPI-Q"},
    {"CMX", "Cantametrix-Q"},
};

// What one entry of the list came to: its fingerprints, or the text of its
// error entry; path is the entry's path field either way.
struct Printed {
    std::string path;
    bool succeeded = false;
    std::map<std::string, std::string> fingerprints;
    std::string error;

    static Printed Failed(const std::string& path, const std::string& error) {
        Printed printed;
        printed.path = path;
        printed.error = error;
        return printed;
    }
};

// The whole work on one file, run on a file worker with a decoder and a
// fingerprinter of its own; every failure is this file's own error entry.
// All requested types come from one decode pass.
Printed FingerprintOneFile(const std::string& path, const std::set<std::string>& algorithms) {
    Printed printed;
    printed.path = path;
    boost::shared_ptr<IDecoder> decoder;
    try {
        boost::shared_ptr<IFingerprinter> fingerprinter = FingerprintSystem::CreateFingerprinter();
        decoder = DecoderSystem::CreateDecoder();
        if (!fingerprinter || !decoder) {
            printed.error = "Fingerprint handler initialization error.";
            return printed;
        }
        if (!fingerprinter->Fingerprint(decoder, path, algorithms, printed.fingerprints,
                                        printed.error)) {
            return printed;
        }
        if (printed.fingerprints.size() == algorithms.size()) {
            printed.succeeded = true;
        } else {
            printed.error = "empty fingerprint generated";
        }
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (const std::exception& e) {
        // The decoder may still hold this file open.
        if (decoder) decoder->EndDecode(nullptr);
        printed.fingerprints.clear();
        printed.error = std::string("Exception: ") + e.what();
    }
    return printed;
}

void PushError(Ostra::ResponseBatch& results, const std::string& error, const std::string& path) {
    amf::amf_object entry;
    entry.set_string_property(kErrorKey, error);
    entry.set_string_property(kPathKey, path);
    results.add(entry);
}

// One entry of the "filePaths" array: the path text and whether it may be
// fingerprinted. The verdict travels beside the text, so any text the host
// sends (even one that looks like a marker) is reported as it was sent.
struct PathEntry {
    enum Validity { kValid, kNotAString, kNotValid };
    Validity validity;
    std::string path;
};

// One entry per element of the "filePaths" array, in its iteration order.
std::vector<PathEntry> getFilePathsFromRequest(const amf::amf_ecma_array& paths) {
    std::vector<PathEntry> result;
    for (const auto& entry : paths) {
        const std::string* text = amf::getString(entry.second);
        if (text == nullptr) {
            result.push_back({PathEntry::kNotAString, std::string()});
            continue;
        }
        const std::string& path = *text;
        // An empty path is left as it is: it has its own error text.
        if (path.empty()) {
            result.push_back({PathEntry::kValid, path});
            continue;
        }
        // A NUL would end the name at the C calls, which would then read
        // another file than the one the text names.
        if (!Ostra::util::IsValidPath(path)) {
            result.push_back({PathEntry::kNotValid, path});
            continue;
        }
        boost::system::error_code ec;
        boost::filesystem::file_status status = boost::filesystem::status(path, ec);
        if (status.type() == boost::filesystem::status_error ||
            status.type() == boost::filesystem::file_not_found) {
            result.push_back({PathEntry::kNotValid, path});
        } else {
            result.push_back({PathEntry::kValid, path});
        }
    }
    return result;
}

}  // namespace

std::string ConvertAlgorithmName(const std::string& name, bool hostToSdk) {
    for (const NamePair& pair : ALGORITHM_NAMES) {
        if (name == (hostToSdk ? pair.host : pair.sdk)) return hostToSdk ? pair.sdk : pair.host;
    }
    return std::string();
}

bool FingerprintHandler::Setup() {
    return DecoderSystem::IsInited() && FingerprintSystem::IsInited();
}

const char* FingerprintHandler::getCommandName(unsigned long index) {
    switch (index) {
        case 0:
            return COMMAND_FINGERPRINT_MULTI;
        case 1:
            return COMMAND_GETSUPPORTEDEXTENSIONS;
        default:
            return "";
    }
}

void FingerprintHandler::processRequest(Ostra::Request& request) {
    try {
        std::string command = request.CommandName();
        if (command == COMMAND_FINGERPRINT_MULTI) {
            processRequest_multiFingerprint(request);
        } else if (command == COMMAND_GETSUPPORTEDEXTENSIONS) {
            processRequest_getSupportedExtensions(request);
        } else {
            request.SendErrorResponse("invalid fingerprinter command: " + command);
        }
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (const std::exception& e) {
        request.SendErrorResponse(std::string("Exception: ") + e.what());
    }
}

void FingerprintHandler::processRequest_getSupportedExtensions(Ostra::Request& request) {
    std::vector<std::string> extensions;
    DecoderSystem::SupportedExtensions(extensions);
    amf::amf_ecma_array result;
    for (const std::string& extension : extensions) {
        if (extension.size() > 1) {
            amf::amf_string text(extension.substr(1));
            result.push_back(&text);
        }
    }
    request.SendResponseData(&result, true);
}

void FingerprintHandler::processRequest_multiFingerprint(Ostra::Request& request) {
    // Each file gets a decoder and a fingerprinter of its own; these only
    // show up front that they can be made.
    boost::shared_ptr<IFingerprinter> fingerprinter = FingerprintSystem::CreateFingerprinter();
    boost::shared_ptr<IDecoder> decoder = DecoderSystem::CreateDecoder();
    if (!fingerprinter || !decoder) {
        request.SendErrorResponse("Fingerprint handler initialization error.");
        return;
    }

    const amf::amf_object* parameter = amf::asObject(request.Parameter());
    if (parameter == nullptr) {
        request.SendErrorResponse("parameter was not an object");
        return;
    }
    const amf::amf_object& parameters = *parameter;

    const amf::amf_ecma_array* types = amf::asEcmaArray(parameters, kFingerprintTypesKey);
    if (types == nullptr) {
        request.SendErrorResponse("fingerprintTypes property was not found");
        return;
    }
    std::set<std::string> algorithms;
    for (const auto& entry : *types) {
        const std::string* type = amf::getString(entry.second);
        if (type == nullptr) {
            request.SendErrorResponse("fingerprint type property was not found");
            return;
        }
        const std::string& hostName = *type;
        std::string sdkName = ConvertAlgorithmName(hostName, true);
        if (!FingerprintSystem::IsValidAlgorithm(sdkName)) {
            request.SendErrorResponse("invalid algorithm specified: " + hostName);
            return;
        }
        algorithms.insert(sdkName);
    }

    const amf::amf_ecma_array* pathArray = amf::asEcmaArray(parameters, kFilePathsKey);
    if (pathArray == nullptr) {
        request.SendErrorResponse("filePaths property was not found");
        return;
    }
    const amf::amf_ecma_array& pathEntries = *pathArray;
    std::vector<PathEntry> paths = getFilePathsFromRequest(pathEntries);
    if (paths.size() != pathEntries.get_count()) {
        request.SendErrorResponse("failed to discover all files");
        return;
    }

    Ostra::ResponseBatch results(request, amf::getBatchSize(parameters));
    double successes = 0;
    auto deliver = [&](const Printed& printed) {
        if (!printed.succeeded) {
            PushError(results, printed.error, printed.path);
            return;
        }
        try {
            amf::amf_object entry;
            for (const auto& fingerprint : printed.fingerprints) {
                entry.set_string_property(ConvertAlgorithmName(fingerprint.first, false),
                                          fingerprint.second);
            }
            entry.set_string_property(kPathKey, printed.path);
            if (results.add(entry))
                successes += 1;
            else
                PushError(results, "fingerprint too large to send", printed.path);
        } catch (const boost::thread_interrupted&) {
            throw;
        } catch (const std::exception& e) {
            PushError(results, std::string("Exception: ") + e.what(), printed.path);
        }
    };
    // Declared after everything its jobs read, so that it is gone (and no
    // job runs) before they are.
    Ostra::util::InOrder<Printed> printing(m_files);
    for (const PathEntry& item : paths) {
        boost::this_thread::interruption_point();
        if (printing.full()) deliver(printing.take());
        const std::string& path = item.path;
        if (item.validity == PathEntry::kNotAString) {
            // The host knows this entry by the marker text in its path field.
            printing.put(Printed::Failed(FILEPATHWASNOTASTRING, "file path was not a string"));
        } else if (path.empty()) {
            printing.put(Printed::Failed(path, "no path specified"));
        } else if (item.validity == PathEntry::kNotValid) {
            printing.put(Printed::Failed(path, "file path was not valid"));
        } else {
            printing.submit([&algorithms, path] { return FingerprintOneFile(path, algorithms); });
        }
    }
    while (!printing.empty()) deliver(printing.take());
    results.flush();

    amf::amf_object count;
    count.set_numeric_property(kCountKey, successes);
    request.SendResponseData(&count, true);
}

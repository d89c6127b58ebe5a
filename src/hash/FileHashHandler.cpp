#include "hash/FileHashHandler.h"

#include <boost/thread/thread.hpp>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "hash/GetHasherForFile.h"
#include "hostlink/ResponseBatch.h"

namespace Ostra {

namespace {

const char* const kAudioHashCMD = "audioHash";
const char* const kFilePathsKey = "filePaths";
const char* const kBatchSizeKey = "batchSize";
const char* const kPathKey = "path";
const char* const kHashKey = "hash";
const char* const kCountKey = "count";
const char* const kHashErrorText = "error: couldn't get hash for file";

// Positive numbers truncate; anything else means 1. Sizes beyond 32 bits are
// clamped rather than converted, which would be undefined.
std::uint64_t readBatchSize(const amf::amf_object& parameters) {
    const amf::amf0_data_type* value = parameters.get_property(kBatchSizeKey);
    if (!value || value->get_type() != amf::AMF_NUMBER) return 1;
    const double number = static_cast<const amf::amf_numeric*>(value)->get_value();
    if (!(number > 0)) return 1;
    if (number >= 4294967295.0) return 4294967295u;
    return static_cast<std::uint64_t>(number);
}

bool hashOneFile(const std::string& path, std::string& hash) {
    try {
        std::unique_ptr<FileHash::Generator> generator(GetHasherForFile(path));
        return generator && generator->getHashForFile(path, hash);
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (...) {
        return false;
    }
}

}  // namespace

const char* FileHashHandler::getCommandName(unsigned long index) {
    return index == 0 ? kAudioHashCMD : nullptr;
}

void FileHashHandler::processRequest(Request& request) {
    try {
        hashFiles(request);
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (const std::exception& e) {
        request.SendErrorResponse(std::string("audioHash failed: ") + e.what());
    } catch (...) {
        request.SendErrorResponse("audioHash failed");
    }
}

void FileHashHandler::hashFiles(Request& request) {
    const amf::amf0_data_type* parameter = request.Parameter();
    const amf::amf_object* parameters = nullptr;
    if (parameter && parameter->get_type() == amf::AMF_OBJECT) {
        parameters = static_cast<const amf::amf_object*>(parameter);
    }

    amf::amf_ecma_array results;
    const amf::amf0_data_type* list =
        parameters ? parameters->get_property(kFilePathsKey) : nullptr;
    if (!list || list->get_type() != amf::AMF_ECMA_ARRAY) {
        request.SendResponseData(&results, true);
        return;
    }
    const amf::amf_ecma_array& filePaths = *static_cast<const amf::amf_ecma_array*>(list);
    ResponseBatch batch(request, readBatchSize(*parameters));
    const amf::amf_string error(kHashErrorText);

    double successes = 0;
    for (std::uint64_t i = 0;; ++i) {
        boost::this_thread::interruption_point();
        const amf::amf0_data_type* entry = filePaths.get_property(std::to_string(i));
        // The list ends at the first missing index.
        if (!entry) break;
        if (entry->get_type() != amf::AMF_STRING) continue;
        const std::string& path = static_cast<const amf::amf_string*>(entry)->get_value();

        std::string hash;
        amf::amf_object item;
        if (hashOneFile(path, hash)) {
            item.set_string_property(kHashKey, hash);
            item.set_string_property(kPathKey, path);
        }
        if (item.get_value().empty() || !batch.add(item)) {
            // The batch size is not checked here: the host expects error
            // entries to ride along with the next success or the leftovers.
            batch.add(error, false);
            continue;
        }
        successes += 1;
    }
    batch.flush();
    amf::amf_object summary;
    summary.set_numeric_property(kCountKey, successes);
    request.SendResponseData(&summary, true);
}

}  // namespace Ostra

#include "hash/FileHashHandler.h"

#include <boost/thread/thread.hpp>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "hash/GetHasherForFile.h"
#include "hostlink/ResponseBatch.h"
#include "util/InOrder.h"

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

// One listed file's outcome; an empty hash is the file's error entry.
struct Hashed {
    std::string path;
    std::string hash;
};

// The whole work on one file, run on a file worker: every failure is this
// file's own error entry.
Hashed hashOneFile(const std::string& path) {
    Hashed hashed;
    try {
        hashed.path = path;
        std::unique_ptr<FileHash::Generator> generator(GetHasherForFile(path));
        std::string hash;
        if (generator && generator->getHashForFile(path, hash)) hashed.hash.swap(hash);
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (...) {
        hashed.hash.clear();
    }
    return hashed;
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
    auto deliver = [&](const Hashed& hashed) {
        amf::amf_object item;
        if (!hashed.hash.empty()) {
            item.set_string_property(kHashKey, hashed.hash);
            item.set_string_property(kPathKey, hashed.path);
        }
        if (item.get_value().empty() || !batch.add(item)) {
            // The batch size is not checked here: the host expects error
            // entries to ride along with the next success or the leftovers.
            batch.add(error, false);
            return;
        }
        successes += 1;
    };
    // Declared after everything its jobs read, so that it is gone (and no
    // job runs) before they are.
    util::InOrder<Hashed> hashing(files_);
    for (std::uint64_t i = 0;; ++i) {
        boost::this_thread::interruption_point();
        const amf::amf0_data_type* entry = filePaths.get_property(std::to_string(i));
        // The list ends at the first missing index.
        if (!entry) break;
        if (entry->get_type() != amf::AMF_STRING) continue;
        if (hashing.full()) deliver(hashing.take());
        hashing.submit([path = static_cast<const amf::amf_string*>(entry)->get_value()] {
            return hashOneFile(path);
        });
    }
    while (!hashing.empty()) deliver(hashing.take());
    batch.flush();
    amf::amf_object summary;
    summary.set_numeric_property(kCountKey, successes);
    request.SendResponseData(&summary, true);
}

}  // namespace Ostra

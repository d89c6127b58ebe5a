#include "hash/FileHashHandler.h"

#include <boost/thread/thread.hpp>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>

#include "amf/access.h"
#include "amf/batch_size.h"
#include "hash/GetHasherForFile.h"
#include "hostlink/ResponseBatch.h"
#include "util/InOrder.h"

namespace Ostra {

namespace {

const char* const kAudioHashCMD = "audioHash";
const char* const kFilePathsKey = "filePaths";
const char* const kPathKey = "path";
const char* const kHashKey = "hash";
const char* const kCountKey = "count";
const char* const kHashErrorText = "error: couldn't get hash for file";

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
    const amf::amf_object* parameters = amf::asObject(request.Parameter());
    amf::amf_ecma_array results;
    const amf::amf_ecma_array* list =
        parameters ? amf::asEcmaArray(*parameters, kFilePathsKey) : nullptr;
    if (!list) {
        request.SendResponseData(&results, true);
        return;
    }
    const amf::amf_ecma_array& filePaths = *list;
    ResponseBatch batch(request, amf::getBatchSize(*parameters));
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
        const std::string* path = amf::getString(entry);
        if (!path) continue;
        if (hashing.full()) deliver(hashing.take());
        hashing.submit([path = *path] { return hashOneFile(path); });
    }
    while (!hashing.empty()) deliver(hashing.take());
    batch.flush();
    amf::amf_object summary;
    summary.set_numeric_property(kCountKey, successes);
    request.SendResponseData(&summary, true);
}

}  // namespace Ostra

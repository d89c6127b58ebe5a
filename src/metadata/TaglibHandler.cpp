#include "metadata/TaglibHandler.h"

#include <boost/thread/thread.hpp>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "amf/access.h"
#include "amf/batch_size.h"
#include "hostlink/Messenger.h"
#include "hostlink/ResponseBatch.h"
#include "metadata/TagReader.h"
#include "util/InOrder.h"

namespace Ostra {

const char* const TaglibHandler::EXTRACT_METADATA_FROM_FILES = "extractMetadataFromFiles";

const char* TaglibHandler::getCommandName(unsigned long index) {
    return index == 0 ? EXTRACT_METADATA_FROM_FILES : "";
}

void TaglibHandler::processRequest(Request& request) {
    if (std::string(request.CommandName()) != EXTRACT_METADATA_FROM_FILES) return;
    try {
        extractMetadataFromFiles(request);
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (const std::exception& e) {
        request.SendErrorResponse(std::string("extractMetadataFromFiles failed: ") + e.what());
    } catch (...) {
        request.SendErrorResponse("extractMetadataFromFiles failed");
    }
}

void TaglibHandler::extractMetadataFromFiles(Request& request) const {
    const amf::amf_object* parameters = amf::asObject(request.Parameter());
    amf::amf_ecma_array results;
    const amf::amf_ecma_array* filePaths =
        parameters != nullptr ? amf::asEcmaArray(*parameters, "filePaths") : nullptr;
    if (filePaths == nullptr) {
        request.SendResponseData(&results, true);
        return;
    }
    ResponseBatch batch(request, amf::getBatchSize(*parameters));

    double successes = 0;
    // Declared after everything its jobs read, so that it is gone (and no
    // job runs) before they are. A null song is a file left out.
    util::InOrder<Song> reading(files_);
    auto deliver = [&] {
        Song song = reading.take();
        if (!song.read) return;
        // A song too large for any frame is left out like an unreadable file.
        const bool added = song.object ? batch.add(*song.object) : batch.addEncoded(song.bytes);
        if (added) ++successes;
    };
    for (std::uint64_t i = 0;; ++i) {
        boost::this_thread::interruption_point();
        const amf::amf0_data_type* entry = filePaths->get_property(std::to_string(i));
        if (entry == nullptr) break;
        const std::string* path = amf::getString(entry);
        if (path == nullptr) continue;
        if (reading.full()) deliver();
        reading.submit([this, path = *path] { return readSong(path); });
    }
    while (!reading.empty()) deliver();
    batch.flush();
    amf::amf_object summary;
    summary.set_numeric_property("count", successes);
    request.SendResponseData(&summary, true);
}

TaglibHandler::Song TaglibHandler::readSong(const std::string& path) const {
    Song song;
    try {
        auto object = std::make_unique<amf::amf_object>();
        if (!addMetadataFromPathToAMFObject(path, object.get())) return song;
        song.read = true;
        // No larger than a frame can carry: a song beyond that is left out
        // by the batch without being encoded.
        const std::size_t size = amf::get_size(object.get());
        if (size <= kMaxFrameLength) {
            song.bytes.resize(size);
            auto* p = reinterpret_cast<unsigned char*>(&song.bytes[0]);
            if (amf::encode(p, p + size, object.get())) return song;
            song.bytes.clear();
        }
        song.object = std::move(object);
    } catch (const std::exception&) {
        // Like an unreadable file: left out of the results.
        song = Song();
    }
    return song;
}

bool TaglibHandler::addMetadataFromPathToAMFObject(const std::string& path,
                                                   amf::amf_object* song) const {
    if (path.empty() || song == nullptr) return false;
    std::map<std::string, std::string> textFields;
    std::map<std::string, long long> intFields;
    if (!ExtractMetadataFromFileAtPath(path, textFields, intFields)) return false;
    // A tag text past the short-string limit goes out as a long string, so
    // one oversized title cannot make the whole batch unencodable.
    for (const auto& field : textFields) song->set_string_property(field.first, field.second);
    for (const auto& field : intFields) {
        song->set_numeric_property(field.first, static_cast<double>(field.second));
    }
    return true;
}

}  // namespace Ostra

#pragma once

#include <memory>
#include <string>

#include "amf/amf0.h"
#include "hostlink/RequestHandler.h"
#include "util/FileWorkers.h"

namespace Ostra {

// "extractMetadataFromFiles": one song object per readable file of the host's
// list, in batches, then {"count"}. Holds no state; mustSerialize() is true, so
// the dispatcher never runs two of its requests at once. The files of a
// request are read on the shared file workers and answered in list order.
class TaglibHandler : public RequestHandler {
  public:
    static const char* const EXTRACT_METADATA_FROM_FILES;

    // files: the helper's file workers; null reads on the request's thread.
    explicit TaglibHandler(util::FileWorkers* files = nullptr) : files_(files) {}

    bool Setup() override { return true; }
    void Teardown() override {}
    unsigned long getNumCommandNames() override { return 1; }
    const char* getCommandName(unsigned long index) override;
    bool mustSerialize() const override { return true; }
    void processRequest(Request& request) override;

    void extractMetadataFromFiles(Request& request) const;
    // Adds the file's text fields as strings and its integer fields as
    // numbers; false for an empty path, a null object or an unreadable file.
    bool addMetadataFromPathToAMFObject(const std::string& path, amf::amf_object* song) const;

  private:
    // One file's song as a file worker leaves it for the request's thread.
    struct Song {
        bool read = false;  // false: the file is left out
        // The song's encoded bytes, ready for the batch; empty when it would
        // not encode, and then the object itself goes to the batch, which
        // treats it as it always has.
        std::string bytes;
        std::unique_ptr<amf::amf_object> object;
    };
    // The whole work on one file, run on a file worker: reading the tags,
    // building the song and encoding it, so that the request's thread only
    // appends bytes to the batch and sends it.
    Song readSong(const std::string& path) const;

    util::FileWorkers* const files_;
};

}  // namespace Ostra

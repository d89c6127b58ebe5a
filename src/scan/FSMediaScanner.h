#pragma once

#include <dirent.h>

#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "amf/amf0.h"
#include "scan/MediaScanner.h"
#include "util/FileWorkers.h"

namespace Ostra {

// Walks a directory tree and hands a song record for every regular file with
// an accepted extension to the processor. Symbolic links to files are scanned
// under the link's path; links to directories are listed but not followed,
// and a directory that is its own ancestor (a bind mount) is not entered
// again, so the walk cannot loop. A directory that cannot be opened is
// skipped and the walk goes on. Every file is opened relative to its
// directory's descriptor and that descriptor is what the tags are read from,
// so paths longer than PATH_MAX are scanned like any other.
//
// Tag fields are read ahead of the walk on the helper's file workers, but
// records are built and handed to the processor on the scanning thread,
// strictly in walk order: the processor sees what a sequential scan gives.
class FSMediaScanner : public MediaScanner {
  public:
    // startPath is trimmed of surrounding white space. validExtensions holds
    // lower-case extensions without the dot; entries that are not strings are
    // ignored, and a null array accepts no file. files reads the tags ahead
    // of the walk; null reads each file's on the scanning thread.
    FSMediaScanner(boost::shared_ptr<IMediaProcessor> processor, std::string startPath,
                   const amf::amf_ecma_array* validExtensions, util::FileWorkers* files = nullptr);

    bool isAvailable() override { return true; }
    bool filePathHasValidExtension(const std::string& path) const;
    // The same for a name without a folder.
    bool nameHasValidExtension(const char* name) const;
    // Copies the file's tag fields into keys the record does not hold yet.
    void fillInSongMetadataFromFile(amf::amf_object* song, std::string path);

  protected:
    void doScan() override;

  private:
    class TagReadAhead;
    class Directory;
    // Hands over the records of every file read ahead, in walk order.
    void handOver(TagReadAhead& reader, bool all);
    static unsigned char entryType(const Directory& directory, const struct dirent& entry);
    static void descend(std::vector<std::shared_ptr<Directory>>& open, const char* name);
    // Queues a listed file with an accepted extension for its record.
    void considerFile(const std::shared_ptr<Directory>& directory, const char* name,
                      unsigned char type, TagReadAhead& reader);

    std::string startPath_;
    std::unordered_set<std::string> validExtensions_;
    util::FileWorkers* const files_;
};

}  // namespace Ostra

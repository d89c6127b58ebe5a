#pragma once

#include <string>
#include <unordered_set>

#include "amf/amf0.h"
#include "scan/MediaScanner.h"

namespace Ostra {

// Walks a directory tree and hands a song record for every regular file with
// an accepted extension to the processor. Symbolic links to files are scanned
// under the link's path; links to directories are listed but not followed, so
// the walk cannot loop. A directory that cannot be opened is skipped and the
// walk goes on.
class FSMediaScanner : public MediaScanner {
  public:
    // startPath is trimmed of surrounding white space. validExtensions holds
    // lower-case extensions without the dot; entries that are not strings are
    // ignored, and a null array accepts no file.
    FSMediaScanner(boost::shared_ptr<IMediaProcessor> processor, std::string startPath,
                   const amf::amf_ecma_array* validExtensions);

    bool isAvailable() override { return true; }
    bool filePathHasValidExtension(const std::string& path) const;
    // Copies the file's tag fields into keys the record does not hold yet.
    void fillInSongMetadataFromFile(amf::amf_object* song, std::string path);

  protected:
    void doScan() override;

  private:
    // One regular file: the filter, the record and the hand-over.
    void scanFile(const std::string& path);

    std::string startPath_;
    std::unordered_set<std::string> validExtensions_;
};

}  // namespace Ostra

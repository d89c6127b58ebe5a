// What the readers ask of the file cache: a value they read from a file
// before, kept for as long as the file stays the same.
#pragma once

#include <string>

#include "cache/FileIdentity.h"

namespace Ostra {
namespace cache {

// Values read from files, each under the file's path and a kind ("tags",
// "hash", a fingerprint algorithm), stamped with the reader's version text and
// the file's identity. A value comes back only for the same path, kind,
// version and identity, so it is exactly what the reader would produce now.
// Neither call ever fails or waits on a lock: a cache that cannot answer
// answers nothing, and a value that cannot be kept is dropped. Safe on any
// thread.
class FileCache {
  public:
    virtual ~FileCache() = default;

    // True with the value stored for the file as it is now.
    virtual bool find(const std::string& path, const std::string& kind, const std::string& version,
                      const FileIdentity& identity, std::string& value) = 0;
    // Keeps the value of a successful read, unless the file changed too
    // recently to tell a later change apart (FileIdentity::settled). Returns
    // at once: values are written later, off the caller's thread.
    virtual void store(const std::string& path, const std::string& kind, const std::string& version,
                       const FileIdentity& identity, std::string value) = 0;
};

// The process's cache, or null when there is none (OSTRA_CACHE=off, a cache
// that could not be set up, or a program that never installed one). Any
// thread.
FileCache* processCache();
// Installed by main before any request runs and removed after the last one
// has finished; the caller keeps ownership.
void setProcessCache(FileCache* cache);

}  // namespace cache
}  // namespace Ostra

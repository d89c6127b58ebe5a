#pragma once

#include <sys/stat.h>

#include <map>
#include <string>

#include "cache/FileCache.h"
#include "metadata/TagReader.h"

namespace Ostra {

// The tag fields of one file through the process's file cache: found when the
// file is as it was at an earlier successful read, stored after one. Kept on
// the stack of the one read it serves.
class TagCache {
  public:
    // status: the fstat of the descriptor the tags would be read from.
    TagCache(const std::string& path, const struct stat& status);

    // Fills the maps (cleared first) as the earlier read did; false when
    // there is no cache or no entry for the file as it is now.
    bool find(std::map<std::string, std::string>& textFields,
              std::map<std::string, long long>& intFields) const;
    // The same fields as they are stored, for a record built straight from
    // them.
    bool find(KnownTags& tags) const;
    // After a successful read of the same descriptor.
    void store(const std::map<std::string, std::string>& textFields,
               const std::map<std::string, long long>& intFields) const;

  private:
    // The stored fields of the file as it is now, well-formed and of its
    // size, and how many they are.
    bool lookUp(std::string& bytes, std::size_t& fields) const;

    const std::string& path_;
    cache::FileCache* cache_;
    cache::FileIdentity identity_;
};

}  // namespace Ostra

#pragma once

#include <cstdint>
#include <string>

namespace Ostra {
namespace cache {

// Where the file cache lives and how large it may grow, from the environment:
//   OSTRA_CACHE            "off" turns the cache off; any other text is the
//                          cache file's path; unset or empty: the default,
//                          $XDG_CACHE_HOME/ostra-native/cache.sqlite, or
//                          $HOME/.cache/ostra-native/cache.sqlite when
//                          XDG_CACHE_HOME is unset or not an absolute path
//   OSTRA_CACHE_MAX_BYTES  the bound on the entries' pages (default 512 MiB)
//   OSTRA_CACHE_STATS      when set and not "0", one line of counts on
//                          standard error when the helper exits
struct CacheSettings {
    std::string path;    // empty: no cache
    std::string reason;  // why there is none
    std::uint64_t maxBytes = kDefaultMaxBytes;
    bool reportStats = false;

    static constexpr std::uint64_t kDefaultMaxBytes = 512ull << 20;
    // Below this the bound would trim every entry as soon as it is written.
    static constexpr std::uint64_t kMinMaxBytes = 64ull << 10;

    static CacheSettings fromEnvironment();
    bool enabled() const { return !path.empty(); }
};

}  // namespace cache
}  // namespace Ostra

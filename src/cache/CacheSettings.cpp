#include "cache/CacheSettings.h"

#include <cstdlib>
#include <cstring>

namespace Ostra {
namespace cache {

namespace {

const char* variable(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr && value[0] != '\0' ? value : nullptr;
}

}  // namespace

CacheSettings CacheSettings::fromEnvironment() {
    CacheSettings settings;
    const char* chosen = variable("OSTRA_CACHE");
    if (chosen != nullptr && std::strcmp(chosen, "off") == 0) {
        settings.reason = "OSTRA_CACHE=off";
    } else if (chosen != nullptr) {
        settings.path = chosen;
    } else if (const char* xdg = variable("XDG_CACHE_HOME"); xdg != nullptr && xdg[0] == '/') {
        // Relative values are to be ignored, as the base-directory rules say.
        settings.path = std::string(xdg) + "/ostra-native/cache.sqlite";
    } else if (const char* home = variable("HOME")) {
        settings.path = std::string(home) + "/.cache/ostra-native/cache.sqlite";
    } else {
        settings.reason = "neither XDG_CACHE_HOME nor HOME is set";
    }

    if (const char* limit = variable("OSTRA_CACHE_MAX_BYTES")) {
        char* end = nullptr;
        const unsigned long long bytes = std::strtoull(limit, &end, 10);
        if (end != nullptr && *end == '\0' && limit[0] != '-') {
            settings.maxBytes = bytes < kMinMaxBytes ? kMinMaxBytes : bytes;
        }
    }
    const char* stats = variable("OSTRA_CACHE_STATS");
    settings.reportStats = stats != nullptr && std::strcmp(stats, "0") != 0;
    return settings;
}

}  // namespace cache
}  // namespace Ostra

#include "cache/FileIdentity.h"

#include <time.h>

#include <algorithm>

namespace Ostra {
namespace cache {

namespace {

std::int64_t nanoseconds(const struct timespec& time) {
    return static_cast<std::int64_t>(time.tv_sec) * 1000000000 + time.tv_nsec;
}

}  // namespace

std::int64_t FileIdentity::realtimeNs() {
    struct timespec now;
    return clock_gettime(CLOCK_REALTIME, &now) == 0 ? nanoseconds(now) : 0;
}

FileIdentity FileIdentity::of(const struct stat& status) {
    // Read right after the status. A write after the status stamps a time
    // past any settled one, as long as the file system's clock lags by less
    // than kSettleTime.
    return of(status, realtimeNs());
}

FileIdentity FileIdentity::of(const struct stat& status, std::int64_t takenNs) {
    FileIdentity identity;
    identity.device = static_cast<std::uint64_t>(status.st_dev);
    identity.inode = static_cast<std::uint64_t>(status.st_ino);
    identity.size = static_cast<std::int64_t>(status.st_size);
    identity.modifiedNs = nanoseconds(status.st_mtim);
    identity.changedNs = nanoseconds(status.st_ctim);
    const std::int64_t settle =
        std::chrono::duration_cast<std::chrono::nanoseconds>(kSettleTime).count();
    const std::int64_t last = std::max(identity.modifiedNs, identity.changedNs);
    identity.settled = takenNs > 0 && last <= takenNs - settle;
    return identity;
}

}  // namespace cache
}  // namespace Ostra

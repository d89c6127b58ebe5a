#pragma once

#include <sys/stat.h>

#include <chrono>
#include <cstdint>

namespace Ostra {
namespace cache {

// What a file's status says about its content: the same device, inode, size,
// modification time and status-change time (to the nanosecond) mean the same
// bytes. A write, a truncation, a rename over the name, a permission change
// or a retag that restores the modification time all move the status-change
// time, which no one can set back. Plain value; any thread.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    // The file last changed at least kSettleTime before the identity was
    // taken. A file system's clock may be coarse (two seconds on FAT, a
    // scheduler tick elsewhere), so a write just after a fresh change can
    // leave both times as they were: only settled files are remembered.
    bool settled = false;

    // From the fstat of the descriptor that is about to be read, just made.
    static FileIdentity of(const struct stat& status);
    // The same for a status taken some time ago: `takenNs` is a reading of
    // the clock (realtimeNs) from no later than the fstat.
    static FileIdentity of(const struct stat& status, std::int64_t takenNs);
    static std::int64_t realtimeNs();
    bool sameFile(const FileIdentity& other) const {
        return device == other.device && inode == other.inode && size == other.size &&
               modifiedNs == other.modifiedNs && changedNs == other.changedNs;
    }
};

constexpr std::chrono::seconds kSettleTime(2);

}  // namespace cache
}  // namespace Ostra

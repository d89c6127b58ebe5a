#include "cache/FileCache.h"

#include <atomic>

namespace Ostra {
namespace cache {

namespace {

std::atomic<FileCache*> installed{nullptr};

}  // namespace

FileCache* processCache() {
    return installed.load(std::memory_order_acquire);
}

void setProcessCache(FileCache* cache) {
    installed.store(cache, std::memory_order_release);
}

}  // namespace cache
}  // namespace Ostra

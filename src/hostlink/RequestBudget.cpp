#include "hostlink/RequestBudget.h"

namespace Ostra {

bool RequestBudget::tryTake(std::size_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_ != 0 && (bytes > limit_ || held_ > limit_ - bytes)) {
        waiting_ = true;
        return false;
    }
    held_ += bytes;
    return true;
}

void RequestBudget::give(std::size_t bytes) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ -= bytes;
        wake = waiting_;
        waiting_ = false;
    }
    if (wake && wakeUp_) wakeUp_();
}

std::shared_ptr<void> RequestBudget::hold(std::size_t bytes) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ += bytes;
    }
    return std::shared_ptr<void>(nullptr, [this, bytes](void*) { give(bytes); });
}

std::size_t RequestBudget::held() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return held_;
}

}  // namespace Ostra

#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

namespace Ostra {

// Bounds the memory that requests hold from the moment their frame is read
// until the last copy of the request is gone: a frame is read only when room
// for the most its request can take has been taken, and what the decoded
// request really holds replaces that as soon as it is known. Used from any
// thread; the tally is guarded by mutex_.
class RequestBudget {
  public:
    explicit RequestBudget(std::size_t limit) : limit_(limit) {}
    RequestBudget(const RequestBudget&) = delete;
    RequestBudget& operator=(const RequestBudget&) = delete;

    // Called (on the giving thread, without the lock) after a refused
    // tryTake once something is given back. Set before first use.
    void setWakeUp(std::function<void()> wakeUp) { wakeUp_ = std::move(wakeUp); }
    // Takes bytes when they fit beside what is held, or when nothing is held
    // at all, so that one request of any size can always go ahead.
    bool tryTake(std::size_t bytes);
    void give(std::size_t bytes);
    // Takes bytes unconditionally until the returned token is destroyed.
    std::shared_ptr<void> hold(std::size_t bytes);
    std::size_t held() const;

  private:
    const std::size_t limit_;
    std::function<void()> wakeUp_;
    mutable std::mutex mutex_;
    std::size_t held_ = 0;  // mutex_
    bool waiting_ = false;  // mutex_: a tryTake was refused since the last wake-up
};

}  // namespace Ostra

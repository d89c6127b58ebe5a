#pragma once

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <cstddef>
#include <deque>
#include <utility>
#include <vector>

namespace Ostra {
namespace util {

// A hand-over of items from one producing thread to one consuming thread,
// holding at most `capacity` items: the producer waits for room, so a fast
// producer never runs more than that far ahead of its consumer. Either side
// may end it: the producer with finish() (the consumer drains what is left),
// the consumer with close() (what is queued is dropped and the producer's
// next push fails, so it stops). Storage of taken items can go back to the
// producer through recycle() and spare(), so buffers are not allocated anew
// for each item.
//
// Both threads use every member; everything is guarded by mutex_. The waits
// are boost::thread interruption points; a caller that must not be
// interrupted there holds a boost::this_thread::disable_interruption.
template <typename T>
class BoundedQueue {
  public:
    explicit BoundedQueue(std::size_t capacity) : capacity_(capacity > 0 ? capacity : 1) {}
    BoundedQueue(const BoundedQueue&) = delete;
    BoundedQueue& operator=(const BoundedQueue&) = delete;

    // Waits while the queue is full. False once the consumer has closed the
    // queue: the item was dropped.
    bool push(T item) {
        boost::unique_lock<boost::mutex> lock(mutex_);
        while (items_.size() >= capacity_ && !closed_) changed_.wait(lock);
        if (closed_) return false;
        items_.push_back(std::move(item));
        lock.unlock();
        changed_.notify_all();
        return true;
    }

    // The producer will push nothing more.
    void finish() {
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            finished_ = true;
        }
        changed_.notify_all();
    }

    // Waits for the oldest item and moves it into `item`. False when there
    // is none and will be none: finished and drained, or closed.
    bool pop(T& item) {
        boost::unique_lock<boost::mutex> lock(mutex_);
        while (items_.empty() && !finished_ && !closed_) changed_.wait(lock);
        if (items_.empty() || closed_) return false;
        item = std::move(items_.front());
        items_.pop_front();
        lock.unlock();
        changed_.notify_all();
        return true;
    }

    // The consumer takes nothing more: drops the queued items and wakes the
    // producer, whose pushes fail from now on.
    void close() {
        std::deque<T> dropped;
        {
            boost::lock_guard<boost::mutex> lock(mutex_);
            closed_ = true;
            dropped.swap(items_);
        }
        changed_.notify_all();
    }

    bool closed() const {
        boost::lock_guard<boost::mutex> lock(mutex_);
        return closed_;
    }

    // Keeps a taken item's storage for the producer, at most `capacity` of
    // them (more are freed), so the storage in flight stays bounded too.
    void recycle(T storage) {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (spares_.size() < capacity_) spares_.push_back(std::move(storage));
    }

    // Storage given back by recycle(), or a new T when there is none.
    T spare() {
        boost::lock_guard<boost::mutex> lock(mutex_);
        if (spares_.empty()) return T();
        T storage = std::move(spares_.back());
        spares_.pop_back();
        return storage;
    }

  private:
    const std::size_t capacity_;
    mutable boost::mutex mutex_;
    boost::condition_variable changed_;  // an item came or went, or finish() or close()
    std::deque<T> items_;
    std::vector<T> spares_;
    bool finished_ = false;
    bool closed_ = false;
};

}  // namespace util
}  // namespace Ostra

#pragma once

#include <algorithm>
#include <cstddef>
#include <deque>
#include <exception>
#include <memory>
#include <optional>
#include <type_traits>
#include <utility>

#include "util/FileWorkers.h"

namespace Ostra {
namespace util {

// An ordered map over a list, run on the file workers: the requesting thread
// submits one piece of work per item and takes the results back strictly in
// submission order, whichever finishes first. At most window() items are in
// flight (submitted and not yet taken), which bounds the memory a request
// holds however long its list is.
//
//     InOrder<Hashed> lane(files);
//     for (const std::string& path : paths) {
//         if (lane.full()) deliver(lane.take());
//         lane.submit([path] { return hashOne(path); });
//     }
//     while (!lane.empty()) deliver(lane.take());
//
// Used by the one thread that runs the request. Destroying it early (an
// interruption, an error) drops the work not started and waits for the work
// running, which is interrupted.
template <typename Result>
class InOrder {
  public:
    // files may be null: each item then runs on this thread when taken.
    // window 0 picks the lane's default of a few items per worker.
    explicit InOrder(FileWorkers* files, std::size_t window = 0)
        : lane_(files), window_(window > 0 ? window : lane_.window()) {}
    InOrder(const InOrder&) = delete;
    InOrder& operator=(const InOrder&) = delete;

    bool full() const { return slots_.size() >= window_; }
    bool empty() const { return slots_.empty(); }
    std::size_t window() const { return window_; }

    // Queues work, a callable returning Result; take() the oldest first when
    // full(). It runs on a worker thread: it may use only what it holds and
    // what is read-only for the whole request.
    template <typename Work>
    void submit(Work work) {
        slots_.push_back(std::make_unique<Bound<Work>>(std::move(work)));
        lane_.submit(*slots_.back());
    }

    // Queues a result that needs no work, so that it keeps its place among
    // the others; take() the oldest first when full().
    void put(Result result) {
        slots_.push_back(std::make_unique<Slot>());
        slots_.back()->result.emplace(std::move(result));
        slots_.back()->ready = true;
    }

    // The oldest item's result; rethrows what its work threw, so a failure
    // belongs to its own item. An interruption point.
    Result take() {
        if (!slots_.front()->ready) lane_.wait(*slots_.front(), later());
        std::unique_ptr<Slot> oldest = std::move(slots_.front());
        slots_.pop_front();
        if (oldest->failure()) std::rethrow_exception(oldest->failure());
        return std::move(*oldest->result);
    }

  private:
    // The item a waiting take() sleeps until as well: the newest with work
    // among the older half of the window, so that the caller wakes to a run
    // of finished items while the newer half keeps the workers busy. Null
    // when there is none but the oldest.
    const detail::Job* later() const {
        const std::size_t last = std::min(slots_.size(), window_ / 2);
        for (std::size_t i = last; i-- > 1;) {
            // An item put() without work is never queued, so never waited for.
            if (!slots_[i]->ready) return slots_[i].get();
        }
        return nullptr;
    }

    class Slot : public detail::Job {
      public:
        // Set by the work, or by put() for an item without work.
        std::optional<Result> result;
        // Set by put(): never queued, so never waited for. Unlike result, it
        // is touched by the requesting thread only.
        bool ready = false;

      protected:
        void run() override {}
    };
    template <typename Work>
    class Bound : public Slot {
      public:
        explicit Bound(Work work) : work_(std::move(work)) {}

      protected:
        void run() override { this->result.emplace(work_()); }

      private:
        Work work_;
    };

    // Declared before the lane, which is destroyed first: no job still runs
    // when the slots go.
    std::deque<std::unique_ptr<Slot>> slots_;
    FileWorkers::Lane lane_;
    const std::size_t window_;
};

}  // namespace util
}  // namespace Ostra

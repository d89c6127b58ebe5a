// The process's shared pool of file workers and the per-request lanes that
// queue work on it.
#pragma once

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <vector>

namespace Ostra {
namespace util {

class FileWorkers;

namespace detail {

// One queued piece of file work as the pool sees it: run() is called at most
// once, on a worker or on the thread that waits for it, and must store its
// own result; whatever it throws is kept for the waiter.
class Job {
  public:
    virtual ~Job() = default;
    // What run() threw, once the job is done; null when it returned.
    std::exception_ptr failure() const { return failure_; }

  protected:
    virtual void run() = 0;

  private:
    friend class Ostra::util::FileWorkers;
    enum class State { kQueued, kRunning, kDone };
    void runCatching();

    State state_ = State::kQueued;  // FileWorkers::mutex_
    std::exception_ptr failure_;    // written before state_ turns kDone, read after
};

}  // namespace detail

// A fixed set of threads that run file jobs for every request of the helper.
// Each request queues its jobs on a Lane of its own; workers serve the lanes
// with queued jobs in turn, one job each, so several requests share the
// workers evenly, a small request is not stuck behind a huge one, and never
// more jobs run at once than there are workers. A requesting thread only
// waits; it runs a job itself only when no worker will (a pool of no threads,
// or one that has stopped), so a request's jobs never need more than a core.
//
// Created once by the process and shared by the handlers that read files; the
// workers and every lane share mutex_. stop() and the destructor are called
// by the owner after every request that used the pool has finished.
class FileWorkers {
  public:
    class Lane;

    // threads 0: no threads; every job runs on the thread that waits for it.
    explicit FileWorkers(unsigned threads);
    ~FileWorkers();
    FileWorkers(const FileWorkers&) = delete;
    FileWorkers& operator=(const FileWorkers&) = delete;

    unsigned size() const { return static_cast<unsigned>(threads_.size()); }
    // Stops the workers once their running jobs return and joins them. Jobs
    // still queued are run by the threads that wait for them.
    void stop();

    // The processors this process may run on (at least 1), or the
    // environment variable OSTRA_FILE_WORKERS when it holds a count from 0 to
    // kMaxThreads (0: every job on its requesting thread, as a sequential
    // helper does).
    static unsigned configuredSize();
    static constexpr unsigned kMaxThreads = 64;
    // The name every worker thread carries (at most 15 characters).
    static constexpr const char* kThreadName = "file worker";

  private:
    void work(std::size_t index);

    boost::mutex mutex_;
    boost::condition_variable queued_;  // ring_ got a lane, or stopping_
    // Lanes with queued jobs, each at most once, the lowest turn served
    // first (the earliest in the ring of those with the same turn); a lane
    // that still has jobs after one was taken goes to the back.
    std::deque<Lane*> ring_;
    // The turn of the job taken last. A lane joining the ring starts at it,
    // ahead of every lane that had that turn already: a new request waits
    // for no other request to be served twice.
    std::uint64_t turn_ = 0;
    // The lane whose job each worker runs, null when idle: who to interrupt
    // when that lane is abandoned.
    std::vector<Lane*> busy_;
    bool stopping_ = false;
    std::vector<std::unique_ptr<boost::thread>> threads_;
};

// One request's queue on the pool. Used by the one thread that runs the
// request; its fields are guarded by the pool's mutex. Destroying a lane
// abandons it: queued jobs are dropped unrun, workers running its jobs are
// interrupted (the jobs see it at their interruption points), and the
// destructor returns once none of its jobs runs any more, so a job never
// outlives what its request owns.
class FileWorkers::Lane {
  public:
    // pool may be null: every job then runs on the requesting thread.
    explicit Lane(FileWorkers* pool);
    ~Lane();
    Lane(const Lane&) = delete;
    Lane& operator=(const Lane&) = delete;

    // Queues the job, which must stay alive until wait() returns for it or
    // the lane is destroyed.
    void submit(detail::Job& job);
    // Returns once the job has run, running it on this thread when no worker
    // will. Jobs must be waited for in the order they were submitted. An
    // interruption point: interrupting the requesting thread ends the wait.
    // `ahead`, a job of this lane submitted after `job`, asks to sleep until
    // it is done too when workers will run it: a requesting thread whose own
    // work per item is small then wakes once for a run of items rather than
    // once for each (a sleep and a wake-up cost about as much as reading a
    // small file's tags).
    void wait(detail::Job& job, const detail::Job* ahead = nullptr);
    // The number of jobs worth queueing ahead of the oldest: a few per worker,
    // so that every worker stays busy while results are taken in order.
    std::size_t window() const;

  private:
    friend class FileWorkers;

    FileWorkers* pool_;
    std::deque<detail::Job*> queued_;
    unsigned running_ = 0;
    std::uint64_t turn_ = 0;  // its next job's turn, one more for each job taken
    bool inRing_ = false;
    bool abandoning_ = false;
    const detail::Job* awaited_ = nullptr;
    boost::condition_variable finished_;  // awaited_ is done, or running_ fell while abandoning_
};

}  // namespace util
}  // namespace Ostra

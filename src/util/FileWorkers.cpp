#include "util/FileWorkers.h"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace Ostra {
namespace util {

namespace {

// Items queued ahead per worker: enough that a worker finishing a short file
// finds the next one queued while a long file holds the head of the list.
constexpr std::size_t kAheadPerWorker = 4;

unsigned processorsAvailable() {
    // The affinity mask, not the machine: a helper started under taskset or
    // in a container with fewer cores gets that many workers.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<unsigned>(count);
    }
    return std::max(1u, boost::thread::hardware_concurrency());
}

}  // namespace

void detail::Job::runCatching() {
    try {
        run();
    } catch (...) {
        failure_ = std::current_exception();
    }
}

FileWorkers::FileWorkers(unsigned threads) : busy_(std::min(threads, kMaxThreads), nullptr) {
    for (std::size_t i = 0; i < busy_.size(); ++i) {
        threads_.emplace_back(new boost::thread([this, i] { work(i); }));
    }
}

FileWorkers::~FileWorkers() {
    stop();
}

unsigned FileWorkers::configuredSize() {
    const char* setting = std::getenv("OSTRA_FILE_WORKERS");
    if (setting != nullptr && setting[0] != '\0' && std::strlen(setting) <= 2 &&
        std::all_of(setting, setting + std::strlen(setting),
                    [](char c) { return c >= '0' && c <= '9'; })) {
        const unsigned count = static_cast<unsigned>(std::atoi(setting));
        if (count <= kMaxThreads) return count;
    }
    return std::min(processorsAvailable(), kMaxThreads);
}

void FileWorkers::stop() {
    {
        boost::lock_guard<boost::mutex> lock(mutex_);
        stopping_ = true;
        // Their requesting threads run what is left, so none waits for ever.
        for (Lane* lane : ring_) {
            lane->inRing_ = false;
            lane->finished_.notify_all();
        }
        ring_.clear();
    }
    queued_.notify_all();
    boost::this_thread::disable_interruption joinToTheEnd;
    for (auto& thread : threads_) {
        if (thread->joinable()) thread->join();
    }
}

void FileWorkers::work(std::size_t index) {
    // Named for what it does, so that tools (and the benchmarks, which count
    // the workers' share of the helper's processor time) can tell them apart.
    ::pthread_setname_np(::pthread_self(), kThreadName);
    // Only a job may be interrupted, and only by its lane being abandoned.
    boost::this_thread::disable_interruption onlyJobs;
    boost::unique_lock<boost::mutex> lock(mutex_);
    for (;;) {
        while (!stopping_ && ring_.empty()) queued_.wait(lock);
        if (stopping_) return;
        const auto next = std::min_element(ring_.begin(), ring_.end(),
                                           [](Lane* a, Lane* b) { return a->turn_ < b->turn_; });
        Lane* lane = *next;
        ring_.erase(next);
        turn_ = lane->turn_++;
        detail::Job* job = lane->queued_.front();
        lane->queued_.pop_front();
        if (lane->queued_.empty()) {
            lane->inRing_ = false;
        } else {
            ring_.push_back(lane);
        }
        job->state_ = detail::Job::State::kRunning;
        ++lane->running_;
        busy_[index] = lane;
        lock.unlock();
        {
            boost::this_thread::restore_interruption interruptible(onlyJobs);
            job->runCatching();
        }
        lock.lock();
        busy_[index] = nullptr;
        // The lane's thread may free the job as soon as the lock is released.
        job->state_ = detail::Job::State::kDone;
        --lane->running_;
        if (lane->awaited_ == job || lane->abandoning_) lane->finished_.notify_all();
        // An interruption that came after the job's last interruption point
        // was meant for that job only: clear it before the next one. No
        // other can come now, as busy_ no longer names the lane.
        try {
            boost::this_thread::restore_interruption interruptible(onlyJobs);
            boost::this_thread::interruption_point();
        } catch (const boost::thread_interrupted&) {
        }
    }
}

FileWorkers::Lane::Lane(FileWorkers* pool) : pool_(pool) {}

FileWorkers::Lane::~Lane() {
    if (pool_ == nullptr) return;
    // The wait below must not be cut short: a job still running uses what
    // the request owns.
    boost::this_thread::disable_interruption waitToTheEnd;
    boost::unique_lock<boost::mutex> lock(pool_->mutex_);
    queued_.clear();
    if (inRing_) {
        pool_->ring_.erase(std::find(pool_->ring_.begin(), pool_->ring_.end(), this));
        inRing_ = false;
    }
    if (running_ == 0) return;
    abandoning_ = true;
    for (std::size_t i = 0; i < pool_->busy_.size(); ++i) {
        if (pool_->busy_[i] == this) pool_->threads_[i]->interrupt();
    }
    while (running_ > 0) finished_.wait(lock);
}

std::size_t FileWorkers::Lane::window() const {
    const std::size_t threads = pool_ == nullptr ? 0 : pool_->threads_.size();
    return threads == 0 ? 1 : kAheadPerWorker * threads;
}

void FileWorkers::Lane::submit(detail::Job& job) {
    if (pool_ == nullptr) {
        queued_.push_back(&job);
        return;
    }
    {
        boost::lock_guard<boost::mutex> lock(pool_->mutex_);
        queued_.push_back(&job);
        if (pool_->stopping_ || pool_->threads_.empty()) return;
        if (!inRing_) {
            // A lane that left the ring gains nothing: its turn only grows.
            turn_ = std::max(turn_, pool_->turn_);
            pool_->ring_.push_back(this);
            inRing_ = true;
        }
    }
    // Every job may find an idle worker, also when the lane is in the ring
    // already and one worker is about to take its previous job.
    pool_->queued_.notify_one();
}

void FileWorkers::Lane::wait(detail::Job& job, const detail::Job* ahead) {
    if (pool_ == nullptr) {
        queued_.pop_front();
        job.runCatching();
        job.state_ = detail::Job::State::kDone;
        return;
    }
    boost::unique_lock<boost::mutex> lock(pool_->mutex_);
    while (job.state_ != detail::Job::State::kDone) {
        // A lane with queued jobs is out of the ring only when no worker will
        // take them; jobs are waited for in order, so this one is the first.
        if (job.state_ == detail::Job::State::kQueued && !inRing_) {
            queued_.pop_front();
            job.state_ = detail::Job::State::kRunning;
            lock.unlock();
            job.runCatching();
            lock.lock();
            job.state_ = detail::Job::State::kDone;
            break;
        }
        // A later job is worth the wait only while a worker surely finishes
        // it: running, or queued on a lane the workers serve.
        const bool later = ahead != nullptr && !pool_->stopping_ &&
                           (ahead->state_ == detail::Job::State::kRunning ||
                            (ahead->state_ == detail::Job::State::kQueued && inRing_));
        awaited_ = later ? ahead : &job;
        try {
            finished_.wait(lock);
        } catch (...) {
            awaited_ = nullptr;
            throw;
        }
    }
    awaited_ = nullptr;
}

}  // namespace util
}  // namespace Ostra

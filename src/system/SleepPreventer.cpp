#include "system/SleepPreventer.h"

#include <exception>
#include <string>

#include "util/Trace.h"

namespace Ostra {

namespace {

const char* const kAssertionName = "Lumasond is busy";
constexpr std::chrono::seconds kActivityInterval(25);

void traceFailure(const std::string& error) {
    util::writeErrorLine("Sleep prevention: " + error + "\n");
}

SleepPreventer::Mode chooseMode() {
    try {
        if (Ostra::os::powerAssertionsAvailable()) return SleepPreventer::Mode::Assertion;
        if (Ostra::os::userActivityAvailable()) return SleepPreventer::Mode::Periodic;
    } catch (const std::exception& e) {
        traceFailure(e.what());
    }
    return SleepPreventer::Mode::Unavailable;
}

}  // namespace

SleepPreventer::SleepPreventer() : startBarrier_(2) {
    loopThread_ = boost::thread(&SleepPreventer::t_sleepLoop, this);
    {
        boost::lock_guard<boost::mutex> lock(stateLock_);
        running_ = true;
    }
    mode_ = chooseMode();
    startBarrier_.wait();
}

SleepPreventer::~SleepPreventer() {
    {
        boost::lock_guard<boost::mutex> lock(stateLock_);
        running_ = false;
        preventing_ = false;
        assertion_.release();
    }
    wake_.notify_all();
    loopThread_.join();
}

bool SleepPreventer::preventSleep() {
    boost::lock_guard<boost::mutex> lock(stateLock_);
    switch (mode_) {
        case Mode::Assertion: {
            // Taken under the lock: concurrent requests never take a second lock.
            if (assertion_.held()) return true;
            std::string error;
            if (assertion_.create(kAssertionName, error)) return true;
            traceFailure(error);
            return false;
        }
        case Mode::Periodic:
            if (!preventing_) {
                preventing_ = true;
                nextReport_ = std::chrono::steady_clock::now();
                wake_.notify_all();
            }
            return true;
        case Mode::Unavailable:
            break;
    }
    return false;
}

bool SleepPreventer::allowSleep() {
    boost::lock_guard<boost::mutex> lock(stateLock_);
    assertion_.release();
    preventing_ = false;
    wake_.notify_all();
    return true;
}

void SleepPreventer::t_sleepLoop() {
    startBarrier_.wait();
    if (mode_ != Mode::Periodic) return;
    try {
        boost::unique_lock<boost::mutex> lock(stateLock_);
        while (running_) {
            if (!preventing_) {
                wake_.wait(lock);
                continue;
            }
            std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
            if (now < nextReport_) {
                // Woken early by allowSleep or the destructor.
                wake_.wait_until(lock, nextReport_);
                continue;
            }
            nextReport_ = now + kActivityInterval;
            lock.unlock();
            std::string error;
            if (!Ostra::os::reportUserActivity(error)) traceFailure(error);
            lock.lock();
        }
    } catch (const boost::thread_interrupted&) {
        throw;
    } catch (const std::exception& e) {
        traceFailure(e.what());
    }
}

}  // namespace Ostra

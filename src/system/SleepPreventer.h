#pragma once

#include <boost/thread/barrier.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <condition_variable>

#include "platform/os/PowerManagement.h"

namespace Ostra {

// Keeps the machine awake between preventSleep and allowSleep (or its own
// destruction), in the way the machine offers, chosen once at construction:
// - assertion mode: logind answers on the system bus; an inhibitor lock is
//   held while sleep is prevented;
// - periodic mode: only a screen saver answers on the session bus; the loop
//   thread reports user activity at once and then every 25 seconds while
//   sleep is prevented;
// - neither: preventSleep fails.
// preventSleep and allowSleep may be called from any threads at once; the
// loop thread touches only what stateLock_ guards.
class SleepPreventer {
  public:
    enum class Mode { Assertion, Periodic, Unavailable };

    SleepPreventer();
    ~SleepPreventer();
    SleepPreventer(const SleepPreventer&) = delete;
    SleepPreventer& operator=(const SleepPreventer&) = delete;

    bool Init() { return true; }
    void Cleanup() {}

    // True when sleep is now prevented.
    bool preventSleep();
    // True when sleep is now allowed.
    bool allowSleep();
    Mode mode() const { return mode_; }

  private:
    void t_sleepLoop();

    // Guards preventing_, nextReport_, running_ and assertion_; wake_ is
    // signalled when one of the first three changes.
    boost::mutex stateLock_;
    std::condition_variable_any wake_;
    // Holds the loop thread until the mode is chosen.
    boost::barrier startBarrier_;
    bool preventing_ = false;
    std::chrono::steady_clock::time_point nextReport_;
    // Written before the start barrier, read-only afterwards.
    Mode mode_ = Mode::Unavailable;
    Ostra::os::PowerAssertion assertion_;
    bool running_ = false;
    boost::thread loopThread_;
};

}  // namespace Ostra

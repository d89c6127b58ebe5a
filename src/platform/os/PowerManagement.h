// Keeping the machine awake on Linux: inhibitor locks of the login manager
// (logind) on the system bus, and user-activity reports to the screen saver
// on the session bus.
#pragma once

#include <string>

namespace Ostra::os {

// One inhibitor lock that keeps the machine and display from idling into
// sleep. The lock is the descriptor logind hands out: holding it is holding
// the lock, closing it releases it. Move-only; not locked internally, so the
// owner serialises its use.
class PowerAssertion {
  public:
    PowerAssertion() = default;
    PowerAssertion(PowerAssertion&& other) noexcept;
    PowerAssertion& operator=(PowerAssertion&& other) noexcept;
    PowerAssertion(const PowerAssertion&) = delete;
    PowerAssertion& operator=(const PowerAssertion&) = delete;
    ~PowerAssertion();

    // Takes an "idle:sleep" blocking lock for reason from logind, replacing
    // any lock held. False, with the reason in error, when logind refused or
    // did not answer.
    bool create(const std::string& reason, std::string& error);
    bool held() const { return fd_ >= 0; }
    // Closes the lock's descriptor. Closing always gives the descriptor up,
    // so afterwards nothing is held.
    void release();

  private:
    int fd_ = -1;
};

// True when logind answers on the system bus.
bool powerAssertionsAvailable();
// True when a screen saver service answers on the session bus.
bool userActivityAvailable();
// Tells the screen saver that the user is active, which resets its idle
// timer. False, with the reason in error, when the call failed.
bool reportUserActivity(std::string& error);

}  // namespace Ostra::os

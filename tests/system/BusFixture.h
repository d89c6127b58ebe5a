// Private D-Bus buses with mock services, for sleep-prevention tests: a bus
// daemon of our own on a socket in a temporary folder, python-dbusmock's
// logind template as the login manager, and a mock screen saver.
#pragma once

#include <string>
#include <vector>

#include "host/client/HelperProcess.h"
#include "support/TestHost.h"

namespace systemtest {

// A service that ends (SIGTERM, then reaped) with this object; its output is
// captured for the message when it does not come up.
class ChildProcess {
  public:
    ChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& env = {});
    ~ChildProcess() { stop(); }
    void stop();
    std::string output() const { return process_.out() + process_.err(); }

  private:
    Ostra::host::HelperProcess process_;
};

// A bus daemon listening on a socket of its own.
class PrivateBus {
  public:
    explicit PrivateBus(const std::string& name);
    // "unix:path=..." for DBUS_SYSTEM_BUS_ADDRESS or DBUS_SESSION_BUS_ADDRESS.
    const std::string& address() const { return address_; }
    const std::string& folder() const { return dir_.path(); }

  private:
    testsupport::TempDir dir_;
    std::string address_;
    ChildProcess daemon_;
};

// An address where no bus listens.
std::string absentBusAddress();

struct Inhibitor {
    std::string what, who, why, mode;
};

// logind from python-dbusmock's template on the given bus: it records every
// inhibitor lock it hands out and drops it when the lock's descriptor closes.
class LogindMock {
  public:
    explicit LogindMock(const PrivateBus& bus);
    std::vector<Inhibitor> inhibitors() const;
    // Waits (up to 20 s) until the mock lists count locks; returns the last list.
    std::vector<Inhibitor> waitForInhibitors(std::size_t count) const;
    // How many locks were asked for: a lock dropped and taken again leaves
    // the list as it was, but not this count.
    int inhibitCalls() const;
    void stop() { process_.stop(); }

  private:
    std::string address_, logPath_;
    ChildProcess process_;
};

// A screen saver on the given bus that logs its SimulateUserActivity calls.
class ScreenSaverMock {
  public:
    explicit ScreenSaverMock(const PrivateBus& bus);
    int activityReports() const;
    // Waits (up to 20 s) for at least count reports; returns the last count.
    int waitForActivityReports(int count) const;

  private:
    std::string address_, logPath_;
    ChildProcess process_;
};

// Sets DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS of this process
// for its lifetime, and the same pair as extra environment for the helper.
class BusEnvironment {
  public:
    BusEnvironment(const std::string& systemAddress, const std::string& sessionAddress);
    ~BusEnvironment();
    std::vector<std::string> helperEnv() const;

  private:
    std::string system_, session_;
};

}  // namespace systemtest

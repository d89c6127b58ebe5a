// Private D-Bus buses with mock services, for sleep-prevention tests: a bus
// daemon of our own on a socket in a temporary folder, python-dbusmock's
// logind template as the login manager, and a mock screen saver. The tests
// look at the buses with busctl, as a user would.
#pragma once

#include <string>
#include <vector>

#include "host/client/HelperProcess.h"
#include "support/TestHost.h"

namespace systemtest {

// A service that ends (SIGTERM, then reaped) with this object; its output is
// kept for the message when it does not come up.
class ChildProcess {
  public:
    explicit ChildProcess(const std::vector<std::string>& args,
                          const std::vector<std::string>& env = {});
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

// A socket that takes connections into its backlog and never says a word, as
// a hung bus daemon does.
class SilentBus {
  public:
    SilentBus();
    ~SilentBus();
    SilentBus(const SilentBus&) = delete;
    SilentBus& operator=(const SilentBus&) = delete;
    std::string address() const { return "unix:path=" + dir_ / "silent_bus"; }

  private:
    testsupport::TempDir dir_;
    int fd_ = -1;
};

// A python-dbusmock service on a private bus that logs every call made to it.
class MockService {
  public:
    // Calls of `method` so far.
    int calls(const std::string& method) const;
    // Waits (up to 20 s) for at least `count` calls; returns the last count.
    int waitForCalls(const std::string& method, int count) const;
    void stop() { process_.stop(); }

  protected:
    // Starts `python3 -m dbusmock -l LOG args...` and waits until `ready`, a
    // busctl call, succeeds.
    MockService(const PrivateBus& bus, const std::string& busVariable,
                const std::vector<std::string>& args, const std::string& ready);
    std::string address_, logPath_;
    ChildProcess process_;
};

// logind from python-dbusmock's template: it records every inhibitor lock it
// hands out and drops it when the lock's descriptor closes.
class LogindMock : public MockService {
  public:
    explicit LogindMock(const PrivateBus& bus);
    // Waits (up to 20 s) until the mock lists `count` locks; returns the last
    // list, each lock as "what|who|why|mode".
    std::vector<std::string> waitForInhibitors(std::size_t count) const;
};

// A screen saver that takes SimulateUserActivity calls.
class ScreenSaverMock : public MockService {
  public:
    explicit ScreenSaverMock(const PrivateBus& bus);
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

// Private D-Bus buses for sleep-prevention tests: a bus daemon of our own on a
// socket in a temporary folder, python-dbusmock's logind template and a mock
// screen saver, looked at with busctl as a user would.
#pragma once

#include <string>
#include <vector>

#include "host/client/HelperProcess.h"
#include "support/TestHost.h"

namespace systemtest {

// A service that ends (SIGTERM, then reaped) with this object.
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

class PrivateBus {
  public:
    explicit PrivateBus(const std::string& name);
    const std::string& address() const { return address_; }  // "unix:path=..."
    const std::string& folder() const { return dir_.path(); }

  private:
    testsupport::TempDir dir_;
    std::string address_;
    ChildProcess daemon_;
};

// An address where no bus listens.
std::string absentBusAddress();

// A socket that takes connections and never says a word, as a hung bus daemon.
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
    int calls(const std::string& method) const;
    // Waits (up to 20 s) for `count` calls; returns the last count.
    int waitForCalls(const std::string& method, int count) const;

  protected:
    // Starts `python3 -m dbusmock -l LOG args...`; ready once `ready`, a busctl call, succeeds.
    MockService(const PrivateBus& bus, const std::string& busVariable,
                const std::vector<std::string>& args, const std::string& ready);
    std::string address_, logPath_;
    ChildProcess process_;
};

// logind that drops an inhibitor lock when the lock's descriptor closes.
class LogindMock : public MockService {
  public:
    explicit LogindMock(const PrivateBus& bus);
    // Waits (up to 20 s) for `count` locks; returns the last list, each as "what|who|why|mode".
    std::vector<std::string> waitForInhibitors(std::size_t count) const;
};

class ScreenSaverMock : public MockService {
  public:
    explicit ScreenSaverMock(const PrivateBus& bus);
};

// Both bus addresses of this process for its lifetime, and for the helper.
class BusEnvironment {
  public:
    BusEnvironment(const std::string& systemAddress, const std::string& sessionAddress);
    ~BusEnvironment();
    std::vector<std::string> helperEnv() const;

  private:
    std::string system_, session_;
};

}  // namespace systemtest

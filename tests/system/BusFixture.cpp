#include "system/BusFixture.h"

#include <signal.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/os/SdBus.h"

namespace systemtest {

namespace {

using Quorvel::System::Platform::BusConnection;
using Quorvel::System::Platform::BusError;
using Quorvel::System::Platform::BusMessage;

// Only python3 from the system has the dbusmock module.
const char* const kPython = "/usr/bin/python3";
constexpr std::chrono::seconds kReadyTimeout(20);

BusConnection connectTo(const std::string& address) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0) return BusConnection();
    BusConnection bus(raw);
    if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
        sd_bus_start(raw) < 0) {
        return BusConnection();
    }
    sd_bus_set_method_call_timeout(raw, 5 * 1000 * 1000);
    return bus;
}

template <typename Condition>
bool waitFor(Condition condition) {
    auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

bool listInhibitors(const std::string& address, std::vector<Inhibitor>& result) {
    BusConnection bus = connectTo(address);
    if (!bus) return false;
    BusError error;
    sd_bus_message* raw = nullptr;
    int r = sd_bus_call_method(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                               "org.freedesktop.login1.Manager", "ListInhibitors", error.get(),
                               &raw, "");
    BusMessage reply(raw);
    if (r < 0 || sd_bus_message_enter_container(raw, 'a', "(ssssuu)") < 0) return false;
    result.clear();
    for (;;) {
        const char *what, *who, *why, *mode;
        uint32_t uid, pid;
        r = sd_bus_message_read(raw, "(ssssuu)", &what, &who, &why, &mode, &uid, &pid);
        if (r < 0) return false;
        if (r == 0) break;
        result.push_back(Inhibitor{what, who, why, mode});
    }
    return true;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& args,
                           const std::vector<std::string>& env)
    : process_(args, env) {}

void ChildProcess::stop() {
    if (process_.running()) kill(process_.pid(), SIGTERM);
    process_.wait();
}

PrivateBus::PrivateBus(const std::string& name)
    : address_("unix:path=" + dir_ / (name + "_bus")), daemon_([&] {
          testsupport::writeFile(dir_ / "bus.conf", R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig><type>)" + name + "</type><listen>" + address_ +
                                                        R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/><allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/><allow own="*"/>
  </policy>
</busconfig>
)");
          return std::vector<std::string>{"/usr/bin/dbus-daemon", "--nofork",
                                          "--config-file=" + dir_ / "bus.conf"};
      }()) {
    if (!waitFor([&] { return bool(connectTo(address_)); }))
        throw std::runtime_error("private bus never came up: " + daemon_.output());
}

std::string absentBusAddress() {
    return "unix:path=/nonexistent/ostra-test-no-bus";
}

LogindMock::LogindMock(const PrivateBus& bus)
    : address_(bus.address()),
      logPath_(bus.folder() + "/logind-calls.log"),
      process_({kPython, "-m", "dbusmock", "--system", "-l", logPath_, "--template", "logind"},
               {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()}) {
    std::vector<Inhibitor> ignored;
    if (!waitFor([&] { return listInhibitors(address_, ignored); })) {
        throw std::runtime_error("logind mock never answered: " + process_.output());
    }
}

std::vector<Inhibitor> LogindMock::inhibitors() const {
    std::vector<Inhibitor> result;
    if (!listInhibitors(address_, result)) throw std::runtime_error("ListInhibitors failed");
    return result;
}

std::vector<Inhibitor> LogindMock::waitForInhibitors(std::size_t count) const {
    std::vector<Inhibitor> result;
    waitFor([&] { return listInhibitors(address_, result) && result.size() == count; });
    return result;
}

int LogindMock::inhibitCalls() const {
    // One line per call: a timestamp, the method name, its arguments.
    std::istringstream log(testsupport::readFile(logPath_));
    int count = 0;
    for (std::string line; std::getline(log, line);) {
        if (line.find(" Inhibit ") != std::string::npos) ++count;
    }
    return count;
}

ScreenSaverMock::ScreenSaverMock(const PrivateBus& bus)
    : address_(bus.address()),
      logPath_(bus.folder() + "/screensaver-calls.log"),
      process_(
          {kPython, "-m", "dbusmock", "--session", "-l", logPath_, "org.freedesktop.ScreenSaver",
           "/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver"},
          {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()}) {
    bool added = waitFor([&] {
        BusConnection connection = connectTo(address_);
        if (!connection) return false;
        BusError error;
        return sd_bus_call_method(connection.get(), "org.freedesktop.ScreenSaver",
                                  "/org/freedesktop/ScreenSaver", "org.freedesktop.DBus.Mock",
                                  "AddMethod", error.get(), nullptr, "sssss", "",
                                  "SimulateUserActivity", "", "", "") >= 0;
    });
    if (!added) {
        throw std::runtime_error("screen saver mock never answered: " + process_.output());
    }
}

int ScreenSaverMock::activityReports() const {
    std::string log = testsupport::readFile(logPath_);
    int count = 0;
    const std::string call = "SimulateUserActivity";
    for (std::size_t at = log.find(call); at != std::string::npos; at = log.find(call, at + 1)) {
        ++count;
    }
    return count;
}

int ScreenSaverMock::waitForActivityReports(int count) const {
    int reports = 0;
    waitFor([&] { return (reports = activityReports()) >= count; });
    return reports;
}

BusEnvironment::BusEnvironment(const std::string& systemAddress, const std::string& sessionAddress)
    : system_(systemAddress), session_(sessionAddress) {
    setenv("DBUS_SYSTEM_BUS_ADDRESS", system_.c_str(), 1);
    setenv("DBUS_SESSION_BUS_ADDRESS", session_.c_str(), 1);
}

BusEnvironment::~BusEnvironment() {
    unsetenv("DBUS_SYSTEM_BUS_ADDRESS");
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

std::vector<std::string> BusEnvironment::helperEnv() const {
    return {"DBUS_SYSTEM_BUS_ADDRESS=" + system_, "DBUS_SESSION_BUS_ADDRESS=" + session_};
}

}  // namespace systemtest

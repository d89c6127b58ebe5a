#include "system/BusFixture.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace systemtest {

namespace {

using testsupport::capture;

template <typename Condition>
bool waitFor(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// `busctl call` on the bus at `address`: the reply as JSON, "" on failure.
std::string busCall(const std::string& address, const std::string& call) {
    return capture("busctl --json=short --timeout=5 --address='" + address + "' call " + call +
                   " 2>/dev/null || true");
}

bool busAnswers(const std::string& address, const std::string& call) {
    return testsupport::run("busctl --timeout=5 --address='" + address + "' call " + call +
                            " >/dev/null 2>&1") == 0;
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
    if (!waitFor([&] {
            return busAnswers(address_, "org.freedesktop.DBus / org.freedesktop.DBus GetId");
        }))
        throw std::runtime_error("private bus never came up: " + daemon_.output());
}

std::string absentBusAddress() {
    return "unix:path=/nonexistent/ostra-test-no-bus";
}

SilentBus::SilentBus() : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_un where = {};
    where.sun_family = AF_UNIX;
    const std::string path = dir_ / "silent_bus";
    if (fd_ < 0 || path.size() >= sizeof where.sun_path)
        throw std::runtime_error("no socket for a silent bus");
    path.copy(where.sun_path, path.size());
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&where), sizeof where) != 0 ||
        ::listen(fd_, 16) != 0)
        throw std::runtime_error("silent bus: cannot listen at " + path);
}

SilentBus::~SilentBus() {
    if (fd_ >= 0) ::close(fd_);
}

// Only python3 from the system has the dbusmock module.
MockService::MockService(const PrivateBus& bus, const std::string& busVariable,
                         const std::vector<std::string>& args, const std::string& ready)
    : address_(bus.address()),
      logPath_(bus.folder() + "/calls.log"),
      process_(
          [&] {
              std::vector<std::string> all{"/usr/bin/python3", "-m", "dbusmock", "-l", logPath_};
              all.insert(all.end(), args.begin(), args.end());
              return all;
          }(),
          {busVariable + "=" + bus.address()}) {
    if (!waitFor([&] { return busAnswers(address_, ready); }))
        throw std::runtime_error("mock service never answered: " + process_.output());
}

int MockService::calls(const std::string& method) const {
    // One line a call: a timestamp, the method name, its arguments.
    std::istringstream log(testsupport::readFile(logPath_));
    int count = 0;
    for (std::string line; std::getline(log, line);) {
        std::istringstream words(line);
        std::string time, name;
        if (words >> time >> name && name == method) ++count;
    }
    return count;
}

int MockService::waitForCalls(const std::string& method, int count) const {
    int seen = 0;
    waitFor([&] { return (seen = calls(method)) >= count; });
    return seen;
}

LogindMock::LogindMock(const PrivateBus& bus)
    : MockService(bus, "DBUS_SYSTEM_BUS_ADDRESS", {"--system", "--template", "logind"},
                  "org.freedesktop.login1 /org/freedesktop/login1 "
                  "org.freedesktop.login1.Manager ListInhibitors") {}

std::vector<std::string> LogindMock::waitForInhibitors(std::size_t count) const {
    std::vector<std::string> locks;
    waitFor([&] {
        // {"type": "a(ssssuu)", "data": [[[what, who, why, mode, uid, pid], ...]]}
        const auto reply =
            nlohmann::json::parse(busCall(address_,
                                          "org.freedesktop.login1 /org/freedesktop/login1 "
                                          "org.freedesktop.login1.Manager ListInhibitors"),
                                  nullptr, false);
        if (reply.is_discarded() || !reply.contains("data")) return false;
        locks.clear();
        for (const auto& lock : reply["data"][0]) {
            locks.push_back(lock[0].get<std::string>() + "|" + lock[1].get<std::string>() + "|" +
                            lock[2].get<std::string>() + "|" + lock[3].get<std::string>());
        }
        return locks.size() == count;
    });
    return locks;
}

ScreenSaverMock::ScreenSaverMock(const PrivateBus& bus)
    : MockService(bus, "DBUS_SESSION_BUS_ADDRESS",
                  {"--session", "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                   "org.freedesktop.ScreenSaver"},
                  // Readiness and set-up in one: the method the helper calls.
                  "org.freedesktop.ScreenSaver /org/freedesktop/ScreenSaver "
                  "org.freedesktop.DBus.Mock AddMethod sssss '' SimulateUserActivity '' '' ''") {}

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

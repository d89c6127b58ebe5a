#include "system/BusFixture.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/os/SdBus.h"

extern char** environ;

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
                           const std::vector<std::string>& extraEnv, const std::string& logPath) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        std::string entry(*e);
        bool overridden = false;
        for (const auto& extra : extraEnv) {
            std::string name = extra.substr(0, extra.find('=') + 1);
            overridden = overridden || entry.compare(0, name.size(), name) == 0;
        }
        if (!overridden) env.push_back(entry);
    }
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    int rc = posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (rc != 0) throw std::runtime_error("cannot start " + args[0]);
}

ChildProcess::~ChildProcess() {
    stop();
}

void ChildProcess::stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

PrivateBus::PrivateBus(const std::string& name)
    : address_("unix:path=" + dir_ / (name + "_bus")),
      daemon_(
          [&] {
              testsupport::writeFile(
                  dir_ / "bus.conf",
                  "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration "
                  "1.0//EN\"\n"
                  " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                  "<busconfig>\n"
                  "  <type>" +
                      name +
                      "</type>\n"
                      "  <listen>" +
                      address_ +
                      "</listen>\n"
                      "  <auth>EXTERNAL</auth>\n"
                      "  <policy context=\"default\">\n"
                      "    <allow user=\"*\"/>\n"
                      "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n"
                      "    <allow eavesdrop=\"true\"/>\n"
                      "    <allow own=\"*\"/>\n"
                      "  </policy>\n"
                      "</busconfig>\n");
              return std::vector<std::string>{"/usr/bin/dbus-daemon", "--nofork",
                                              "--config-file=" + dir_ / "bus.conf"};
          }(),
          {}, dir_ / "daemon.log") {
    if (!waitFor([&] { return bool(connectTo(address_)); })) {
        throw std::runtime_error("private bus never came up: " +
                                 testsupport::readFile(dir_ / "daemon.log"));
    }
}

std::string absentBusAddress() {
    return "unix:path=/nonexistent/ostra-test-no-bus";
}

LogindMock::LogindMock(const PrivateBus& bus)
    : address_(bus.address()),
      logPath_(bus.folder() + "/logind-calls.log"),
      process_({kPython, "-m", "dbusmock", "--system", "-l", logPath_, "--template", "logind"},
               {"DBUS_SYSTEM_BUS_ADDRESS=" + bus.address()}, bus.folder() + "/logind.log") {
    std::vector<Inhibitor> ignored;
    if (!waitFor([&] { return listInhibitors(address_, ignored); })) {
        throw std::runtime_error("logind mock never answered: " +
                                 testsupport::readFile(bus.folder() + "/logind.log"));
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
          {"DBUS_SESSION_BUS_ADDRESS=" + bus.address()}, bus.folder() + "/screensaver.log") {
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
        throw std::runtime_error("screen saver mock never answered: " +
                                 testsupport::readFile(bus.folder() + "/screensaver.log"));
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

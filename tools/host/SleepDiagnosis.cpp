#include "host/SleepDiagnosis.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "lib/sdbus/Bus.h"

namespace Ostra::host {

namespace {

// A diagnosis must not hold up the command it precedes for long.
constexpr std::uint64_t kProbeTimeoutUsec = 2 * 1000 * 1000;

// Opens the bus, or says why not.
sdbus::Connection openBus(bool system, std::string& why) {
    int r = 0;
    sdbus::Connection bus =
        sdbus::open(system ? sdbus::Kind::System : sdbus::Kind::Session, kProbeTimeoutUsec, r);
    if (!bus) {
        const char* variable = system ? "DBUS_SYSTEM_BUS_ADDRESS" : "DBUS_SESSION_BUS_ADDRESS";
        const char* address = std::getenv(variable);
        std::string where;
        if (address != nullptr && *address != '\0') {
            where = std::string(" at ") + address;
        } else if (system) {
            where = " at unix:path=/run/dbus/system_bus_socket";
        }
        // sd-bus says "No medium found" when no session bus address is known.
        const std::string detail = !system && r == -ENOMEDIUM && where.empty()
                                       ? std::string("DBUS_SESSION_BUS_ADDRESS is not set")
                                       : std::string(std::strerror(-r));
        why =
            std::string(system ? "no system bus" : "no session bus") + where + " (" + detail + ")";
    }
    return bus;
}

}  // namespace

std::string sleepDiagnosis() {
    std::string system, session;
    if (sdbus::Connection bus = openBus(true, system)) {
        system = sdbus::answersPing(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1")
                     ? "logind refused the inhibitor lock"
                     : "no logind on the system bus";
    }
    if (sdbus::Connection bus = openBus(false, session)) {
        session = sdbus::answersPing(bus.get(), "org.freedesktop.ScreenSaver",
                                     "/org/freedesktop/ScreenSaver")
                      ? "the screen saver on the session bus did not answer"
                      : "no screen saver on the session bus";
    }
    return system + "; " + session;
}

}  // namespace Ostra::host

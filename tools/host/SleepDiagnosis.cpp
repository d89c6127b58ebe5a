#include "host/SleepDiagnosis.h"

#include <systemd/sd-bus.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace Ostra::host {

namespace {

struct BusUnref {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;

// A diagnosis must not hold up the command it precedes for long.
constexpr std::uint64_t kProbeTimeoutUsec = 2 * 1000 * 1000;

// Opens the bus, or says why not.
Bus openBus(bool system, std::string& why) {
    sd_bus* raw = nullptr;
    const int r = system ? sd_bus_open_system(&raw) : sd_bus_open_user(&raw);
    Bus bus(raw);
    if (r < 0) {
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
        return nullptr;
    }
    sd_bus_set_method_call_timeout(bus.get(), kProbeTimeoutUsec);
    return bus;
}

bool answers(sd_bus* bus, const char* service, const char* path) {
    sd_bus_error error = SD_BUS_ERROR_NULL;
    const int r = sd_bus_call_method(bus, service, path, "org.freedesktop.DBus.Peer", "Ping",
                                     &error, nullptr, "");
    sd_bus_error_free(&error);
    return r >= 0;
}

}  // namespace

std::string sleepDiagnosis() {
    std::string system, session;
    if (Bus bus = openBus(true, system)) {
        system = answers(bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1")
                     ? "logind refused the inhibitor lock"
                     : "no logind on the system bus";
    }
    if (Bus bus = openBus(false, session)) {
        session = answers(bus.get(), "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver")
                      ? "the screen saver on the session bus did not answer"
                      : "no screen saver on the session bus";
    }
    return system + "; " + session;
}

}  // namespace Ostra::host

#include "lib/sdbus/Bus.h"

#include <cstring>

namespace Ostra::sdbus {

std::string Error::text(int r) const {
    if (sd_bus_error_is_set(&error_) && error_.message != nullptr) return error_.message;
    return std::strerror(r < 0 ? -r : r);
}

Connection open(Kind kind, std::uint64_t timeoutUsec, int& code) {
    sd_bus* raw = nullptr;
    code = kind == Kind::System ? sd_bus_open_system(&raw) : sd_bus_open_user(&raw);
    Connection bus(raw);
    if (code < 0) return Connection();
    code = sd_bus_set_method_call_timeout(bus.get(), timeoutUsec);
    if (code < 0) return Connection();
    return bus;
}

bool answersPing(sd_bus* bus, const char* service, const char* path) {
    Error error;
    return sd_bus_call_method(bus, service, path, "org.freedesktop.DBus.Peer", "Ping", error.get(),
                              nullptr, "") >= 0;
}

}  // namespace Ostra::sdbus

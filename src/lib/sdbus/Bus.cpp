#include "lib/sdbus/Bus.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace Ostra::sdbus {

namespace {

// sd-bus authenticates and says Hello before a call's own timeout starts,
// and gives that its built-in 90 s: a bus that accepts a connection and then
// never answers would hold the helper's start (where the sleep probes run,
// and where no stop is heard yet) for minutes. So the handshake is driven
// here, within the caller's timeout.
int waitUntilReady(sd_bus* bus, std::uint64_t timeoutUsec) {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::microseconds(timeoutUsec);
    for (;;) {
        int r = sd_bus_is_ready(bus);
        if (r != 0) return r;
        r = sd_bus_process(bus, nullptr);
        if (r < 0) return r;
        if (r > 0) continue;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return -ETIMEDOUT;
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now);
        r = sd_bus_wait(bus, static_cast<std::uint64_t>(left.count()) + 1);
        if (r < 0 && r != -EINTR) return r;
    }
}

}  // namespace

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
    code = waitUntilReady(bus.get(), timeoutUsec);
    if (code < 0) return Connection();
    return bus;
}

bool answersPing(sd_bus* bus, const char* service, const char* path) {
    Error error;
    return sd_bus_call_method(bus, service, path, "org.freedesktop.DBus.Peer", "Ping", error.get(),
                              nullptr, "") >= 0;
}

}  // namespace Ostra::sdbus

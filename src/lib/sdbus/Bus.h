// Owning wrappers of sd-bus handles, and the few calls every user of the bus
// makes the same way. A connection, with its messages, belongs to one thread
// at a time.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Ostra::sdbus {

// Closed without a flush: every call is synchronous, so nothing waits to be
// written once it has returned, and a flush first waits (for sd-bus's own
// 90 s) for a connection that never finished its handshake.
struct ConnectionCloser {
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct MessageReleaser {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
typedef std::unique_ptr<sd_bus, ConnectionCloser> Connection;
typedef std::unique_ptr<sd_bus_message, MessageReleaser> Message;

// The error a method call fills in, freed with it.
class Error {
  public:
    Error() = default;
    Error(const Error&) = delete;
    Error& operator=(const Error&) = delete;
    ~Error() { sd_bus_error_free(&error_); }
    sd_bus_error* get() { return &error_; }

    // The bus's own message for a failed call with return code r, else the
    // system's text for r.
    std::string text(int r) const;

  private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

enum class Kind { System, Session };

// Opens a connection to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) or
// the user's session bus, ready for calls within timeoutUsec, whose method
// calls give up after timeoutUsec as well. Null on failure, with sd-bus's
// negative errno in code (-ETIMEDOUT for a bus that never got ready).
Connection open(Kind kind, std::uint64_t timeoutUsec, int& code);

// Whether a service answers a Ping on the bus (which also starts a service
// the bus can activate).
bool answersPing(sd_bus* bus, const char* service, const char* path);

}  // namespace Ostra::sdbus

// Owning wrappers of the sd-bus handles used by the power-management calls.
// A connection, with its messages, belongs to one thread at a time.
#pragma once

#include <systemd/sd-bus.h>

#include <cstdint>
#include <memory>
#include <string>

namespace Ostra::os {

struct BusCloser {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
struct MessageReleaser {
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
typedef std::unique_ptr<sd_bus, BusCloser> BusConnection;
typedef std::unique_ptr<sd_bus_message, MessageReleaser> BusMessage;

class BusError {
  public:
    BusError() = default;
    BusError(const BusError&) = delete;
    BusError& operator=(const BusError&) = delete;
    ~BusError() { sd_bus_error_free(&error_); }
    sd_bus_error* get() { return &error_; }

    // The bus's own message for a failed call with return code r, else the
    // system's text for r.
    std::string text(int r) const;

  private:
    sd_bus_error error_ = SD_BUS_ERROR_NULL;
};

enum class BusKind { System, Session };

// Opens a connection to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) or
// the user's session bus, whose method calls give up after timeoutUsec.
// Null on failure, with the reason in error.
BusConnection openBus(BusKind kind, std::uint64_t timeoutUsec, std::string& error);

}  // namespace Ostra::os

#include "platform/os/PowerManagement.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "platform/os/SdBus.h"

namespace Ostra::os {

namespace {

const char* const kLogindService = "org.freedesktop.login1";
const char* const kLogindPath = "/org/freedesktop/login1";
const char* const kLogindManager = "org.freedesktop.login1.Manager";
const char* const kScreenSaverService = "org.freedesktop.ScreenSaver";
const char* const kScreenSaverPath = "/org/freedesktop/ScreenSaver";
const char* const kInhibitorWho = "ostra-native";

// Probes run at start-up and must not hold it up for long; a lock request may
// wait for a busy logind a little longer.
constexpr std::uint64_t kProbeTimeoutUsec = 5 * 1000 * 1000;
constexpr std::uint64_t kCallTimeoutUsec = 10 * 1000 * 1000;

// Whether a service answers a Ping on the bus (which also starts a service
// the bus can activate).
bool serviceAnswers(BusKind kind, const char* service, const char* path) {
    std::string error;
    BusConnection bus = openBus(kind, kProbeTimeoutUsec, error);
    if (!bus) return false;
    BusError busError;
    int r = sd_bus_call_method(bus.get(), service, path, "org.freedesktop.DBus.Peer", "Ping",
                               busError.get(), nullptr, "");
    return r >= 0;
}

}  // namespace

std::string BusError::text(int r) const {
    if (sd_bus_error_is_set(&error_) && error_.message != nullptr) return error_.message;
    return std::strerror(r < 0 ? -r : r);
}

BusConnection openBus(BusKind kind, std::uint64_t timeoutUsec, std::string& error) {
    sd_bus* raw = nullptr;
    int r = kind == BusKind::System ? sd_bus_open_system(&raw) : sd_bus_open_user(&raw);
    BusConnection bus(raw);
    if (r < 0) {
        error = std::string(kind == BusKind::System ? "system" : "session") +
                " bus: " + std::strerror(-r);
        return BusConnection();
    }
    r = sd_bus_set_method_call_timeout(bus.get(), timeoutUsec);
    if (r < 0) {
        error = std::strerror(-r);
        return BusConnection();
    }
    return bus;
}

PowerAssertion::PowerAssertion(PowerAssertion&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)) {}

PowerAssertion& PowerAssertion::operator=(PowerAssertion&& other) noexcept {
    if (this != &other) {
        release();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

PowerAssertion::~PowerAssertion() {
    release();
}

bool PowerAssertion::create(const std::string& reason, std::string& error) {
    BusConnection bus = openBus(BusKind::System, kCallTimeoutUsec, error);
    if (!bus) return false;
    BusError busError;
    sd_bus_message* rawReply = nullptr;
    int r = sd_bus_call_method(bus.get(), kLogindService, kLogindPath, kLogindManager, "Inhibit",
                               busError.get(), &rawReply, "ssss", "idle:sleep", kInhibitorWho,
                               reason.c_str(), "block");
    BusMessage reply(rawReply);
    if (r < 0) {
        error = "Inhibit: " + busError.text(r);
        return false;
    }
    int lockFd = -1;
    r = sd_bus_message_read(reply.get(), "h", &lockFd);
    if (r < 0) {
        error = std::string("Inhibit reply: ") + std::strerror(-r);
        return false;
    }
    // The reply owns the descriptor it carries; keep a duplicate of our own.
    int owned = fcntl(lockFd, F_DUPFD_CLOEXEC, 3);
    if (owned < 0) {
        error = std::string("Inhibit descriptor: ") + std::strerror(errno);
        return false;
    }
    release();
    fd_ = owned;
    return true;
}

void PowerAssertion::release() {
    if (fd_ >= 0) {
        // Linux frees the descriptor even when close reports an error, so
        // there is nothing to retry.
        close(fd_);
        fd_ = -1;
    }
}

bool powerAssertionsAvailable() {
    return serviceAnswers(BusKind::System, kLogindService, kLogindPath);
}

bool userActivityAvailable() {
    return serviceAnswers(BusKind::Session, kScreenSaverService, kScreenSaverPath);
}

bool reportUserActivity(std::string& error) {
    BusConnection bus = openBus(BusKind::Session, kCallTimeoutUsec, error);
    if (!bus) return false;
    BusError busError;
    int r =
        sd_bus_call_method(bus.get(), kScreenSaverService, kScreenSaverPath, kScreenSaverService,
                           "SimulateUserActivity", busError.get(), nullptr, "");
    if (r < 0) {
        error = "SimulateUserActivity: " + busError.text(r);
        return false;
    }
    return true;
}

}  // namespace Ostra::os

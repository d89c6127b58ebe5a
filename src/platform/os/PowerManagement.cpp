#include "platform/os/PowerManagement.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "lib/sdbus/Bus.h"

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

// A connection to the bus of `kind`, or null with the reason in error.
sdbus::Connection openBus(sdbus::Kind kind, std::uint64_t timeoutUsec, std::string& error) {
    int r = 0;
    sdbus::Connection bus = sdbus::open(kind, timeoutUsec, r);
    if (!bus) {
        error = std::string(kind == sdbus::Kind::System ? "system" : "session") +
                " bus: " + std::strerror(-r);
    }
    return bus;
}

bool serviceAnswers(sdbus::Kind kind, const char* service, const char* path) {
    std::string error;
    sdbus::Connection bus = openBus(kind, kProbeTimeoutUsec, error);
    return bus && sdbus::answersPing(bus.get(), service, path);
}

}  // namespace

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
    sdbus::Connection bus = openBus(sdbus::Kind::System, kCallTimeoutUsec, error);
    if (!bus) return false;
    sdbus::Error busError;
    sd_bus_message* rawReply = nullptr;
    int r = sd_bus_call_method(bus.get(), kLogindService, kLogindPath, kLogindManager, "Inhibit",
                               busError.get(), &rawReply, "ssss", "idle:sleep", kInhibitorWho,
                               reason.c_str(), "block");
    sdbus::Message reply(rawReply);
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
    return serviceAnswers(sdbus::Kind::System, kLogindService, kLogindPath);
}

bool userActivityAvailable() {
    return serviceAnswers(sdbus::Kind::Session, kScreenSaverService, kScreenSaverPath);
}

bool reportUserActivity(std::string& error) {
    sdbus::Connection bus = openBus(sdbus::Kind::Session, kCallTimeoutUsec, error);
    if (!bus) return false;
    sdbus::Error busError;
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

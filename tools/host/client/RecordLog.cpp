#include "host/client/RecordLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>

#include "host/client/JsonAmf.h"

namespace Ostra::host {

namespace {

std::string programName() {
    std::ifstream comm("/proc/self/comm");
    std::string name;
    std::getline(comm, name);
    return name.empty() ? "host" : name;
}

}  // namespace

std::unique_ptr<RecordLog> RecordLog::fromEnvironment() {
    const char* path = std::getenv(kRecordLogVariable);
    if (path == nullptr || *path == '\0') return nullptr;
    return std::unique_ptr<RecordLog>(new RecordLog(path));
}

RecordLog::RecordLog(const std::string& path) {
    static std::atomic<int> sessions{0};
    session_ = programName() + ":" + std::to_string(getpid()) + ":" + std::to_string(++sessions);
    fd_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        std::cerr << "warning: cannot open the record log " << path << ": " << std::strerror(errno)
                  << "\n";
    }
}

RecordLog::~RecordLog() {
    if (fd_ >= 0) ::close(fd_);
}

void RecordLog::append(const char* direction, const std::string* command,
                       const nlohmann::json& envelope) {
    if (fd_ < 0) return;
    nlohmann::json line = {{"session", session_},
                           {"direction", direction},
                           {"command", command != nullptr ? nlohmann::json(*command) : nullptr},
                           {"envelope", envelope}};
    const std::string text = dumpLine(line) + "\n";
    // One write keeps the line whole; a short write to a regular file only
    // happens when the disk is full, and then the log is lost anyway.
    const ssize_t ignored = ::write(fd_, text.data(), text.size());
    (void)ignored;
}

}  // namespace Ostra::host

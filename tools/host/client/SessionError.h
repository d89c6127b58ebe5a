#pragma once

#include <stdexcept>
#include <string>

namespace Ostra::host {

// Why a host session cannot go on.
class SessionError : public std::runtime_error {
  public:
    enum class Kind {
        HelperDidNotStart,  // could not be spawned, exited, or never connected
        ConnectionLost,     // a write failed: the helper closed the connection or died
    };
    SessionError(Kind kind, const std::string& what) : std::runtime_error(what), kind_(kind) {}
    Kind kind() const { return kind_; }

  private:
    Kind kind_;
};

}  // namespace Ostra::host

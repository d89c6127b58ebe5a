#pragma once

#include <sys/types.h>

#include <boost/asio.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "amf/amf0.h"

namespace ostrahost {

// Why a session could not go on; the tool maps these to exit statuses.
enum class SessionError { None, HelperDidNotStart, HelperDied };

// The host side of one helper connection: listens on loopback, starts the
// helper with that port (or waits for one started by hand), exchanges frames
// and stops the helper with "QUIT". Used from one thread.
class HostSession {
  public:
    // port 0: an ephemeral port and a helper started by this session.
    HostSession(const std::string& helperPath, unsigned short port, bool verbose);
    ~HostSession();

    // Starts the helper (when this session owns it) and accepts its connection.
    bool open(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    unsigned short port() const { return port_; }

    bool send(const std::string& command, double id, const amf::amf0_data_type* arg);
    // One decoded frame; null when the connection ended or the helper died
    // (error() says which), or when `timeout` passed first (error() stays None).
    std::unique_ptr<amf::amf0_data_type> receive(
        std::chrono::milliseconds timeout = std::chrono::milliseconds::max());
    // Writes "QUIT" and waits for the helper; returns its exit status.
    int close();
    SessionError error() const { return error_; }
    pid_t helperPid() const { return pid_; }
    // Forwards a line to the helper's standard input (owned helpers only).
    void writeHelperInput(const std::string& line);

  private:
    bool spawnHelper();
    bool helperAlive();

    std::string helperPath_;
    bool verbose_;
    boost::asio::io_service service_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::socket socket_;
    unsigned short port_ = 0;
    bool ownsHelper_;
    pid_t pid_ = -1;
    int helperStdin_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    SessionError error_ = SessionError::None;
};

}  // namespace ostrahost

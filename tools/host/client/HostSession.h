#pragma once

#include <boost/asio.hpp>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "amf/amf0.h"
#include "host/client/HelperProcess.h"
#include "host/client/RecordLog.h"

namespace Ostra::host {

using Value = std::unique_ptr<amf::amf0_data_type>;

// How a wait for a frame ended.
enum class ReadResult {
    Frame,     // a whole frame arrived
    Timeout,   // nothing began to arrive in time
    Closed,    // the connection ended (the helper closed it, or died)
    TooLarge,  // the length exceeds kMaxFrameBytes: the stream is broken
};

// The host side of one helper connection: listens on loopback, starts the
// helper with that port (or waits for one started by hand: the helper
// connects, the host listens), exchanges frames and stops the helper with
// "QUIT". When OSTRA_RECORD_LOG names a file, every response envelope read is
// appended to it (RecordLog). Used from one thread.
class HostSession {
  public:
    // Listens on 127.0.0.1:`port`; 0 picks an ephemeral port. Throws
    // SessionError when the port cannot be had (in use, or privileged).
    explicit HostSession(unsigned short port = 0);
    // Stops a helper this session started that still runs ("QUIT", then the
    // process's own bounded wait).
    ~HostSession();
    HostSession(const HostSession&) = delete;
    HostSession& operator=(const HostSession&) = delete;

    unsigned short port() const { return port_; }

    // Starts `helperPath` with this session's port and accepts its connection.
    // Throws SessionError when it cannot be started, exits or does not connect
    // within `timeout`.
    void startHelper(const std::string& helperPath, const std::vector<std::string>& extraEnv = {},
                     HelperOutput output = HelperOutput::ToFiles,
                     std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool ownsHelper() const { return helper_ != nullptr; }
    HelperProcess& helper() { return *helper_; }

    // Accepts the helper's connection. Throws SessionError when `timeout`
    // passes, or when a helper this session started exits first;
    // milliseconds::max() waits for ever (a helper started by hand).
    void accept(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Throw SessionError (ConnectionLost) when the write fails.
    void sendRaw(const std::string& bytes);
    void send(const std::string& command, double id, const amf::amf0_data_type* arg = nullptr);
    // Sends with the next free id (1, 2, ...) and returns that id.
    double request(const std::string& command, const amf::amf0_data_type* arg = nullptr);

    // Reads one frame body. Only the wait for its first byte may time out: a
    // frame that has begun is read to its end.
    ReadResult readFrame(std::string& body,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Reads and decodes one frame; null on timeout, end of connection or a
    // body that does not decode (lastRead() tells which).
    Value readResponse(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    ReadResult lastRead() const { return lastRead_; }
    // Sends one request and collects its responses until "done" is true,
    // leaving out responses to other ids.
    std::vector<Value> call(const std::string& command, const amf::amf0_data_type* arg = nullptr,
                            std::chrono::milliseconds timeout = std::chrono::seconds(60));

    void closeConnection();
    // Writes "QUIT" to the helper this session started, closes its standard
    // input and returns its exit status (-1 after a signal or a timeout).
    int quit(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    // Also log the requests sent (for callers that only send well-formed
    // ones, so that they can be checked against the request schemas).
    void logRequests(bool enable) { logRequests_ = enable; }

  private:
    bool readExactly(unsigned char* out, std::size_t n, bool mayTimeOut,
                     std::chrono::steady_clock::time_point deadline, bool bounded);
    void logResponse(const std::string& body);

    boost::asio::io_service service_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::socket socket_;
    unsigned short port_ = 0;
    double nextId_ = 1;
    std::unique_ptr<HelperProcess> helper_;
    ReadResult lastRead_ = ReadResult::Frame;
    std::unique_ptr<RecordLog> log_;
    bool logRequests_ = false;
    // Command names by request id, so that logged responses name their command.
    std::map<double, std::string> commands_;
    // The last frame read by readResponse, kept for the next: a long list
    // answers in hundreds of frames, and a fresh buffer for each costs the
    // allocator more than the decoding of the small records in it.
    std::string frame_;
};

}  // namespace Ostra::host

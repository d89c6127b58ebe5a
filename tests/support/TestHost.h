// A test host: listens on an ephemeral loopback port, starts the real helper
// binary with that port, and exchanges AMF0 frames with it.
#pragma once

#include <sys/types.h>

#include <boost/asio.hpp>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "amf/amf0.h"

namespace testsupport {

typedef std::unique_ptr<amf::amf0_data_type> Value;

// A folder under the system temp directory, removed with everything in it.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Runs a shell command; returns its exit status (or -1).
int run(const std::string& command);
// Runs a shell command and returns what it printed on standard output.
std::string capture(const std::string& command);
std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& bytes);

// Path of the helper binary under test: the build's, or $OSTRA_HELPER_UNDER_TEST
// (to measure another build with the same tests).
std::string helperPath();
// A figure of /proc/<pid>/status in KiB ("VmHWM" is the peak resident size);
// -1 when it cannot be read.
long procStatusKib(pid_t pid, const std::string& field);

// The helper process with its standard input as a pipe and its standard
// output and error captured to files.
class HelperProcess {
  public:
    // Starts `binary args...`; the port argument is up to the caller.
    HelperProcess(const std::vector<std::string>& args,
                  const std::vector<std::string>& extraEnv = {});
    ~HelperProcess();

    void writeStdin(const std::string& text);
    void closeStdin();
    // Waits for the exit; returns the exit status, or -1 on timeout (the
    // process is then killed) or on a signal.
    int wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    bool running();
    std::string out() const;
    std::string err() const;
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int stdin_ = -1;
    int status_ = -1;
    bool reaped_ = false;
    std::string outPath_, errPath_;
    TempDir dir_;
};

// Encodes a value as a frame: 4-byte little-endian length and the AMF0 body.
std::string frame(const amf::amf0_data_type& value);
std::string frameOfBody(const std::string& body);
std::string encodeValue(const amf::amf0_data_type& value);

// Request envelope {"cmd", "id", "arg"}; arg may be null.
amf::amf_object makeRequest(const std::string& cmd, double id, const amf::amf0_data_type* arg);
// ECMA array of strings keyed "0", "1", ...
amf::amf_ecma_array stringArray(const std::vector<std::string>& items);

// One host-side connection with the helper.
class TestHost {
  public:
    TestHost();
    ~TestHost();

    unsigned short port() const { return port_; }
    // Starts the helper on this host's port and accepts its connection.
    void startHelper(const std::vector<std::string>& extraEnv = {});
    HelperProcess& helper() { return *helper_; }
    // Accepts the helper's connection (startHelper does this).
    void accept(std::chrono::milliseconds timeout = std::chrono::seconds(20));

    void sendRaw(const std::string& bytes);
    void send(const std::string& cmd, double id, const amf::amf0_data_type* arg = nullptr);
    // Reads one frame body; empty optional-like null on timeout or EOF.
    bool readFrame(std::string& body, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Reads and decodes one response envelope; null on timeout/EOF/bad frame.
    Value readResponse(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Sends one request and collects its responses until done is true.
    std::vector<Value> call(const std::string& cmd, const amf::amf0_data_type* arg = nullptr,
                            std::chrono::milliseconds timeout = std::chrono::seconds(60));
    void closeConnection();
    // Writes QUIT and waits for the exit status.
    int quit();

  private:
    boost::asio::io_service service_;
    boost::asio::ip::tcp::acceptor acceptor_;
    boost::asio::ip::tcp::socket socket_;
    unsigned short port_ = 0;
    double nextId_ = 1;
    std::unique_ptr<HelperProcess> helper_;
};

// Envelope accessors (the value must be an object).
const amf::amf0_data_type* prop(const amf::amf0_data_type* v, const std::string& key);
const amf::amf0_data_type* prop(const Value& v, const std::string& key);
bool isDone(const Value& response);
double num(const amf::amf0_data_type* v);
std::string str(const amf::amf0_data_type* v);
bool boolean(const amf::amf0_data_type* v);
// Entries of an ECMA array or strict array, in index order ("0", "1", ...).
std::vector<const amf::amf0_data_type*> items(const amf::amf0_data_type* array);

}  // namespace testsupport

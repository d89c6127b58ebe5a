// The tests' host: the session, helper process and frames of ostra-host's
// client library, with the tests' defaults (the helper under test, its file
// cache off) and short accessors for reading envelopes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

#include "amf/amf0.h"
#include "host/client/Frame.h"
#include "host/client/HostSession.h"

namespace testsupport {

using Ostra::host::encodeValue;
using Ostra::host::frame;
using Ostra::host::frameOfBody;
using Ostra::host::makeRequest;
using Ostra::host::stringArray;
using Ostra::host::Value;

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

// A process with its output captured, which reads its files afresh and leaves
// the user's file cache alone unless the test (through extraEnv) or its caller
// chose a cache.
class HelperProcess : public Ostra::host::HelperProcess {
  public:
    explicit HelperProcess(const std::vector<std::string>& args,
                           const std::vector<std::string>& extraEnv = {});
};

// One host-side connection with the helper under test. Used from one thread.
class TestHost : public Ostra::host::HostSession {
  public:
    // Starts the helper under test on this host's port and accepts its connection.
    void startHelper(const std::vector<std::string>& extraEnv = {});
    // Reads one frame body; false on timeout, end of connection or a broken stream.
    bool readFrame(std::string& body, std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Writes "QUIT" and waits for the exit status, leaving standard input open:
    // the helper must stop on the line itself, not on the end of its input.
    int quit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
};

// Envelope accessors: null, -1e300, "<absent>" or false when the value is
// missing or of another type, so that a failed expectation shows what came.
const amf::amf0_data_type* prop(const amf::amf0_data_type* v, const std::string& key);
const amf::amf0_data_type* prop(const Value& v, const std::string& key);
bool isDone(const Value& response);
double num(const amf::amf0_data_type* v);
std::string str(const amf::amf0_data_type* v);
bool boolean(const amf::amf0_data_type* v);
// Entries of an ECMA array or strict array, in index order ("0", "1", ...).
std::vector<const amf::amf0_data_type*> items(const amf::amf0_data_type* array);

}  // namespace testsupport

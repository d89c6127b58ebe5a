#include "support/TestHost.h"

#include <sys/wait.h>

#include <array>
#include <boost/filesystem.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "amf/access.h"

namespace testsupport {

TempDir::TempDir() {
    boost::filesystem::path dir = boost::filesystem::temp_directory_path() /
                                  boost::filesystem::unique_path("ostra-test-%%%%-%%%%-%%%%");
    boost::filesystem::create_directories(dir);
    path_ = dir.string();
}

TempDir::~TempDir() {
    boost::system::error_code ignored;
    // Tests make folders unreadable on purpose; give them back first.
    run("chmod -R u+rwx '" + path_ + "' 2>/dev/null");
    boost::filesystem::remove_all(path_, ignored);
}

int run(const std::string& command) {
    int status = std::system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

std::string capture(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    std::array<char, 65536> buffer;
    std::size_t n;
    while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0) out.append(buffer.data(), n);
    pclose(pipe);
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string helperPath() {
    const char* other = std::getenv("OSTRA_HELPER_UNDER_TEST");
    return other != nullptr && *other != '\0' ? other : OSTRA_NATIVE_PATH;
}

long procStatusKib(pid_t pid, const std::string& field) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0)
            return std::strtol(line.c_str() + field.size() + 1, nullptr, 10);
    }
    return -1;
}

namespace {

std::vector<std::string> testEnvironment(const std::vector<std::string>& extraEnv) {
    std::vector<std::string> env;
    if (std::getenv("OSTRA_CACHE") == nullptr) env.emplace_back("OSTRA_CACHE=off");
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return env;
}

}  // namespace

HelperProcess::HelperProcess(const std::vector<std::string>& args,
                             const std::vector<std::string>& extraEnv)
    : Ostra::host::HelperProcess(args, testEnvironment(extraEnv)) {}

void TestHost::startHelper(const std::vector<std::string>& extraEnv) {
    HostSession::startHelper(helperPath(), testEnvironment(extraEnv));
}

bool TestHost::readFrame(std::string& body, std::chrono::milliseconds timeout) {
    return HostSession::readFrame(body, timeout) == Ostra::host::ReadResult::Frame;
}

int TestHost::quit(std::chrono::milliseconds timeout) {
    helper().writeStdin("QUIT\n");
    return helper().wait(timeout);
}

const amf::amf0_data_type* prop(const amf::amf0_data_type* v, const std::string& key) {
    if (const auto* object = amf::asObject(v)) return object->get_property(key);
    if (const auto* array = amf::asEcmaArray(v)) return array->get_property(key);
    return nullptr;
}

const amf::amf0_data_type* prop(const Value& v, const std::string& key) {
    return prop(v.get(), key);
}

bool isDone(const Value& response) {
    return boolean(prop(response, "done"));
}

double num(const amf::amf0_data_type* v) {
    return amf::getNumber(v).value_or(-1e300);
}

std::string str(const amf::amf0_data_type* v) {
    if (v == nullptr) return "<absent>";
    if (const std::string* text = amf::getString(v)) return *text;
    if (v->get_type() == amf::AMF_LONG_STRING)
        return static_cast<const amf::amf_long_string*>(v)->get_value();
    return "<not a string>";
}

bool boolean(const amf::amf0_data_type* v) {
    return amf::getBool(v).value_or(false);
}

std::vector<const amf::amf0_data_type*> items(const amf::amf0_data_type* array) {
    std::vector<const amf::amf0_data_type*> out;
    if (const auto* strict = amf::asStrictArray(array)) {
        for (const auto* v : strict->get_value()) out.push_back(v);
    } else if (const auto* ecma = amf::asEcmaArray(array)) {
        for (std::size_t i = 0;; ++i) {
            const auto* v = ecma->get_property(std::to_string(i));
            if (v == nullptr) break;
            out.push_back(v);
        }
    }
    return out;
}

}  // namespace testsupport

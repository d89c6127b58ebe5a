#include "support/TestHost.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <boost/filesystem.hpp>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace testsupport {

namespace asio = boost::asio;
using asio::ip::tcp;

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

HelperProcess::HelperProcess(const std::vector<std::string>& args,
                             const std::vector<std::string>& extraEnv) {
    outPath_ = dir_ / "stdout";
    errPath_ = dir_ / "stderr";
    int pipeFds[2];
    if (pipe(pipeFds) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
    posix_spawn_file_actions_addclose(&actions, pipeFds[1]);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);

    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
    // Files are read afresh and the user's file cache is left alone, unless
    // the test (through extraEnv) or its caller chose a cache.
    if (std::getenv("OSTRA_CACHE") == nullptr) env.emplace_back("OSTRA_CACHE=off");
    for (const auto& extra : extraEnv) {
        std::string name = extra.substr(0, extra.find('=') + 1);
        for (auto it = env.begin(); it != env.end();) {
            it = it->compare(0, name.size(), name) == 0 ? env.erase(it) : it + 1;
        }
        // "NAME=" alone unsets the variable.
        if (extra.size() > name.size() || extra.find('=') == std::string::npos)
            env.push_back(extra);
    }
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    int rc = posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipeFds[0]);
    stdin_ = pipeFds[1];
    if (rc != 0) {
        close(stdin_);
        throw std::runtime_error("posix_spawn failed for " + args[0]);
    }
}

HelperProcess::~HelperProcess() {
    if (stdin_ >= 0) close(stdin_);
    if (!reaped_ && pid_ > 0) {
        if (wait(std::chrono::seconds(10)) == -1 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
}

void HelperProcess::writeStdin(const std::string& text) {
    if (stdin_ < 0) return;
    signal(SIGPIPE, SIG_IGN);
    ssize_t ignored = write(stdin_, text.data(), text.size());
    (void)ignored;
}

void HelperProcess::closeStdin() {
    if (stdin_ >= 0) close(stdin_);
    stdin_ = -1;
}

int HelperProcess::wait(std::chrono::milliseconds timeout) {
    if (reaped_) return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            return status_;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            reaped_ = true;
            status_ = -1;
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

bool HelperProcess::running() {
    if (reaped_) return false;
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
        reaped_ = true;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return false;
    }
    return true;
}

std::string HelperProcess::out() const {
    return readFile(outPath_);
}
std::string HelperProcess::err() const {
    return readFile(errPath_);
}

std::string encodeValue(const amf::amf0_data_type& value) {
    std::string body(amf::get_size(&value), '\0');
    auto* p = reinterpret_cast<unsigned char*>(&body[0]);
    if (!amf::encode(p, p + body.size(), &value)) throw std::runtime_error("encode failed");
    return body;
}

std::string frameOfBody(const std::string& body) {
    std::string out(4, '\0');
    auto n = static_cast<std::uint32_t>(body.size());
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((n >> (8 * i)) & 0xFF);
    return out + body;
}

std::string frame(const amf::amf0_data_type& value) {
    return frameOfBody(encodeValue(value));
}

amf::amf_object makeRequest(const std::string& cmd, double id, const amf::amf0_data_type* arg) {
    amf::amf_object request;
    request.set_string_property("cmd", cmd);
    request.set_numeric_property("id", id);
    if (arg != nullptr) request.set_property("arg", arg);
    return request;
}

amf::amf_ecma_array stringArray(const std::vector<std::string>& itemsIn) {
    amf::amf_ecma_array array;
    for (const auto& item : itemsIn) {
        amf::amf_string s(item);
        array.push_back(&s);
    }
    return array;
}

TestHost::TestHost()
    : acceptor_(service_, tcp::endpoint(asio::ip::address_v4::loopback(), 0)), socket_(service_) {
    port_ = acceptor_.local_endpoint().port();
}

TestHost::~TestHost() {
    if (helper_ && helper_->running()) {
        helper_->writeStdin("QUIT\n");
        helper_->closeStdin();
        helper_->wait(std::chrono::seconds(10));
    }
}

void TestHost::startHelper(const std::vector<std::string>& extraEnv) {
    helper_.reset(new HelperProcess({helperPath(), std::to_string(port_)}, extraEnv));
    accept();
}

void TestHost::accept(std::chrono::milliseconds timeout) {
    acceptor_.non_blocking(true);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        boost::system::error_code error;
        acceptor_.accept(socket_, error);
        if (!error) break;
        if (error != asio::error::would_block && error != asio::error::try_again)
            throw std::runtime_error("accept failed: " + error.message());
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("helper never connected");
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    socket_.non_blocking(false);
    socket_.set_option(tcp::no_delay(true));
}

void TestHost::sendRaw(const std::string& bytes) {
    asio::write(socket_, asio::buffer(bytes));
}

void TestHost::send(const std::string& cmd, double id, const amf::amf0_data_type* arg) {
    sendRaw(frame(makeRequest(cmd, id, arg)));
}

namespace {

bool readExactly(tcp::socket& socket, char* out, std::size_t n,
                 std::chrono::steady_clock::time_point deadline) {
    std::size_t got = 0;
    while (got < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd fd{socket.native_handle(), POLLIN, 0};
        int r = poll(&fd, 1, static_cast<int>(left.count()));
        if (r <= 0) return r < 0 && errno == EINTR ? true : false;
        ssize_t k = ::recv(socket.native_handle(), out + got, n - got, 0);
        if (k <= 0) return false;
        got += static_cast<std::size_t>(k);
    }
    return true;
}

}  // namespace

bool TestHost::readFrame(std::string& body, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    unsigned char header[4];
    if (!readExactly(socket_, reinterpret_cast<char*>(header), 4, deadline)) return false;
    std::uint32_t n =
        header[0] | (header[1] << 8) | (header[2] << 16) | (std::uint32_t(header[3]) << 24);
    body.assign(n, '\0');
    return n == 0 || readExactly(socket_, &body[0], n, deadline);
}

Value TestHost::readResponse(std::chrono::milliseconds timeout) {
    std::string body;
    if (!readFrame(body, timeout)) return nullptr;
    auto* p = reinterpret_cast<const unsigned char*>(body.data());
    return Value(amf::decode(p, p + body.size()));
}

std::vector<Value> TestHost::call(const std::string& cmd, const amf::amf0_data_type* arg,
                                  std::chrono::milliseconds timeout) {
    double id = nextId_++;
    send(cmd, id, arg);
    std::vector<Value> responses;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        Value response = readResponse(left);
        if (!response) break;
        if (num(prop(response, "id")) != id) continue;
        bool done = isDone(response);
        responses.push_back(std::move(response));
        if (done) break;
    }
    return responses;
}

void TestHost::closeConnection() {
    boost::system::error_code ignored;
    socket_.shutdown(tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

int TestHost::quit() {
    helper_->writeStdin("QUIT\n");
    return helper_->wait();
}

const amf::amf0_data_type* prop(const amf::amf0_data_type* v, const std::string& key) {
    if (v == nullptr) return nullptr;
    if (v->get_type() == amf::AMF_OBJECT)
        return static_cast<const amf::amf_object*>(v)->get_property(key);
    if (v->get_type() == amf::AMF_ECMA_ARRAY)
        return static_cast<const amf::amf_ecma_array*>(v)->get_property(key);
    return nullptr;
}

const amf::amf0_data_type* prop(const Value& v, const std::string& key) {
    return prop(v.get(), key);
}

bool isDone(const Value& response) {
    return boolean(prop(response, "done"));
}

double num(const amf::amf0_data_type* v) {
    if (v == nullptr || v->get_type() != amf::AMF_NUMBER) return -1e300;
    return static_cast<const amf::amf_numeric*>(v)->get_value();
}

std::string str(const amf::amf0_data_type* v) {
    if (v == nullptr) return "<absent>";
    if (v->get_type() == amf::AMF_STRING)
        return static_cast<const amf::amf_string*>(v)->get_value();
    if (v->get_type() == amf::AMF_LONG_STRING)
        return static_cast<const amf::amf_long_string*>(v)->get_value();
    return "<not a string>";
}

bool boolean(const amf::amf0_data_type* v) {
    return v != nullptr && v->get_type() == amf::AMF_BOOLEAN &&
           static_cast<const amf::amf_boolean*>(v)->get_value();
}

std::vector<const amf::amf0_data_type*> items(const amf::amf0_data_type* array) {
    std::vector<const amf::amf0_data_type*> out;
    if (array == nullptr) return out;
    if (array->get_type() == amf::AMF_STRICT_ARRAY) {
        for (const auto* v : static_cast<const amf::amf_strict_array*>(array)->get_value())
            out.push_back(v);
        return out;
    }
    if (array->get_type() != amf::AMF_ECMA_ARRAY) return out;
    const auto* ecma = static_cast<const amf::amf_ecma_array*>(array);
    for (std::size_t i = 0;; ++i) {
        const auto* v = ecma->get_property(std::to_string(i));
        if (v == nullptr) break;
        out.push_back(v);
    }
    return out;
}

}  // namespace testsupport

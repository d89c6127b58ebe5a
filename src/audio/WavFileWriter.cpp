#include "audio/WavFileWriter.h"

#include <fcntl.h>
#include <unistd.h>

#include <boost/filesystem/operations.hpp>
#include <boost/filesystem/path.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

void put16(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* p, uint32_t v) {
    put16(p, v);
    put16(p + 2, v >> 16);
}

// Writes all of data through write(buffer, size, done), which writes from
// the `done`-th byte on and returns what write(2) or pwrite(2) returns.
template <typename Write>
bool writeWhole(const unsigned char* data, size_t size, Write write) {
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(data + done, size - done, done);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool writeAll(int fd, const unsigned char* data, size_t size) {
    return writeWhole(data, size, [fd](const unsigned char* from, size_t count, size_t) {
        return ::write(fd, from, count);
    });
}

bool writeAllAt(int fd, const unsigned char* data, size_t size, off_t offset) {
    return writeWhole(data, size,
                      [fd, offset](const unsigned char* from, size_t count, size_t done) {
                          return ::pwrite(fd, from, count, offset + static_cast<off_t>(done));
                      });
}

}  // namespace

void BuildWavHeader(const AudioHeader& header, uint32_t dataBytes, unsigned char out[44]) {
    const uint32_t channels = static_cast<uint32_t>(header.channels);
    const uint32_t bytes = static_cast<uint32_t>(header.bytesPerSample);
    const uint32_t rate = static_cast<uint32_t>(header.sampleRate);
    std::memcpy(out, "RIFF", 4);
    put32(out + 4, dataBytes + 36);
    std::memcpy(out + 8, "WAVE", 4);
    std::memcpy(out + 12, "fmt ", 4);
    put32(out + 16, 16);
    put16(out + 20, header.isFloat ? 3 : 1);  // IEEE float or integer PCM
    put16(out + 22, channels & 0xFFFF);
    put32(out + 24, rate);
    put32(out + 28, rate * bytes * channels);
    put16(out + 32, (channels * bytes) & 0xFFFF);
    put16(out + 34, (bytes * 8) & 0xFFFF);
    std::memcpy(out + 36, "data", 4);
    put32(out + 40, dataBytes);
}

WavFileWriter::~WavFileWriter() {
    Abort();
}

bool WavFileWriter::Open(const std::string& destination) {
    Abort();
    m_destination = destination;
    m_dataBytes = 0;
    m_failed = false;
    boost::filesystem::path dir = boost::filesystem::path(destination).parent_path();
    // A short hidden name: the destination's own name may already be near the
    // file-name length limit.
    for (int attempt = 0; attempt < 16 && m_fd < 0; ++attempt) {
        boost::system::error_code ec;
        boost::filesystem::path name =
            boost::filesystem::unique_path(".ostra-wav-%%%%%%%%.tmp", ec);
        if (ec) return false;
        m_tempPath = (dir / name).string();
        m_fd = ::open(m_tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd < 0 && errno != EEXIST) break;
    }
    if (m_fd < 0) {
        m_tempPath.clear();
        return false;
    }
    // Room for the header, written once the sizes are known.
    unsigned char placeholder[44] = {};
    if (!writeAll(m_fd, placeholder, sizeof placeholder)) {
        Abort();
        return false;
    }
    return true;
}

bool WavFileWriter::Write(const unsigned char* data, size_t size) {
    if (m_fd < 0 || m_failed) return false;
    if (size > kMaxWavDataBytes - m_dataBytes || !writeAll(m_fd, data, size)) {
        m_failed = true;
        return false;
    }
    m_dataBytes += size;
    return true;
}

bool WavFileWriter::Commit(const AudioHeader& header) {
    if (m_fd < 0 || m_failed) {
        Abort();
        return false;
    }
    unsigned char bytes[44];
    BuildWavHeader(header, static_cast<uint32_t>(m_dataBytes), bytes);
    bool ok = writeAllAt(m_fd, bytes, sizeof bytes, 0);
    // close() reports write-back errors some file systems only detect late.
    ok = (::close(m_fd) == 0) && ok;
    m_fd = -1;
    if (ok) ok = std::rename(m_tempPath.c_str(), m_destination.c_str()) == 0;
    if (!ok) {
        ::unlink(m_tempPath.c_str());
    }
    m_tempPath.clear();
    return ok;
}

void WavFileWriter::Abort() {
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_tempPath.empty()) {
        ::unlink(m_tempPath.c_str());
        m_tempPath.clear();
    }
}

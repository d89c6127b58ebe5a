#include "hash/Generator.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/thread/thread.hpp>
#include <exception>

#include "hash/Digest.h"

namespace Ostra {
namespace FileHash {

bool Generator::getHashForFile(const std::string& path, std::string& hash) {
    if (!openFile(path)) return false;
    bool failed = false;
    {
        Sha1 sha;
        std::vector<unsigned char> buffer;
        while (!failed && !endOfData()) {
            boost::this_thread::interruption_point();
            if (!readAudioData(kChunkSize, buffer) || !sha.update(buffer.data(), buffer.size())) {
                failed = true;
            }
        }
        if (!failed) {
            try {
                unsigned int digest[kDigestWords];
                if (sha.finish(digest)) {
                    std::string text;
                    renderDigest(digest, text);
                    hash.swap(text);
                } else {
                    failed = true;
                }
            } catch (const std::exception&) {
                failed = true;
            }
        }
    }
    closeFile();
    return !failed;
}

Generator::FileHandle Generator::openRegularFile(const std::string& path, std::uint64_t& size) {
    // O_NONBLOCK keeps the open of a FIFO from waiting for a writer; it has
    // no effect on reads of a regular file.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return FileHandle();
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) {
        ::close(fd);
        return FileHandle();
    }
    FileHandle file(::fdopen(fd, "rb"));
    if (!file) {
        ::close(fd);
        return FileHandle();
    }
    size = static_cast<std::uint64_t>(info.st_size);
    return file;
}

bool Generator::closeHandle(FileHandle& file) {
    if (!file) return true;
    return std::fclose(file.release()) == 0;
}

}  // namespace FileHash
}  // namespace Ostra

// Shared by the payload-walker fuzzers: the generators read files by path, so
// each input is written to an anonymous in-memory file and hashed through
// its /proc/self/fd path.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "hash/Generator.h"

namespace {

int inputFile() {
    static int fd = memfd_create("ostra_fuzz_input", 0);
    if (fd < 0) std::abort();
    return fd;
}

std::string writeInput(const uint8_t* data, size_t size) {
    const int fd = inputFile();
    if (ftruncate(fd, 0) != 0 || lseek(fd, 0, SEEK_SET) != 0) std::abort();
    size_t written = 0;
    while (written < size) {
        const ssize_t n = write(fd, data + written, size - written);
        if (n <= 0) std::abort();
        written += static_cast<size_t>(n);
    }
    return "/proc/self/fd/" + std::to_string(fd);
}

// Hashes the input twice with the same generator: a reused generator must
// give the same answer, and a digest is always 40 hex digits.
void hashTwice(Ostra::FileHash::Generator& generator, const std::string& path) {
    std::string first, second;
    const bool ok = generator.getHashForFile(path, first);
    const bool again = generator.getHashForFile(path, second);
    if (ok != again || first != second) std::abort();
    if (ok && first.size() != 40) std::abort();
}

}  // namespace

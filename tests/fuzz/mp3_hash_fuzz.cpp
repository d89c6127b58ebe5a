// The MP3 payload walker on arbitrary file contents.
#include "hash/MP3Generator.h"
#include "payload_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = writeInput(data, size);
    Ostra::FileHash::MP3Generator generator;
    hashTwice(generator, path);
    return 0;
}

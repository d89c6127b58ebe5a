// The M4A box walker on arbitrary file contents.
#include "hash/M4AGenerator.h"
#include "payload_fuzz_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string path = writeInput(data, size);
    Ostra::FileHash::M4AGenerator generator;
    hashTwice(generator, path);
    return 0;
}

// The "rate:bits:channels" text form of AudioHeader: any text parses, and a
// header's own text form reads back as the same header.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "audio/AudioHeader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const AudioHeader header(text);
    const std::string rendered = header;
    const AudioHeader again(rendered);
    if (again != header || static_cast<std::string>(again) != rendered) std::abort();
    if (header.IsValid() != again.IsValid()) std::abort();
    return 0;
}

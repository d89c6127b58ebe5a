#pragma once

#include <boost/shared_ptr.hpp>
#include <string>
#include <vector>

#include "audio/IDecoder.h"

// Process-wide decoding library set-up and the decoder factory. Init runs once
// at start-up on the main thread; everything else may be called from any thread.
class DecoderSystem {
  public:
    static bool Init();
    static bool IsInited();
    static boost::shared_ptr<IDecoder> CreateDecoder();
    // Appends the supported extensions (lower case, with the dot) to `out`.
    static void SupportedExtensions(std::vector<std::string>& out);
    // Sets `extension` to the file name's extension (dot included, case kept)
    // and returns whether it is supported, compared case-insensitively.
    static bool ExtensionSupported(const std::string& path, std::string& extension);
};

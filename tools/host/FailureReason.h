#pragma once

#include <string>

namespace Ostra::host {

// The reason for a file that opens but that the helper could not use.
extern const char* const kUnsupportedAudio;

// Why the helper could not use the file at `path`, as far as this process
// can tell: the system's text for a file that cannot be opened ("No such
// file or directory", "Permission denied"), "Is a directory", "not a regular
// file", else "unsupported or damaged audio".
std::string failureReason(const std::string& path);

}  // namespace Ostra::host

// The helper's one writer of trace lines to standard output and error.
#pragma once

#include <string>

namespace Ostra {
namespace util {

// Writes text (one or more whole lines) to standard output: trace lines and
// error records meant for a person reading along. The host is asked to drain
// or discard the helper's output, but one that does neither must not stall
// it: a worker blocked on a full pipe would hold up its request and "QUIT"
// for good. So the text waits at most a moment for room and is dropped after
// that, and while the output stays full further texts are dropped at once.
// Text for an output the host has closed is dropped too (main ignores
// SIGPIPE). Any thread; texts are written one at a time, never interleaved.
void writeOutputLine(const std::string& text);

// The same for standard error, where failures that end nothing (a handler's
// exception caught by its thread, sleep prevention that could not start) are
// reported; it has its own wait and its own lock.
void writeErrorLine(const std::string& text);

}  // namespace util
}  // namespace Ostra

#pragma once

#include <string>
#include <vector>

#include "audio/AudioData.h"
#include "audio/AudioHeader.h"

// Decodes one audio file at a time to interleaved PCM. Not thread-safe: each
// request creates its own decoder and uses it on one thread. A decoder may be
// reused for several files one after another.
//
// Streaming use: StartDecode, then StepDecode until it returns false, then
// always EndDecode. Each step yields one second of audio. The step that reaches
// the end of the stream returns false with done set and leaves the final
// (usually partial) block in `block`; callers should use that block too.
class IDecoder {
  public:
    virtual ~IDecoder() = default;

    // Whole file from the start.
    virtual bool Decode(const std::string& path, AudioData& out) = 0;
    // At most maxSteps one-second blocks, starting startSeconds into the file.
    virtual bool Decode(const std::string& path, AudioData& out, int startSeconds,
                        int maxSteps) = 0;

    virtual bool StartDecode(const std::string& path, int startSeconds, AudioHeader& header) = 0;
    // Replaces `block` with the next block. True while more data follows; false
    // with done set at the end of the stream (block holds the final block);
    // false without done on an error.
    virtual bool StepDecode(std::vector<unsigned char>& block, bool& done) = 0;
    // Closes the stream; the seconds decoded since StartDecode go to *seconds
    // when it is given (0 on failure).
    virtual bool EndDecode(double* seconds) = 0;
};

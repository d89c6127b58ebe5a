#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
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
    // The samples a stream delivers.
    enum class Output {
        // Signed 16-bit, or unsigned 8-bit for 8-bit sources: what the WAV
        // files hold.
        Pcm16,
        // The codec's own sample type, unconverted: 32-bit float for the lossy
        // codecs, 16- or 32-bit signed integers for PCM, FLAC and ALAC (24-bit
        // sources in the high bits), unsigned 8-bit, or 64-bit float. A user
        // that resamples gets exactly what the codec produced.
        Native,
    };

    virtual ~IDecoder() = default;

    // Whole file from the start.
    virtual bool Decode(const std::string& path, AudioData& out) = 0;
    // At most maxSteps one-second blocks, starting startSeconds into the file.
    virtual bool Decode(const std::string& path, AudioData& out, int startSeconds,
                        int maxSteps) = 0;

    // Opens a Pcm16 stream.
    virtual bool StartDecode(const std::string& path, int startSeconds, AudioHeader& header) = 0;
    // Replaces `block` with the next block. True while more data follows; false
    // with done set at the end of the stream (block holds the final block);
    // false without done on an error.
    virtual bool StepDecode(std::vector<unsigned char>& block, bool& done) = 0;
    // Closes the stream; the seconds decoded since StartDecode go to *seconds
    // when it is given (0 on failure).
    virtual bool EndDecode(double* seconds) = 0;

    // Opens a stream of the given output; `header` describes its samples.
    virtual bool StartDecode(const std::string& path, int startSeconds, AudioHeader& header,
                             Output output) = 0;

    // Frames as the decoder made them, for callers that pass them on
    // without keeping them: `planes` holds one pointer per channel when
    // `planar`, else one pointer to interleaved frames.
    struct FrameRun {
        const uint8_t* const* planes = nullptr;
        bool planar = false;
        size_t frames = 0;
    };
    enum class Run { Frames, End, Error, Unsupported };
    // After StartDecode, instead of StepDecode: the next frames, valid until
    // the next call. Decoders that cannot hand their frames out answer
    // Unsupported, and the caller steps through blocks instead.
    virtual Run NextRun(FrameRun& run) {
        run = FrameRun();
        return Run::Unsupported;
    }

    // While a stream is open: the status (fstat) of the file it reads, from
    // the very descriptor decoded, so that a result can be tied to the file
    // it came from. False when the decoder cannot tell.
    virtual bool SourceStatus(struct stat& status) const {
        (void)status;
        return false;
    }
};

#pragma once

#include <cstdint>

#include "audio/IDecoder.h"
#include "platform/bass/bass.h"

// IDecoder over one decode stream of the decoding library. Holds at most one
// open stream; used by one thread at a time (see IDecoder).
class BASSDecoder : public IDecoder {
  public:
    BASSDecoder() = default;
    ~BASSDecoder() override;
    BASSDecoder(const BASSDecoder&) = delete;
    BASSDecoder& operator=(const BASSDecoder&) = delete;

    bool Decode(const std::string& path, AudioData& out) override;
    bool Decode(const std::string& path, AudioData& out, int startSeconds, int maxSteps) override;
    bool StartDecode(const std::string& path, int startSeconds, AudioHeader& header) override;
    bool StepDecode(std::vector<unsigned char>& block, bool& done) override;
    bool EndDecode(double* seconds) override;
    bool StartDecode(const std::string& path, int startSeconds, AudioHeader& header,
                     Output output) override;
    bool SourceStatus(struct stat& status) const override;
    Run NextRun(FrameRun& run) override;

    // True when the stream is inactive or the position has reached the length.
    bool ChannelIsDone();

  private:
    // Frees the stream (if any) and zeroes every member; false if freeing failed.
    bool CloseStream();

    AudioHeader m_header;
    uint64_t m_length = 0;
    uint64_t m_startPosition = 0;
    uint64_t m_position = 0;
    int m_startSeconds = 0;
    HSTREAM m_stream = 0;
    bool m_planar = false;
};

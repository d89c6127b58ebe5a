#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "audio/AudioHeader.h"

// The most sample bytes a WAV file's 32-bit RIFF size (data + 36) can describe.
constexpr uint64_t kMaxWavDataBytes = 0xFFFFFFFFull - 36;

// Fills the canonical 44-byte PCM WAV header for `dataBytes` sample bytes.
void BuildWavHeader(const AudioHeader& header, uint32_t dataBytes, unsigned char out[44]);

// Writes a WAV file without ever exposing a partial one: sample data streams
// into a temporary file beside the destination, the header (whose sizes are
// known only at the end) is written last, and the file is renamed over the
// destination only when every byte was written. Used by one thread.
class WavFileWriter {
  public:
    WavFileWriter() = default;
    // Removes the temporary file unless Commit succeeded.
    ~WavFileWriter();
    WavFileWriter(const WavFileWriter&) = delete;
    WavFileWriter& operator=(const WavFileWriter&) = delete;

    bool Open(const std::string& destination);
    bool Write(const unsigned char* data, size_t size);
    // Writes the header for the bytes written so far and moves the file into place.
    bool Commit(const AudioHeader& header);
    void Abort();
    uint64_t DataBytes() const { return m_dataBytes; }

  private:
    int m_fd = -1;
    std::string m_tempPath;
    std::string m_destination;
    uint64_t m_dataBytes = 0;
    bool m_failed = false;
};

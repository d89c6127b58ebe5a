#pragma once

#include <cstdint>
#include <string>

namespace Ostra::bass {

// Whether the demuxer FFmpeg picked (`demuxer`, its name as registered) can
// read the open file `fd` of `size` bytes without spending more than a
// fraction of a second or a bounded amount of memory on its metadata.
// avformat_open_input cannot be interrupted, and a decoding step can only be
// abandoned between steps, so a file that would hold a thread there (Vorbis
// comments, ID3v2 frames, WAV INFO items, MP4 'ilst' items or APE fields by
// the tens of thousands, or with long keys; ID3v2 chunks in AIFF by the
// thousand; compressed ID3v2 frames inflating to hundreds of megabytes) is
// refused before FFmpeg reads it, as a damaged file would be. Real files are
// nowhere near the limits. Reads the file with pread() only. Used by the one
// thread opening a stream.
bool demuxerInputWithinLimits(int fd, uint64_t size, const std::string& demuxer);

}  // namespace Ostra::bass

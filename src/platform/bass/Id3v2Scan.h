#pragma once

#include <cstdint>

#include "platform/bass/FileBytes.h"
#include "platform/bass/MetadataCost.h"

namespace Ostra::bass {

// Follows the ID3v2 tags FFmpeg reads one after another from `offset` (at the
// start of every file, inside WAV and AIFF chunks, between ADTS frames) the
// way its id3v2_parse walks them, and charges what it would keep: text,
// comment, lyrics and private frames as dictionary entries, chapters with
// their own entries, compressed frames at their inflated size. FFmpeg's walk
// differs from TagLib's (it steps over zero-sized frames and frames with
// names TagLib stops at, reads the ID3v2.4 compression flag in ID3v2.3 tags,
// and guesses ID3v2.4 frame sizes by the name that follows), so TagLib's
// checks would let tags through that FFmpeg reads further. `maxSearch`, when
// not zero, bounds where a tag may start, as a chunk's size does. Returns the
// offset after the last tag. Used by the one thread checking a file.
uint64_t scanId3v2Tags(const FileBytes& file, uint64_t offset, uint64_t maxSearch,
                       MetadataCost& cost, MetadataCost::Dictionary& dictionary);

}  // namespace Ostra::bass

#pragma once

#include <cstdint>

#include "platform/bass/FileBytes.h"
#include "platform/bass/MetadataCost.h"

namespace Ostra::bass {

// Charges the comment packets FFmpeg's Ogg demuxer would parse anywhere in
// the file from `start` on: not only the headers at the start, since FFmpeg
// also parses a Vorbis comment packet met between audio packets (a chained
// stream's new title, say) while decoding, and a packet of 50,000 fields
// there held one decoding step for 10 s. FFmpeg takes every page whose
// checksum holds, wherever its search for "OggS" finds one, so every such
// page is taken here too, in file order; pages inside other pages (which no
// writer makes) are refused, since the order FFmpeg would meet them in
// depends on its search. Used by the one thread checking a file.
void scanOggPages(const FileBytes& file, uint64_t start, MetadataCost& cost);

}  // namespace Ostra::bass

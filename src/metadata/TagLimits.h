// Checks made on a file's structure before TagLib parses it. TagLib 1.13
// builds MP4 boxes and ID3v2 chapter frames by recursion, one stack frame
// per level of nesting the file declares, so a small crafted file (100,000
// nested "moov" boxes are 800 KB) overflows a thread's stack; it also keeps
// one object per box or frame, so a file of tiny boxes or frames costs some
// forty times its size in memory and seconds of parsing. No real file comes
// near these limits; a file beyond them counts as one whose tags cannot be
// read.
#pragma once

#include <taglib/tbytevector.h>
#include <taglib/tiostream.h>

#include <cstddef>
#include <cstdint>

namespace Ostra {

// Container boxes nested inside each other (real files: about 8).
constexpr std::size_t kMaxMp4BoxDepth = 32;
// Boxes TagLib would build for the whole file (real files: a few hundred; a
// long fragmented stream some tens of thousands).
constexpr std::size_t kMaxMp4Boxes = 100000;
// Chapter and table-of-contents frames nested inside each other (real
// files: 2).
constexpr std::size_t kMaxId3v2FrameDepth = 8;
// Frames of one tag, the embedded ones included (a podcast with hundreds of
// chapters has a few thousand).
constexpr std::size_t kMaxId3v2Frames = 10000;
// Bytes TagLib would inflate or copy to undo unsynchronisation, beyond
// twice the tag's own size: a compressed frame of 200 KB can inflate to
// 200 MB.
constexpr std::uint64_t kMaxId3v2ExtraBytes = 16 * 1024 * 1024;
// Bytes of one text-bearing field: an ID3v2 text, URL, comment or lyrics
// frame, an MP4 "ilst" item other than cover art, a Vorbis comment other than
// a picture. TagLib keeps such a field as wide characters (four bytes each)
// and the record copies it again, so a 100 MB title cost 1.4 GB and seconds
// with no point at which a stop could land. Real titles and lyrics are a few
// KiB; the host has been sent 4 MiB titles. Pictures keep the looser bounds
// of the stream (DescriptorStream).
constexpr std::uint64_t kMaxTextFieldBytes = 8 * 1024 * 1024;

// Walks the MP4 box structure from the start of the stream the way TagLib
// reads it, without recursion, and answers whether it stays within the box
// limits. Any file is walked, whatever its name: TagLib may take any file for
// MP4 by its content. Leaves the stream's position anywhere.
bool Mp4BoxesWithinLimits(TagLib::IOStream& stream);

// The body size a 10-byte ID3v2 header announces, 0 when TagLib would read
// no body after it.
std::uint32_t Id3v2BodySize(const TagLib::ByteVector& header);

// Whether the tag (its 10-byte header and the body TagLib read after it)
// stays within the frame limits, following TagLib's own reading of frame
// headers, unsynchronisation and compression.
bool Id3v2TagWithinLimits(const TagLib::ByteVector& header, const TagLib::ByteVector& body);

// Whether the Vorbis comment block of a FLAC stream (its body, after the
// 4-byte block header) keeps every comment within kMaxTextFieldBytes.
bool XiphCommentWithinLimits(const TagLib::ByteVector& block);

// Whether the items of an APE tag (the body TagLib reads before its footer;
// itemCount from the footer) keep every text item within
// kMaxTextFieldBytes, following TagLib's own walk of the items. Binary
// items (cover art) are not text.
bool ApeItemsWithinLimits(const TagLib::ByteVector& body, unsigned itemCount);

// Whether the comment packet of an Ogg stream (Vorbis, Opus or Speex) keeps
// every comment within kMaxTextFieldBytes, reading only the bytes it needs
// (a comment packet may span hundreds of pages). A file TagLib would not read
// as Ogg, by its name or its first bytes, passes unread. Leaves the stream's
// position anywhere.
bool OggCommentsWithinLimits(TagLib::IOStream& stream);

}  // namespace Ostra

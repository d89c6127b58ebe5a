#include "metadata/TagLimits.h"

#include <taglib/id3v2frame.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2synchdata.h>
#include <zlib.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace Ostra {

namespace {

constexpr std::uint64_t kBoxHeaderSize = 8;
constexpr std::uint64_t kLargeBoxHeaderSize = 16;
// TagLib keeps box lengths and offsets in a long.
constexpr std::uint64_t kLongMax = static_cast<std::uint64_t>(LONG_MAX);

// The boxes TagLib 1.13 descends into.
bool isContainer(const TagLib::ByteVector& name) {
    static const char* const kContainers[] = {"moov", "udta", "mdia", "meta", "ilst", "stbl",
                                              "minf", "moof", "traf", "trak", "stsd"};
    for (const char* container : kContainers) {
        if (name == container) return true;
    }
    return false;
}

// A "meta" box is a full box (version and flags before its children) unless
// one of these children follows its header at once, as QuickTime writes it.
bool isBareMetaChild(const TagLib::ByteVector& name) {
    for (const char* child : {"hdlr", "ilst", "mhdr", "ctry", "lang"}) {
        if (name == child) return true;
    }
    return false;
}

TagLib::ByteVector readAt(TagLib::IOStream& stream, std::uint64_t offset, unsigned long length) {
    stream.seek(static_cast<long>(offset));
    return stream.readBlock(length);
}

std::uint64_t bigEndian(const TagLib::ByteVector& bytes, unsigned offset, unsigned count) {
    std::uint64_t value = 0;
    for (unsigned i = 0; i < count; ++i) {
        value = (value << 8) | static_cast<unsigned char>(bytes[static_cast<int>(offset + i)]);
    }
    return value;
}

// TagLib keeps its frame header parser a protected member of Frame; a
// derived class may name it, and the walk below uses TagLib's own reading of
// frame sizes and flags rather than a copy of it. Never instantiated.
class FrameHeaderAccess : public TagLib::ID3v2::Frame {
  public:
    using Header = TagLib::ID3v2::Frame::Header;
};
using FrameHeader = FrameHeaderAccess::Header;

// How one ID3v2 tag's frames are walked: TagLib's frame factory and its
// chapter and table-of-contents frames, which parse the frames embedded in
// them through the same factory. The recursion here is bounded by
// kMaxId3v2FrameDepth. One check's own object, on the thread reading the tag.
class Id3v2Walk {
  public:
    Id3v2Walk(const TagLib::ID3v2::Header& header, std::uint64_t bodySize)
        : version_(header.majorVersion()),
          tagUnsynchronised_(header.unsynchronisation()),
          headerSize_(FrameHeader::size(header.majorVersion())),
          extraBudget_(2 * bodySize + kMaxId3v2ExtraBytes) {}

    // The frames of a tag body (TagLib's ID3v2::Tag::parse).
    bool tag(const TagLib::ID3v2::Header& header, const TagLib::ByteVector& body) {
        TagLib::ByteVector data = body;
        if (header.unsynchronisation() && header.majorVersion() <= 3) {
            data = TagLib::ID3v2::SynchData::decode(data);
        }
        unsigned position = 0;
        unsigned length = data.size();
        if (header.extendedHeader()) {
            const unsigned extended = TagLib::ID3v2::SynchData::toUInt(data.mid(0, 4));
            if (extended <= data.size()) {
                position += extended;
                length -= extended;
            }
        }
        if (header.footerPresent() && TagLib::ID3v2::Header::size() <= length) {
            length -= TagLib::ID3v2::Header::size();
        }
        // Unsigned like TagLib's loop: a length below one frame header wraps
        // and the frame factory's own checks end the walk.
        while (position < length - headerSize_) {
            if (data.at(position) == 0) break;  // padding
            unsigned frameSize = 0;
            const Outcome outcome = frame(data.mid(position), 0, frameSize);
            if (outcome == Outcome::Refused) return false;
            if (outcome == Outcome::NoFrame) break;
            position += frameSize + headerSize_;
        }
        return true;
    }

  private:
    enum class Outcome { Frame, NoFrame, Refused };

    // One frame at the start of data (TagLib's FrameFactory::createFrame and
    // the frame's field parsing); frameSize is what TagLib advances by.
    Outcome frame(TagLib::ByteVector data, std::size_t depth, unsigned& frameSize) {
        FrameHeader header(data, version_);
        TagLib::ByteVector id = header.frameID();
        frameSize = header.frameSize();
        if (id.size() != (version_ < 3 ? 3u : 4u) ||
            frameSize <= (header.dataLengthIndicator() ? 4u : 0u) || frameSize > data.size()) {
            return Outcome::NoFrame;
        }
        // ID3v2.3 tags written by iTunes hold ID3v2.2 frames.
        if (version_ == 3 && id[3] == '\0') id = id.mid(0, 3);
        for (char c : id) {
            if ((c < 'A' || c > 'Z') && (c < '0' || c > '9')) return Outcome::NoFrame;
        }
        if (++frames_ > kMaxId3v2Frames) return Outcome::Refused;

        if (version_ > 3 && (tagUnsynchronised_ || header.unsynchronisation())) {
            const TagLib::ByteVector decoded =
                TagLib::ID3v2::SynchData::decode(data.mid(headerSize_, frameSize));
            if (!spend(frameSize)) return Outcome::Refused;
            data = data.mid(0, headerSize_) + decoded;
        }
        if (header.encryption()) return Outcome::Frame;  // kept as bytes, never parsed

        const bool sized = header.compression() || header.dataLengthIndicator();
        const unsigned fieldsOffset = headerSize_ + (sized ? 4 : 0);
        TagLib::ByteVector fields;
        if (header.compression()) {
            if (data.size() <= fieldsOffset) return Outcome::Frame;
            if (!inflate(data.mid(fieldsOffset), fields)) return Outcome::Refused;
        } else {
            const unsigned fieldsLength =
                sized ? TagLib::ID3v2::SynchData::toUInt(data.mid(headerSize_, 4)) : frameSize;
            fields = data.mid(fieldsOffset, fieldsLength);
        }

        if (carriesText(id) && fields.size() > kMaxTextFieldBytes) return Outcome::Refused;

        const TagLib::ByteVector& finalId = header.frameID();
        if (finalId == "CHAP") return embedded(fields, chapterFramesStart(fields), depth);
        if (finalId == "CTOC") return embedded(fields, tableFramesStart(fields), depth);
        return Outcome::Frame;
    }

    // The frames a chapter or table of contents embeds from offset start of
    // its fields; start 0 means none.
    Outcome embedded(const TagLib::ByteVector& fields, unsigned start, std::size_t depth) {
        if (start == 0 || start >= fields.size()) return Outcome::Frame;
        const unsigned size = fields.size() - start;
        if (size < headerSize_) return Outcome::Frame;
        if (depth + 1 > kMaxId3v2FrameDepth) return Outcome::Refused;
        unsigned position = 0;
        while (position < size - headerSize_) {
            unsigned frameSize = 0;
            const Outcome outcome = frame(fields.mid(start + position), depth + 1, frameSize);
            if (outcome == Outcome::Refused) return outcome;
            if (outcome == Outcome::NoFrame) break;
            position += frameSize + headerSize_;
        }
        return Outcome::Frame;
    }

    // Text information ("T"), URL ("W"), comment and lyrics frames, in their
    // ID3v2.2 three-letter names too; the user-defined ones start with T or W.
    static bool carriesText(const TagLib::ByteVector& id) {
        if (id[0] == 'T' || id[0] == 'W') return true;
        return id == "COMM" || id == "USLT" || id == "COM" || id == "ULT";
    }

    // Past the element identifier and the four times of a "CHAP" frame.
    static unsigned chapterFramesStart(const TagLib::ByteVector& fields) {
        if (fields.size() < 18) return 0;
        unsigned position = 0;
        skipText(fields, position);
        return position + 16;
    }

    // Past the element identifier, flags, count and child identifiers of a
    // "CTOC" frame.
    static unsigned tableFramesStart(const TagLib::ByteVector& fields) {
        if (fields.size() < 6) return 0;
        unsigned position = 0;
        skipText(fields, position);
        ++position;  // flags
        const unsigned entries = static_cast<unsigned char>(fields.at(position++));
        for (unsigned i = 0; i < entries; ++i) skipText(fields, position);
        return position;
    }

    // A Latin-1 text field: past its terminating NUL, or not moved at all
    // when there is none, as TagLib reads it.
    static void skipText(const TagLib::ByteVector& fields, unsigned& position) {
        const int end = fields.find(TagLib::ByteVector(1, '\0'), position);
        if (end >= 0 && static_cast<unsigned>(end) >= position) {
            position = static_cast<unsigned>(end) + 1;
        }
    }

    bool spend(std::uint64_t bytes) {
        if (bytes > extraBudget_) return false;
        extraBudget_ -= bytes;
        return true;
    }

    // What TagLib's zlib::decompress gives for the input, within the budget;
    // false once the output outgrows it. A broken stream gives no fields.
    bool inflate(const TagLib::ByteVector& input, TagLib::ByteVector& output) {
        z_stream stream;
        std::memset(&stream, 0, sizeof stream);
        if (inflateInit(&stream) != Z_OK) return true;
        std::vector<unsigned char> in(input.begin(), input.end());
        stream.next_in = in.data();
        stream.avail_in = static_cast<uInt>(in.size());
        std::vector<unsigned char> out;
        const std::size_t chunk = 64 * 1024;
        bool withinBudget = true;
        for (;;) {
            const std::size_t used = out.size();
            if (used + chunk > extraBudget_) {
                withinBudget = false;
                break;
            }
            out.resize(used + chunk);
            stream.next_out = out.data() + used;
            stream.avail_out = static_cast<uInt>(chunk);
            const int result = ::inflate(&stream, Z_NO_FLUSH);
            out.resize(used + chunk - stream.avail_out);
            if (result == Z_STREAM_ERROR || result == Z_NEED_DICT || result == Z_DATA_ERROR ||
                result == Z_MEM_ERROR) {
                out.clear();
                break;
            }
            if (stream.avail_out != 0) break;
        }
        inflateEnd(&stream);
        if (!withinBudget || !spend(out.size())) return false;
        output = TagLib::ByteVector(reinterpret_cast<const char*>(out.data()),
                                    static_cast<unsigned>(out.size()));
        return true;
    }

    const unsigned version_;
    const bool tagUnsynchronised_;
    const unsigned headerSize_;
    std::uint64_t extraBudget_;
    std::size_t frames_ = 0;
};

// The bytes of one comment block or packet, read in order.
class ByteSource {
  public:
    virtual ~ByteSource() = default;
    // The next `count` bytes; fewer at the end.
    virtual TagLib::ByteVector take(unsigned count) = 0;
    // Moves past the next `count` bytes; false when fewer remain.
    virtual bool skip(std::uint64_t count) = 0;
};

class MemorySource : public ByteSource {
  public:
    explicit MemorySource(const TagLib::ByteVector& bytes) : bytes_(bytes) {}
    TagLib::ByteVector take(unsigned count) override {
        const TagLib::ByteVector part = bytes_.mid(static_cast<unsigned>(position_), count);
        position_ += part.size();
        return part;
    }
    bool skip(std::uint64_t count) override {
        if (count > bytes_.size() - position_) return false;
        position_ += count;
        return true;
    }

  private:
    const TagLib::ByteVector& bytes_;
    std::uint64_t position_ = 0;
};

// The comment fields that hold a picture, in base64, rather than text.
bool isPictureComment(const TagLib::ByteVector& start) {
    for (const char* key : {"METADATA_BLOCK_PICTURE=", "COVERART="}) {
        const std::size_t length = std::strlen(key);
        if (start.size() < length) continue;
        bool same = true;
        for (std::size_t i = 0; i < length && same; ++i) {
            same = std::toupper(static_cast<unsigned char>(start[static_cast<int>(i)])) == key[i];
        }
        if (same) return true;
    }
    return false;
}

// TagLib's XiphComment::parse: the vendor text, then counted comments, each
// kept (as wide characters) when it lies whole within the data. Comments
// past the limit are refused only when the data holds them, as only then
// would TagLib keep them.
bool xiphCommentWithinLimits(ByteSource& source) {
    const TagLib::ByteVector vendor = source.take(4);
    if (vendor.size() != 4) return true;
    const std::uint64_t vendorLength = vendor.toUInt(false);
    if (!source.skip(vendorLength)) return true;
    if (vendorLength > kMaxTextFieldBytes) return false;
    const TagLib::ByteVector count = source.take(4);
    if (count.size() != 4) return true;
    const unsigned comments = count.toUInt(false);
    for (unsigned i = 0; i < comments; ++i) {
        const TagLib::ByteVector length = source.take(4);
        if (length.size() != 4) return true;
        const std::uint64_t commentLength = length.toUInt(false);
        if (commentLength <= kMaxTextFieldBytes) {
            if (!source.skip(commentLength)) return true;
            continue;
        }
        const TagLib::ByteVector start = source.take(32);
        if (start.size() != 32 || !source.skip(commentLength - start.size())) return true;
        if (!isPictureComment(start)) return false;
    }
    return true;
}

// Packet 1 of an Ogg stream, numbered the way TagLib 1.13's Ogg::File does:
// pages follow each other from the first "OggS", a lacing value below 255
// ends a packet, and a page whose last lacing value is 255 continues its last
// packet on the next page. Only page headers and the bytes asked for are read.
class OggCommentPacket : public ByteSource {
  public:
    OggCommentPacket(TagLib::IOStream& stream, std::uint64_t firstPage)
        : stream_(stream), nextPage_(firstPage) {}

    TagLib::ByteVector take(unsigned count) override {
        TagLib::ByteVector out;
        while (out.size() < count && span()) {
            const unsigned part =
                static_cast<unsigned>(std::min<std::uint64_t>(count - out.size(), spanLeft_));
            const TagLib::ByteVector bytes = readAt(stream_, spanOffset_, part);
            if (bytes.size() != part) {
                ended_ = true;
                break;
            }
            out.append(bytes);
            spanOffset_ += part;
            spanLeft_ -= part;
        }
        return out;
    }

    bool skip(std::uint64_t count) override {
        while (count > 0) {
            if (!span()) return false;
            const std::uint64_t part = std::min(count, spanLeft_);
            spanOffset_ += part;
            spanLeft_ -= part;
            count -= part;
        }
        return true;
    }

  private:
    // True when bytes of the packet remain at spanOffset_ (spanLeft_ of them),
    // reading pages until one holds some.
    bool span() {
        while (spanLeft_ == 0) {
            if (ended_) return false;
            if (!nextPage()) ended_ = true;
        }
        return true;
    }

    // Reads the next page header; false when there is none or the packet has
    // ended. Sets the span to the packet's piece on that page.
    bool nextPage() {
        if (inPacket_ && !continues_) return false;
        if (++pages_ > kMaxOggPages) {
            tooManyPages_ = true;
            return false;
        }
        const TagLib::ByteVector header = readAt(stream_, nextPage_, 27);
        if (header.size() != 27 || !header.startsWith("OggS")) return false;
        const unsigned segments = static_cast<unsigned char>(header[26]);
        const TagLib::ByteVector lacing = readAt(stream_, nextPage_ + 27, segments);
        if (segments == 0 || lacing.size() != segments) return false;
        std::vector<std::uint64_t> pieces;
        std::uint64_t piece = 0;
        for (unsigned i = 0; i < segments; ++i) {
            const unsigned value = static_cast<unsigned char>(lacing[static_cast<int>(i)]);
            piece += value;
            if (value < 255) {
                pieces.push_back(piece);
                piece = 0;
            }
        }
        const bool lastCompleted = piece == 0;
        if (!lastCompleted) pieces.push_back(piece);
        std::uint64_t offset = nextPage_ + 27 + segments;
        const std::uint64_t first = firstPacket_;
        if (inPacket_) {
            spanOffset_ = offset;
            spanLeft_ = pieces.front();
        } else if (first <= kIndex && kIndex < first + pieces.size()) {
            for (std::uint64_t i = 0; i < kIndex - first; ++i) offset += pieces[i];
            spanOffset_ = offset;
            spanLeft_ = pieces[kIndex - first];
            inPacket_ = true;
        }
        for (std::uint64_t size : pieces) nextPage_ += size;
        nextPage_ += 27 + segments;
        firstPacket_ = first + pieces.size() - (lastCompleted ? 0 : 1);
        if (inPacket_) continues_ = firstPacket_ <= kIndex;
        return true;
    }

  public:
    // True when the packet went on past kMaxOggPages pages.
    bool tooManyPages() const { return tooManyPages_; }

  private:
    static constexpr std::uint64_t kIndex = 1;
    // Pages read for one packet (a 16 MiB picture spans some 260 pages).
    static constexpr std::size_t kMaxOggPages = 100000;
    TagLib::IOStream& stream_;
    std::uint64_t nextPage_;
    std::uint64_t firstPacket_ = 0;
    std::uint64_t spanOffset_ = 0;
    std::uint64_t spanLeft_ = 0;
    std::size_t pages_ = 0;
    bool inPacket_ = false;
    bool continues_ = false;
    bool ended_ = false;
    bool tooManyPages_ = false;
};

std::string lowerExtension(const char* name) {
    const std::string text = name == nullptr ? std::string() : std::string(name);
    const std::string::size_type dot = text.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : text.substr(dot);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

// TagLib reads a file as Ogg by these extensions, and a file of another
// name when "OggS" is in its first KiB.
bool readAsOgg(TagLib::IOStream& stream) {
    const std::string ext = lowerExtension(stream.name());
    for (const char* ogg : {".ogg", ".oga", ".opus", ".spx"}) {
        if (ext == ogg) return true;
    }
    return readAt(stream, 0, 1024).find("OggS") >= 0;
}

// TagLib starts at the first "OggS" of the file, searched 1 KiB at a time;
// the stream lets such small reads go only so far (DescriptorStream).
constexpr std::uint64_t kOggSearchBytes = 16 * 1024 * 1024;
constexpr unsigned kOggSearchChunk = 64 * 1024;

long firstOggPage(TagLib::IOStream& stream) {
    for (std::uint64_t offset = 0; offset < kOggSearchBytes; offset += kOggSearchChunk - 3) {
        const TagLib::ByteVector chunk = readAt(stream, offset, kOggSearchChunk);
        const int found = chunk.find("OggS");
        if (found >= 0) return static_cast<long>(offset + static_cast<unsigned>(found));
        if (chunk.size() < kOggSearchChunk) break;
    }
    return -1;
}

}  // namespace

bool Mp4BoxesWithinLimits(TagLib::IOStream& stream) {
    const long length = stream.length();
    const std::uint64_t size = length > 0 ? static_cast<std::uint64_t>(length) : 0;
    // The containers whose children are being read, innermost last: TagLib
    // reads children while its position is before the end.
    struct Open {
        std::uint64_t end;
        bool items;  // an "ilst": its children are the tag's items
    };
    std::vector<Open> open;
    std::uint64_t position = 0;
    std::size_t boxes = 0;
    for (;;) {
        while (!open.empty() && position >= open.back().end) open.pop_back();
        // A header that cannot be read whole ends TagLib's walk at every level.
        if (position + kBoxHeaderSize > size) return true;
        if (++boxes > kMaxMp4Boxes) return false;
        const TagLib::ByteVector header = readAt(stream, position, kBoxHeaderSize);
        if (header.size() != kBoxHeaderSize) return true;
        std::uint64_t boxSize = bigEndian(header, 0, 4);
        std::uint64_t headerSize = kBoxHeaderSize;
        if (boxSize == 0) {
            boxSize = size - position;
        } else if (boxSize == 1) {
            const TagLib::ByteVector large = readAt(stream, position + kBoxHeaderSize, 8);
            if (large.size() != 8) return true;
            boxSize = bigEndian(large, 0, 8);
            if (boxSize > kLongMax) return true;
            headerSize = kLargeBoxHeaderSize;
        }
        // TagLib gives up on the whole file at an impossible size.
        if (boxSize < kBoxHeaderSize) return true;

        const TagLib::ByteVector name = header.mid(4, 4);
        // TagLib adds offset and length as longs; past LONG_MAX the sum wraps,
        // so a container reads no children and any other box does not move
        // the position.
        const bool wraps = position + boxSize > kLongMax;
        // TagLib reads an item whole and keeps its text as wide characters.
        const std::uint64_t available = std::min(boxSize, size - position);
        if (!open.empty() && open.back().items && name != "covr" && available > headerSize &&
            available - headerSize > kMaxTextFieldBytes) {
            return false;
        }
        if (!isContainer(name)) {
            position = wraps ? position + headerSize : position + boxSize;
            continue;
        }
        if (open.size() + 1 > kMaxMp4BoxDepth) return false;
        std::uint64_t children = position + headerSize;
        if (name == "meta") {
            const TagLib::ByteVector next = readAt(stream, children, 8);
            const bool bare = next.size() == 8 && isBareMetaChild(next.mid(4, 4));
            if (!bare) children += 4;
        } else if (name == "stsd") {
            children += 8;
        }
        if (!wraps) open.push_back({position + boxSize, name == "ilst"});
        position = children;
    }
}

std::uint32_t Id3v2BodySize(const TagLib::ByteVector& header) {
    if (header.size() != TagLib::ID3v2::Header::size()) return 0;
    return TagLib::ID3v2::Header(header).tagSize();
}

bool Id3v2TagWithinLimits(const TagLib::ByteVector& header, const TagLib::ByteVector& body) {
    const TagLib::ID3v2::Header parsed(header);
    return Id3v2Walk(parsed, body.size()).tag(parsed, body);
}

bool XiphCommentWithinLimits(const TagLib::ByteVector& block) {
    MemorySource source(block);
    return xiphCommentWithinLimits(source);
}

bool ApeItemsWithinLimits(const TagLib::ByteVector& body, unsigned itemCount) {
    // An item: value length and flags (4 bytes each, little-endian), the key
    // and its NUL, the value. TagLib's APE::Tag::parse stops at the first
    // inconsistency.
    const unsigned size = body.size();
    if (size < 11) return true;
    unsigned position = 0;
    for (unsigned i = 0; i < itemCount && position <= size - 11; ++i) {
        const int nul = body.find('\0', position + 8);
        if (nul < 0) return true;
        const unsigned keyLength = static_cast<unsigned>(nul) - position - 8;
        const unsigned valueLength = body.toUInt(position, false);
        if (valueLength >= size || position > size - valueLength) return true;
        const unsigned type = (body.toUInt(position + 4, false) >> 1) & 3;
        const bool binary = type == 1;
        if (keyLength >= 2 && keyLength <= 255 && !binary && valueLength > kMaxTextFieldBytes) {
            return false;
        }
        position += keyLength + valueLength + 9;
    }
    return true;
}

bool OggCommentsWithinLimits(TagLib::IOStream& stream) {
    if (!readAsOgg(stream)) return true;
    const long first = firstOggPage(stream);
    if (first < 0) return true;
    // Where the comments start in the packet: after the Vorbis or Opus
    // packet type; at once for Speex; after the block header for FLAC in Ogg.
    OggCommentPacket probe(stream, static_cast<std::uint64_t>(first));
    const TagLib::ByteVector start = probe.take(8);
    std::vector<unsigned> offsets{0, 4};
    if (start.startsWith(TagLib::ByteVector("\x03vorbis", 7))) offsets = {7};
    if (start.startsWith("OpusTags")) offsets = {8};
    for (unsigned offset : offsets) {
        OggCommentPacket packet(stream, static_cast<std::uint64_t>(first));
        if (!packet.skip(offset)) return true;
        if (!xiphCommentWithinLimits(packet) || packet.tooManyPages()) return false;
    }
    return true;
}

}  // namespace Ostra

#include "metadata/TagLimits.h"

#include <taglib/id3v2frame.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2synchdata.h>
#include <zlib.h>

#include <climits>
#include <cstring>
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

}  // namespace

bool Mp4BoxesWithinLimits(TagLib::IOStream& stream) {
    const long length = stream.length();
    const std::uint64_t size = length > 0 ? static_cast<std::uint64_t>(length) : 0;
    // The ends of the containers whose children are being read, innermost
    // last: TagLib reads children while its position is before the end.
    std::vector<std::uint64_t> open;
    std::uint64_t position = 0;
    std::size_t boxes = 0;
    for (;;) {
        while (!open.empty() && position >= open.back()) open.pop_back();
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
        if (!wraps) open.push_back(position + boxSize);
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

}  // namespace Ostra

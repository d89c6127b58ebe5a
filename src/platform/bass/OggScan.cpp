#include "platform/bass/OggScan.h"

#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/bass/VorbisCommentScan.h"

extern "C" {
#include <libavutil/crc.h>
}

namespace Ostra::bass {

namespace {

constexpr size_t kPageHeaderSize = 27;
constexpr uint8_t kContinued = 0x01;
// Enough of a packet's start to tell which comment layout it may hold.
constexpr size_t kHeadLength = 8;
constexpr size_t kSearchBlock = 256 * 1024;

// The codec of a logical stream, told by its first packet as FFmpeg's Ogg
// demuxer tells it; it decides which packets hold comments.
enum class Codec { Vorbis, Opus, Flac, Speex, Celt, Theora, Vp8, Other };

Codec codecOf(const std::string& head) {
    auto starts = [&](const char* magic, size_t length) {
        return head.size() >= length && std::memcmp(head.data(), magic, length) == 0;
    };
    if (starts("\x01vorbis", 7)) return Codec::Vorbis;
    if (starts("OpusHead", 8)) return Codec::Opus;
    if (starts("\x7f"
               "FLAC",
               5))
        return Codec::Flac;
    if (starts("Speex   ", 8)) return Codec::Speex;
    if (starts("CELT    ", 8)) return Codec::Celt;
    if (starts("\x80theora", 7)) return Codec::Theora;
    if (starts("OVP80", 5)) return Codec::Vp8;
    return Codec::Other;
}

// Where comments start in one packet, if FFmpeg may read them there:
// -1 when it never does.
int commentOffset(Codec codec, uint64_t index, const std::string& head) {
    auto starts = [&](const char* magic, size_t length) {
        return head.size() >= length && std::memcmp(head.data(), magic, length) == 0;
    };
    if (index == 0 || head.empty()) return -1;
    const uint8_t first = static_cast<uint8_t>(head[0]);
    switch (codec) {
        case Codec::Vorbis:
            // Not only the comment header: a packet met while decoding
            // whose first byte marks a comment is parsed, and FFmpeg's
            // first-page handling can parse the packet before it.
            return 7;
        case Codec::Opus:
            return starts("OpusTags", 8) ? 8 : -1;
        case Codec::Flac:
            return (first & 0x7f) == 4 ? 4 : -1;
        case Codec::Speex:
        case Codec::Celt:
            return index == 1 ? 0 : -1;
        case Codec::Theora:
            return starts("\x81theora", 7) ? 7 : -1;
        case Codec::Vp8:
            return starts("OVP80\x02", 6) ? 7 : -1;
        case Codec::Other:
            return first == 3 ? 7 : -1;  // the OGM mappings
    }
    return -1;
}

// One logical stream's packet in progress.
struct Stream {
    Codec codec = Codec::Other;
    uint64_t packets = 0;
    bool inPacket = false;
    std::string head;
    std::unique_ptr<VorbisCommentScan> comments;
    uint64_t commentOffset = 0;
    MetadataCost::Dictionary* dictionary = nullptr;
    // Emptied before each Vorbis comment packet, as FFmpeg empties the
    // stream's dictionary.
    MetadataCost::Dictionary* fresh = nullptr;
};

// One walk over a file's pages, on the thread checking the file.
class OggWalk {
  public:
    OggWalk(const FileBytes& file, MetadataCost& cost)
        : file_(file), cost_(cost), crc_(av_crc_get_table(AV_CRC_32_IEEE)) {}

    void run(uint64_t start) {
        // Every "OggS" makes FFmpeg read and checksum the page it announces,
        // up to 64 KiB: a file of such words holds FFmpeg for seconds per
        // megabyte. A real file has its pages and perhaps a stray word.
        checkLimit_ = 2 * file_.size() + (1 << 20);
        uint64_t acceptedEnd = start;
        uint64_t candidate = start;
        while (!cost_.exceeded() && nextSync(candidate)) {
            std::string page;
            if (validPage(candidate, page)) {
                if (candidate < acceptedEnd) {
                    cost_.refuse();
                    return;
                }
                acceptedEnd = candidate + page.size();
                pageArrived(page);
            }
            ++candidate;
        }
        for (auto& entry : streams_) endPacket(entry.second);
    }

  private:
    // Moves `offset` to the next "OggS" at or after it; false when none.
    bool nextSync(uint64_t& offset) {
        for (;;) {
            if (offset < blockStart_ || offset + 4 > blockStart_ + block_.size()) {
                block_ = file_.read(offset, kSearchBlock);
                blockStart_ = offset;
                if (block_.size() < 4) return false;
            }
            const size_t from = static_cast<size_t>(offset - blockStart_);
            const void* hit = memmem(block_.data() + from, block_.size() - from, "OggS", 4);
            if (hit != nullptr) {
                offset = blockStart_ +
                         static_cast<size_t>(static_cast<const char*>(hit) - block_.data());
                return true;
            }
            // Keep the last three bytes: a sync word may straddle blocks.
            offset = blockStart_ + block_.size() - 3;
            if (block_.size() < kSearchBlock) return false;
        }
    }

    // A page FFmpeg accepts: whole, its checksum right, version 0. FFmpeg
    // reads and checksums what the header announces before it looks at the
    // version, so that is charged first.
    bool validPage(uint64_t offset, std::string& page) {
        std::string header = file_.read(offset, kPageHeaderSize + 255);
        if (header.size() < kPageHeaderSize) return false;
        const size_t segments = static_cast<uint8_t>(header[26]);
        if (header.size() < kPageHeaderSize + segments) return false;
        size_t body = 0;
        for (size_t i = 0; i < segments; ++i) body += static_cast<uint8_t>(header[27 + i]);
        const size_t length = kPageHeaderSize + segments + body;
        checked_ += length;
        if (checked_ > checkLimit_) {
            cost_.refuse();
            return false;
        }
        if (header[4] != 0) return false;
        page = file_.read(offset, length);
        if (page.size() != length) return false;
        // FFmpeg's table computes the checksum byte-swapped, so the stored
        // little-endian field is compared as read big-endian, as FFmpeg does.
        uint32_t stored = 0;
        for (int i = 0; i < 4; ++i) stored = (stored << 8) | static_cast<uint8_t>(page[22 + i]);
        std::memset(&page[22], 0, 4);
        const uint32_t computed =
            av_crc(crc_, 0, reinterpret_cast<const uint8_t*>(page.data()), page.size());
        return computed == stored;
    }

    void pageArrived(const std::string& page) {
        uint32_t serial = 0;
        for (int i = 3; i >= 0; --i) serial = (serial << 8) | static_cast<uint8_t>(page[14 + i]);
        Stream& stream = streams_[serial];
        if (stream.dictionary == nullptr) stream.dictionary = &cost_.dictionary();
        const uint8_t flags = static_cast<uint8_t>(page[5]);
        const size_t segments = static_cast<uint8_t>(page[26]);
        const uint8_t* lacing = reinterpret_cast<const uint8_t*>(page.data()) + kPageHeaderSize;
        const uint8_t* body = lacing + segments;
        size_t segment = 0;
        if ((flags & kContinued) && !stream.inPacket) {
            // The rest of a packet whose start was never seen: skipped.
            while (segment < segments) {
                body += lacing[segment];
                if (lacing[segment++] < 255) break;
            }
        }
        for (; segment < segments && !cost_.exceeded(); ++segment) {
            const uint8_t size = lacing[segment];
            addBytes(stream, body, size);
            body += size;
            if (size < 255) endPacket(stream);
        }
    }

    void addBytes(Stream& stream, const uint8_t* data, size_t length) {
        if (!stream.inPacket) {
            stream.inPacket = true;
            stream.head.clear();
            stream.comments.reset();
        }
        if (stream.head.size() < kHeadLength) {
            const size_t take = std::min(length, kHeadLength - stream.head.size());
            stream.head.append(reinterpret_cast<const char*>(data), take);
            if (stream.head.size() < kHeadLength) return;
            startComments(stream);
            if (stream.comments) {
                // The packet's bytes so far, from the comments' start on.
                if (stream.commentOffset < kHeadLength)
                    stream.comments->feed(
                        reinterpret_cast<const uint8_t*>(stream.head.data()) + stream.commentOffset,
                        kHeadLength - stream.commentOffset);
                const size_t rest = take;
                if (length > rest) stream.comments->feed(data + rest, length - rest);
            }
            return;
        }
        if (stream.comments) stream.comments->feed(data, length);
    }

    void startComments(Stream& stream) {
        if (stream.packets == 0) stream.codec = codecOf(stream.head);
        const int offset = commentOffset(stream.codec, stream.packets, stream.head);
        if (offset < 0) return;
        // FFmpeg's Vorbis mapping empties the stream's dictionary before each
        // comment packet; the others add to it.
        MetadataCost::Dictionary* dictionary = stream.dictionary;
        if (stream.codec == Codec::Vorbis) {
            if (stream.fresh == nullptr) stream.fresh = &cost_.dictionary();
            *stream.fresh = MetadataCost::Dictionary();
            dictionary = stream.fresh;
        }
        stream.comments.reset(new VorbisCommentScan(cost_, *dictionary));
        stream.commentOffset = static_cast<uint64_t>(offset);
    }

    void endPacket(Stream& stream) {
        if (!stream.inPacket) return;
        if (stream.head.size() < kHeadLength) {
            // A short packet: judged by what there is.
            startComments(stream);
            if (stream.comments && stream.commentOffset < stream.head.size())
                stream.comments->feed(
                    reinterpret_cast<const uint8_t*>(stream.head.data()) + stream.commentOffset,
                    stream.head.size() - stream.commentOffset);
        }
        if (stream.comments) stream.comments->finish();
        stream.comments.reset();
        stream.inPacket = false;
        ++stream.packets;
    }

    const FileBytes& file_;
    MetadataCost& cost_;
    const AVCRC* crc_;
    std::map<uint32_t, Stream> streams_;
    std::string block_;
    uint64_t blockStart_ = 0;
    uint64_t checked_ = 0;
    uint64_t checkLimit_ = 0;
};

}  // namespace

void scanOggPages(const FileBytes& file, uint64_t start, MetadataCost& cost) {
    OggWalk(file, cost).run(start);
}

}  // namespace Ostra::bass

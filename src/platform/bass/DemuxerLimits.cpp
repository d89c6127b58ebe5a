#include "platform/bass/DemuxerLimits.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/bass/FileBytes.h"
#include "platform/bass/Id3v2Scan.h"
#include "platform/bass/MetadataCost.h"
#include "platform/bass/OggScan.h"
#include "platform/bass/VorbisCommentScan.h"

namespace Ostra::bass {

namespace {

// A chunk's four-character name as FFmpeg makes a key of it (up to a zero byte).
std::string fourcc(const uint8_t* b) {
    std::string name(reinterpret_cast<const char*>(b), 4);
    return name.substr(0, name.find('\0'));
}

// Streams `length` bytes at `offset` through a Vorbis comment scan.
void scanComments(const FileBytes& file, uint64_t offset, uint64_t length, MetadataCost& cost,
                  MetadataCost::Dictionary& dictionary) {
    VorbisCommentScan comments(cost, dictionary);
    ByteCursor cursor(file, offset, offset + length);
    const uint8_t* data = nullptr;
    while (!cost.exceeded()) {
        const size_t n = cursor.peek(data);
        if (n == 0) break;
        comments.feed(data, n);
        cursor.skip(n);
    }
    comments.finish();
}

// FLAC (flac_read_header): metadata blocks after "fLaC"; every Vorbis comment
// block goes into the file's dictionary.
void scanFlac(const FileBytes& file, uint64_t offset, MetadataCost& cost) {
    uint8_t magic[4];
    if (!file.readExact(offset, 4, magic) || std::memcmp(magic, "fLaC", 4) != 0) return;
    MetadataCost::Dictionary& dictionary = cost.dictionary();
    offset += 4;
    for (;;) {
        uint8_t header[4];
        if (cost.exceeded() || !file.readExact(offset, 4, header)) return;
        cost.spend(MetadataCost::kChunkCost);
        const uint64_t length = bigEndian(header + 1, 3);
        if ((header[0] & 0x7f) == 4) scanComments(file, offset + 4, length, cost, dictionary);
        offset += 4 + length;
        if (header[0] & 0x80) return;
    }
}

// A LIST/INFO chunk (ff_read_riff_info): items named by four characters.
void scanRiffInfo(const FileBytes& file, uint64_t start, int64_t size, MetadataCost& cost,
                  MetadataCost::Dictionary& dictionary) {
    const int64_t end = static_cast<int64_t>(start) + size;
    int64_t position = static_cast<int64_t>(start);
    while (position <= end - 8 && !cost.exceeded()) {
        uint8_t item[8];
        if (!file.readExact(static_cast<uint64_t>(position), 8, item)) return;
        int64_t length = littleEndian(item + 4, 4);
        int64_t next = position + 8;
        auto tooBig = [&](int64_t at) {
            return length > end || end - length < at || length == UINT32_MAX;
        };
        if (tooBig(position)) {
            // FFmpeg tries again one byte earlier, for writers that forgot a
            // pad byte.
            if (position == 0 || !file.readExact(static_cast<uint64_t>(position - 1), 8, item))
                return;
            length = littleEndian(item + 4, 4);
            next = position + 7;
            if (tooBig(position)) return;
        }
        length += length & 1;
        const std::string key = fourcc(item);
        if (littleEndian(item, 4) != 0)
            cost.add(dictionary, foldKey(key), key.size(), static_cast<uint64_t>(length),
                     MetadataCost::Repeat::Replace);
        position = next + length;
    }
}

// Cue points (a 'cue ' chunk): each becomes a chapter, found by its id.
void scanCuePoints(const FileBytes& file, uint64_t body, uint64_t length, MetadataCost& cost) {
    uint8_t count[4];
    if (length < 4 || !file.readExact(body, 4, count)) return;
    const uint64_t points = littleEndian(count, 4);
    if (length < points * 24 + 4) return;
    for (uint64_t i = 0; i < points && !cost.exceeded(); ++i) cost.chapter();
}

// Labels of cue points (a LIST/adtl chunk): each looks through the chapters
// for its id. FFmpeg reads a label's text up to its first zero byte.
void scanCueLabels(const FileBytes& file, uint64_t position, uint64_t end, MetadataCost& cost) {
    while (position < end && !cost.exceeded()) {
        uint8_t label[12];
        if (!file.readExact(position, 12, label) || std::memcmp(label, "labl", 4) != 0) return;
        const uint64_t size = littleEndian(label + 4, 4);
        if (size < 5) return;
        position += 12;
        ByteCursor text(file, position, position + size - 4);
        const uint8_t* data = nullptr;
        while (size_t n = text.peek(data)) {
            const void* zero = std::memchr(data, 0, n);
            if (zero != nullptr) {
                text.skip(static_cast<size_t>(static_cast<const uint8_t*>(zero) - data) + 1);
                break;
            }
            text.skip(n);
        }
        position = text.position();
        position += position & 1;
        cost.findChapter();
    }
}

// WAV (wav_read_header): chunks before and after the audio; INFO lists into
// the file's dictionary, ID3v2 chunks like the tags at the file's start, cue
// points and their labels as chapters.
void scanWav(const FileBytes& file, uint64_t start, MetadataCost& cost,
             MetadataCost::Dictionary& tags) {
    uint8_t header[12];
    if (!file.readExact(start, 12, header) || std::memcmp(header + 8, "WAVE", 4) != 0) return;
    const bool rifx = std::memcmp(header, "RIFX", 4) == 0;
    const bool wide = std::memcmp(header, "RF64", 4) == 0 || std::memcmp(header, "BW64", 4) == 0;
    if (!rifx && !wide && std::memcmp(header, "RIFF", 4) != 0) return;
    MetadataCost::Dictionary& dictionary = cost.dictionary();
    uint64_t position = start + 12;
    uint64_t dataSize = 0;
    if (wide) {
        uint8_t ds64[32];
        if (!file.readExact(position, 32, ds64) || std::memcmp(ds64, "ds64", 4) != 0) return;
        const uint32_t length = littleEndian(ds64 + 4, 4);
        if (length < 24) return;
        dataSize = littleEndian64(ds64 + 16);
        position += 8 + length;
    }
    const uint64_t unaligned = start & 1;
    while (!cost.exceeded()) {
        uint8_t chunk[8];
        if (!file.readExact(position, 8, chunk)) break;
        cost.spend(MetadataCost::kChunkCost);
        const uint64_t length = rifx ? bigEndian(chunk + 4, 4) : littleEndian(chunk + 4, 4);
        const uint64_t body = position + 8;
        uint64_t next = body + length;
        const std::string name(reinterpret_cast<const char*>(chunk), 4);
        if (name == "data") {
            if (wide) {
                next = body + dataSize;
            } else if (length == 0 || length == UINT32_MAX) {
                break;  // FFmpeg looks no further
            }
        } else if (name == "LIST" || name == "list") {
            uint8_t list[4];
            if (length < 4 || !file.readExact(body, 4, list)) break;
            if (std::memcmp(list, "INFO", 4) == 0)
                scanRiffInfo(file, body + 4, static_cast<int64_t>(length) - 4, cost, dictionary);
            if (std::memcmp(list, "adtl", 4) == 0) scanCueLabels(file, body + 4, next, cost);
        } else if (name == "cue ") {
            scanCuePoints(file, body, length, cost);
        } else if (name == "ID3 " || name == "id3 ") {
            scanId3v2Tags(file, body, 0, cost, tags);
        } else if (name == "bext") {
            // A handful of fixed fields and the coding history.
            for (const char* key :
                 {"DESCRIPTION", "ORIGINATOR", "ORIGINATOR_REFERENCE", "ORIGINATION_DATE",
                  "ORIGINATION_TIME", "TIME_REFERENCE", "UMID", "CODING_HISTORY"})
                cost.add(dictionary, key, std::strlen(key), length, MetadataCost::Repeat::Replace);
        }
        if (next < position || next >= file.size()) break;
        position = next + ((next + unaligned) & 1);
    }
    // The key names are converted twice at the end.
    cost.rebuild(dictionary, 2);
    cost.rebuild(tags, 2);
}

// AIFF (aiff_read_header): chunks within the FORM's size; ID3v2 chunks and
// the four text chunks into the file's dictionary.
void scanAiff(const FileBytes& file, uint64_t start, MetadataCost& cost) {
    uint8_t header[12];
    if (!file.readExact(start, 12, header) || std::memcmp(header, "FORM", 4) != 0 ||
        (std::memcmp(header + 8, "AIFF", 4) != 0 && std::memcmp(header + 8, "AIFC", 4) != 0))
        return;
    MetadataCost::Dictionary& dictionary = cost.dictionary();
    // FFmpeg reads the sizes as ints and takes a negative one for the largest.
    int64_t left = std::min<int64_t>(bigEndian(header + 4, 4), 0x7fffffff) - 4;
    uint64_t position = start + 12;
    while (left > 0 && !cost.exceeded()) {
        uint8_t chunk[8];
        if (!file.readExact(position, 8, chunk)) break;
        cost.spend(MetadataCost::kChunkCost);
        uint64_t length = bigEndian(chunk + 4, 4);
        if (length > 0x7fffffff) length = 0x7fffffff;
        left -= static_cast<int64_t>(length) + 8;
        const uint64_t body = position + 8;
        uint64_t next = body + length;
        const std::string name(reinterpret_cast<const char*>(chunk), 4);
        if (name == "ID3 ") {
            // The tags may run past the chunk; FFmpeg carries on after them.
            next = std::max(next, scanId3v2Tags(file, body, length, cost, dictionary));
        } else if (name == "NAME" || name == "AUTH" || name == "(c) " || name == "ANNO") {
            cost.add(dictionary, name, 9, length, MetadataCost::Repeat::Replace);
        }
        if (length & 1) {
            ++next;
            --left;
        }
        position = next;
    }
}

// MP4 and QuickTime (mov_read_default and what it dispatches to): the items
// of every 'udta' and 'ilst' box, wherever they are. One walk's own object,
// on the thread checking the file.
class Mp4Walk {
  public:
    Mp4Walk(const FileBytes& file, MetadataCost& cost)
        : file_(file), cost_(cost), dictionary_(cost.dictionary()) {}

    void run(uint64_t start) {
        open_.push_back({start, file_.size(), "root", 0});
        while (!open_.empty() && !cost_.exceeded()) {
            Level& level = open_.back();
            if (level.position + 8 > level.end) {
                open_.pop_back();
                continue;
            }
            uint8_t header[16];
            if (!file_.readExact(level.position, 8, header)) {
                open_.pop_back();
                continue;
            }
            cost_.spend(MetadataCost::kChunkCost);
            uint64_t size = bigEndian(header, 4);
            uint64_t headerSize = 8;
            if (size == 1) {
                if (!file_.readExact(level.position + 8, 8, header + 8)) {
                    open_.pop_back();
                    continue;
                }
                size = (uint64_t(bigEndian(header + 8, 4)) << 32) | bigEndian(header + 12, 4);
                headerSize = 16;
            } else if (size == 0) {
                size = level.end - level.position;
            }
            if (size < headerSize) {
                open_.pop_back();
                continue;
            }
            const std::string type(reinterpret_cast<const char*>(header + 4), 4);
            const std::string parent = level.type;
            const unsigned depth = level.depth;
            const uint64_t body = level.position + headerSize;
            const uint64_t end =
                size > level.end - level.position ? level.end : level.position + size;
            level.position = end;
            if (parent != "root" && parent != "moov" && (type == "trak" || type == "mdat")) {
                open_.pop_back();  // FFmpeg stops reading this box's children
                continue;
            }
            box(type, parent, body, end, depth);
        }
    }

  private:
    struct Level {
        uint64_t position;
        uint64_t end;
        std::string type;
        unsigned depth;
    };

    // FFmpeg refuses boxes nested deeper than ten.
    static constexpr unsigned kMaxDepth = 12;
    // One small read of FFmpeg's through its input, in characters compared.
    static constexpr uint64_t kReadCost = 16;

    void box(const std::string& type, const std::string& parent, uint64_t body, uint64_t end,
             unsigned depth) {
        static const char* const kContainers[] = {"moov", "trak", "mdia", "minf", "stbl", "dinf",
                                                  "edts", "udta", "ilst", "moof", "traf", "mvex",
                                                  "tref", "sinf", "schi", "wave"};
        if (type == "keys") keys(body, end);
        const bool items = parent == "udta" || parent == "ilst";
        if (items && type != "meta" && type != "covr" && type != "keys")
            item(type, parent, body, end);
        if (depth + 1 > kMaxDepth) return;
        if (type == "meta") {
            // FFmpeg looks for the handler box's name four bytes at a time
            // from the start of the body, and reads the children from the
            // handler box on. Each step is one of its reads through the
            // input, worth a dozen characters compared: a huge box without
            // a handler (a sparse gigabyte) held it for half a minute.
            for (uint64_t at = body - 4; at + 8 <= end && !cost_.exceeded(); at += 4) {
                cost_.spend(kReadCost);
                uint8_t name[4];
                if (!file_.readExact(at + 4, 4, name)) break;
                if (std::memcmp(name, "hdlr", 4) == 0) {
                    open_.push_back({at, end, type, depth + 1});
                    break;
                }
            }
            return;
        }
        if (type == "stsd") {
            sampleEntries(body, end, depth);
            return;
        }
        for (const char* container : kContainers) {
            if (type == container) {
                open_.push_back({body, end, type, depth + 1});
                return;
            }
        }
    }

    // One metadata item: a key FFmpeg names after the box (with a language
    // variant in 'udta'), after an entry of the 'keys' box, or, for '----'
    // items, after a name inside the item.
    void item(const std::string& type, const std::string& parent, uint64_t body, uint64_t end) {
        const uint64_t length = end - body;
        if (type == "----") {
            cost_.add(dictionary_, "", length, length, MetadataCost::Repeat::Replace);
            return;
        }
        const uint64_t keyLength = std::max<uint64_t>(32, longestKey_);
        cost_.add(dictionary_, "\x01" + type, keyLength, length, MetadataCost::Repeat::Replace);
        if (parent == "udta")
            cost_.add(dictionary_, "\x02" + type, keyLength + 4, length,
                      MetadataCost::Repeat::Replace);
    }

    // The key names a QuickTime metadata box lists for its items.
    void keys(uint64_t body, uint64_t end) {
        uint64_t at = body + 8;  // version, flags and count
        while (at + 8 <= end && !cost_.exceeded()) {
            uint8_t entry[4];
            if (!file_.readExact(at, 4, entry)) return;
            const uint64_t size = bigEndian(entry, 4);
            if (size < 8) return;
            longestKey_ = std::max(longestKey_, size - 8);
            cost_.spend(MetadataCost::kFrameCost);
            at += size;
        }
    }

    // Sample entries end with boxes FFmpeg reads like any others, after a
    // fixed part whose size depends on the entry's kind: every position that
    // starts a 'udta', 'meta', 'ilst' or 'wave' box that fits is walked.
    void sampleEntries(uint64_t body, uint64_t end, unsigned depth) {
        const std::string bytes =
            file_.read(body, static_cast<size_t>(std::min<uint64_t>(end - body, 1 << 20)));
        if (end - body > bytes.size() && end - body > (1 << 20)) {
            cost_.refuse();  // no real sample description is this large
            return;
        }
        // The search below is this walk's own work, not FFmpeg's, but boxes
        // found in one description may hold descriptions again: a 1 MB file
        // of nested 'wave' and 'stsd' boxes kept the walk going for hours.
        // Each byte is read and compared four times over.
        cost_.spend(kReadCost * bytes.size());
        for (size_t at = 0; at + 8 <= bytes.size(); ++at) {
            const char* name = bytes.data() + at + 4;
            if (std::memcmp(name, "udta", 4) != 0 && std::memcmp(name, "meta", 4) != 0 &&
                std::memcmp(name, "ilst", 4) != 0 && std::memcmp(name, "wave", 4) != 0)
                continue;
            const uint64_t size = bigEndian(reinterpret_cast<const uint8_t*>(bytes.data() + at), 4);
            if (size < 8 || at + size > bytes.size()) continue;
            open_.push_back({body + at, body + at + size, "stsd", depth + 1});
        }
    }

    const FileBytes& file_;
    MetadataCost& cost_;
    MetadataCost::Dictionary& dictionary_;
    std::vector<Level> open_;
    uint64_t longestKey_ = 0;
};

// An APE tag at the very end (ff_ape_parse_tag), which FFmpeg's ADTS reader
// looks for.
void scanApe(const FileBytes& file, MetadataCost& cost) {
    const uint64_t size = file.size();
    uint8_t footer[32];
    if (size < 32 || !file.readExact(size - 32, 32, footer) ||
        std::memcmp(footer, "APETAGEX", 8) != 0)
        return;
    const uint32_t tagBytes = littleEndian(footer + 12, 4);
    const uint32_t fields = littleEndian(footer + 16, 4);
    if (littleEndian(footer + 8, 4) > 2000 || tagBytes - 32u > 16u * 1024 * 1024 ||
        tagBytes > size - 32 || fields > 65536 || (littleEndian(footer + 20, 4) & (1u << 29)))
        return;
    MetadataCost::Dictionary& dictionary = cost.dictionary();
    uint64_t position = size - tagBytes;
    for (uint32_t i = 0; i < fields && !cost.exceeded(); ++i) {
        const std::string field = file.read(position, 8 + 1024);
        if (field.size() < 9) return;
        const uint8_t* b = reinterpret_cast<const uint8_t*>(field.data());
        const uint32_t length = littleEndian(b, 4);
        const uint32_t flags = littleEndian(b + 4, 4);
        size_t key = 0;
        while (key < 1023 && 8 + key < field.size() && b[8 + key] >= 0x20 && b[8 + key] <= 0x7e)
            ++key;
        if (8 + key >= field.size() || b[8 + key] != 0 || length > INT32_MAX - 64) return;
        if (!(flags & 2)) {
            const std::string name = field.substr(8, key);
            cost.add(dictionary, key <= MetadataCost::kRememberedKeyLength ? foldKey(name) : "",
                     key, length, MetadataCost::Repeat::Replace);
        }
        position += 8 + key + 1 + length;
    }
}

// Raw AAC (adts_aac_read_header and read_packet): FFmpeg parses ID3v2 tags
// found between frames while it reads them, adding each to the file's
// dictionary, so the whole stream is walked as FFmpeg steps through it.
void scanAdts(const FileBytes& file, uint64_t start, MetadataCost& cost) {
    scanApe(file, cost);
    MetadataCost::Dictionary& dictionary = cost.dictionary();
    // FFmpeg searches for a frame only within its probe size of the file's start.
    const uint64_t resyncLimit = 5000000;
    auto resync = [&](uint64_t& position) {
        uint8_t pair[2];
        while (position < resyncLimit && file.readExact(position, 2, pair)) {
            if (pair[0] == 0xff && (pair[1] & 0xf0) == 0xf0) return true;
            ++position;
        }
        return false;
    };
    uint64_t position = start;
    if (!resync(position)) return;
    while (!cost.exceeded()) {
        uint8_t header[10];
        if (!file.readExact(position, 7, header)) return;
        cost.spend(1);
        if ((bigEndian(header, 2) >> 4) == 0xfff) {
            const uint32_t frame = (bigEndian(header + 3, 4) >> 13) & 0x1fff;
            if (frame < 7) return;
            position += frame;
            continue;
        }
        if (!file.readExact(position, 10, header)) return;
        if (header[0] == 'I' && header[1] == 'D' && header[2] == '3' && header[3] != 0xff &&
            header[4] != 0xff && !((header[6] | header[7] | header[8] | header[9]) & 0x80)) {
            uint64_t length = 10 + ((uint64_t(header[6]) << 21) | (header[7] << 14) |
                                    (header[8] << 7) | header[9]);
            if (header[5] & 0x10) length += 10;
            scanId3v2Tags(file, position, length, cost, dictionary);
            position += length;
            continue;
        }
        position += 10;
        if (!resync(position)) return;
    }
}

}  // namespace

bool demuxerInputWithinLimits(int fd, uint64_t size, const std::string& demuxer) {
    const FileBytes file(fd, size);
    MetadataCost cost;
    // Every demuxer starts after the ID3v2 tags FFmpeg reads first.
    MetadataCost::Dictionary& tags = cost.dictionary();
    const uint64_t start = scanId3v2Tags(file, 0, 0, cost, tags);
    if (demuxer == "flac") {
        scanFlac(file, start, cost);
    } else if (demuxer == "ogg") {
        scanOggPages(file, start, cost);
    } else if (demuxer == "wav") {
        scanWav(file, start, cost, tags);
    } else if (demuxer == "aiff") {
        scanAiff(file, start, cost);
    } else if (demuxer == "aac") {
        scanAdts(file, start, cost);
    } else if (demuxer.compare(0, 4, "mov,") == 0) {
        Mp4Walk(file, cost).run(start);
    }
    return !cost.exceeded();
}

}  // namespace Ostra::bass

#include "platform/bass/Id3v2Scan.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace Ostra::bass {

namespace {

constexpr unsigned kHeaderSize = 10;
// Frame bytes read to find the key a frame is stored under; a longer key
// is charged at the frame's whole length.
constexpr size_t kKeyWindow = 64 * 1024;
// A chapter whose frames must be unsynchronised before they can be walked is
// read whole, up to this size; real chapter frames hold a title and perhaps
// an image.
constexpr uint32_t kMaxUnsynchronisedChapter = 16 * 1024 * 1024;
// FFmpeg's frame flags, which it reads the same way in ID3v2.3 and ID3v2.4.
constexpr unsigned kFlagDataLength = 0x0001;
constexpr unsigned kFlagUnsynchronised = 0x0002;
constexpr unsigned kFlagEncrypted = 0x0004;
constexpr unsigned kFlagCompressed = 0x0008;

// The seven low bits of each byte, as FFmpeg's get_size reads them.
uint32_t sevenBits(const uint8_t* b, unsigned count) {
    uint32_t value = 0;
    for (unsigned i = 0; i < count; ++i) value = (value << 7) + (b[i] & 0x7f);
    return value;
}

uint32_t sizeToSyncsafe(uint32_t size) {
    return (size & 0x7f) + ((size & (0x7fu << 8)) >> 1) + ((size & (0x7fu << 16)) >> 2) +
           ((size & (0x7fu << 24)) >> 3);
}

bool isTagHeader(const uint8_t* b) {
    return b[0] == 'I' && b[1] == 'D' && b[2] == '3' && b[3] != 0xff && b[4] != 0xff &&
           (b[6] & 0x80) == 0 && (b[7] & 0x80) == 0 && (b[8] & 0x80) == 0 && (b[9] & 0x80) == 0;
}

// Removes the zero byte after each 0xff, as FFmpeg does while reading a frame.
std::string unsynchronise(const std::string& in) {
    std::string out;
    out.reserve(in.size());
    for (size_t i = 0; i < in.size(); ++i) {
        out.push_back(in[i]);
        if (static_cast<uint8_t>(in[i]) == 0xff && i + 1 < in.size()) {
            ++i;
            out.push_back(in[i] != 0 ? in[i] : (i + 1 < in.size() ? in[++i] : '\0'));
        }
    }
    return out;
}

// The bytes of a text up to its terminator in the given ID3v2 text encoding:
// their count, and whether the terminator was found within `text`.
size_t textLength(const std::string& text, size_t from, unsigned encoding, bool& terminated) {
    terminated = false;
    if (encoding == 1 || encoding == 2) {
        for (size_t i = from; i + 1 < text.size(); i += 2) {
            if (text[i] == 0 && text[i + 1] == 0) {
                terminated = true;
                return i - from;
            }
        }
        return text.size() - std::min(text.size(), from);
    }
    for (size_t i = from; i < text.size(); ++i) {
        if (text[i] == 0) {
            terminated = true;
            return i - from;
        }
    }
    return text.size() - std::min(text.size(), from);
}

// One walk over one tag, on the thread checking the file.
class Id3v2Walk {
  public:
    Id3v2Walk(const FileBytes& file, MetadataCost& cost, MetadataCost::Dictionary& dictionary)
        : file_(file), cost_(cost), dictionary_(dictionary) {}

    // One tag whose body of `length` bytes starts at `position`; returns where
    // FFmpeg continues after it.
    uint64_t tag(uint64_t position, int64_t length, unsigned version, unsigned flags) {
        const uint64_t end = position + static_cast<uint64_t>(length);
        cost_.tagBytes(static_cast<uint64_t>(length) + kHeaderSize);
        bool isv34 = false;
        unsigned headerSize = 0;
        if (version == 2) {
            if (flags & 0x40) return end;
            headerSize = 6;
        } else if (version == 3 || version == 4) {
            isv34 = true;
            headerSize = 10;
        } else {
            return end;
        }
        tagUnsynchronised_ = (flags & 0x80) != 0;
        if (isv34 && (flags & 0x40)) {
            uint8_t b[4];
            if (!file_.readExact(position, 4, b)) return end;
            int64_t extended = static_cast<int32_t>(sevenBits(b, 4));
            if (version == 4) extended -= 4;
            if (extended < 0) return end;
            position += 4 + static_cast<uint64_t>(extended);
            length -= extended + 4;
            if (length < 0) return end;
        }
        while (length >= static_cast<int64_t>(headerSize) && !cost_.exceeded()) {
            // Zero-sized frames too, padding among them: FFmpeg walks a tag's
            // zeros ten bytes at a time.
            cost_.spend(MetadataCost::kFrameCost);
            uint8_t header[10] = {};
            const std::string got = file_.read(position, headerSize);
            if (got.size() < (isv34 ? 4u : 3u)) break;
            std::memcpy(header, got.data(), got.size());
            char id[5] = {};
            uint32_t frameLength = 0;
            unsigned frameFlags = 0;
            if (isv34) {
                std::memcpy(id, header, 4);
                frameLength = bigEndian(header + 4, 4);
                if (version == 4 && frameLength > 0x7f) {
                    // Some writers put ID3v2.3 sizes in ID3v2.4 tags: FFmpeg
                    // takes whichever size lands on something like a frame.
                    if (frameLength < static_cast<uint64_t>(length)) {
                        const uint64_t flagsAt = position + 8;
                        if (looksLikeFrame(flagsAt + 2 + sizeToSyncsafe(frameLength)) == 1) {
                            frameLength = sizeToSyncsafe(frameLength);
                        } else if (looksLikeFrame(flagsAt + 2 + frameLength) != 1) {
                            break;
                        }
                    } else {
                        frameLength = sizeToSyncsafe(frameLength);
                    }
                }
                frameFlags = bigEndian(header + 8, 2);
            } else {
                std::memcpy(id, header, 3);
                frameLength = bigEndian(header + 3, 3);
            }
            if (frameLength > (1u << 28)) break;
            length -= headerSize + static_cast<int64_t>(frameLength);
            if (length < 0) break;
            uint64_t data = position + headerSize;
            const uint64_t next = data + frameLength;
            position = next;
            if (frameLength == 0) continue;
            uint32_t dataLength = frameLength;
            uint32_t storedLength = frameLength;
            if (frameFlags & kFlagDataLength) {
                if (frameLength < 4) break;
                uint8_t b[4] = {};
                file_.readExact(data, 4, b);
                dataLength = bigEndian(b, 4);
                data += 4;
                storedLength -= 4;
            }
            if (frameFlags & kFlagEncrypted) continue;
            const bool compressed = (frameFlags & kFlagCompressed) != 0;
            const bool unsynchronised =
                tagUnsynchronised_ || (frameFlags & kFlagUnsynchronised) != 0;
            if (!frame(id, isv34, data, storedLength, dataLength, compressed, unsynchronised) &&
                id[0] == '\0') {
                break;  // padding
            }
        }
        return version == 4 && (flags & 0x10) ? end + kHeaderSize : end;
    }

  private:
    // FFmpeg's check_tag: 1 for four capitals and digits or four zero bytes.
    int looksLikeFrame(uint64_t offset) const {
        uint8_t b[4];
        if (!file_.readExact(offset, 4, b)) return -1;
        if (bigEndian(b, 4) == 0) return 1;
        for (uint8_t c : b) {
            if ((c < 'A' || c > 'Z') && (c < '0' || c > '9')) return 0;
        }
        return 1;
    }

    // The start of a frame's stored data, unsynchronised as FFmpeg reads it.
    std::string window(uint64_t data, uint32_t length, bool unsynchronised) const {
        const size_t want = std::min<size_t>(length, unsynchronised ? 2 * kKeyWindow : kKeyWindow);
        const std::string raw = file_.read(data, want);
        return unsynchronised ? unsynchronise(raw) : raw;
    }

    // One frame FFmpeg reads into memory; false when it skips the frame.
    bool frame(const char* id, bool isv34, uint64_t data, uint32_t length, uint32_t dataLength,
               bool compressed, bool unsynchronised) {
        const bool text = id[0] == 'T';
        const bool lyrics = std::strncmp(id, "USLT", 4) == 0;
        const bool comment = std::strcmp(id, isv34 ? "COMM" : "COM") == 0;
        const size_t nameLength = isv34 ? 4 : 3;
        const bool chapter = std::strncmp(id, "CHAP", nameLength) == 0;
        const bool privateFrame = std::strncmp(id, "PRIV", nameLength) == 0;
        const bool kept = std::strncmp(id, isv34 ? "GEOB" : "GEO", nameLength) == 0 ||
                          std::strncmp(id, isv34 ? "APIC" : "PIC", nameLength) == 0;
        if (!text && !lyrics && !comment && !chapter && !privateFrame && !kept) return false;
        // The inflated text is what FFmpeg keeps, and the most it inflates
        // into is the size the frame declares.
        const uint64_t keptLength = compressed ? dataLength : length;
        if (compressed) cost_.inflate(dataLength);
        if (kept) return true;
        if (compressed) {
            // The key is inside the compressed data: charge it at the
            // frame's whole length. Chapters are not worth inflating to walk.
            if (chapter) cost_.refuse();
            cost_.add(dictionary_, "", 2 * keptLength, 4 * keptLength,
                      MetadataCost::Repeat::Replace);
            return true;
        }
        const std::string bytes = window(data, length, unsynchronised);
        if (chapter) {
            chapterFrame(data, length, unsynchronised);
        } else if (text) {
            textEntry(dictionary_, id, bytes, length);
        } else if (privateFrame) {
            bool terminated = false;
            const size_t owner = textLength(bytes, 0, 0, terminated);
            const std::string key = "ID3V2_PRIV." + foldKey(bytes.substr(0, owner));
            const uint64_t keyLength = terminated ? 11 + 2 * owner : 11 + 2 * uint64_t(length);
            // Escaped byte by byte into text: up to four bytes each.
            cost_.add(dictionary_, terminated ? key : "", keyLength, 4 * uint64_t(length),
                      MetadataCost::Repeat::Replace);
        } else {
            // "comment-" or "lyrics-", the description and the language.
            const unsigned encoding = bytes.empty() ? 0 : static_cast<uint8_t>(bytes[0]);
            bool terminated = false;
            const size_t description = textLength(bytes, 4, encoding, terminated);
            const uint64_t keyLength = 16 + 2 * (terminated ? description : uint64_t(length));
            cost_.add(dictionary_, "", keyLength, 2 * uint64_t(length),
                      MetadataCost::Repeat::Replace);
        }
        return true;
    }

    // A text frame: stored under its name, or a TXXX frame under its
    // description, as text decoded to UTF-8 (at most twice as long).
    void textEntry(MetadataCost::Dictionary& dictionary, const char* id, const std::string& bytes,
                   uint32_t length) {
        if (length < 1 || bytes.empty()) return;
        const bool userText = std::strcmp(id, "TXXX") == 0 || std::strcmp(id, "TXX") == 0;
        if (!userText) {
            const std::string name = foldKey(std::string(id));
            cost_.add(dictionary, name, name.size(), 2 * uint64_t(length),
                      MetadataCost::Repeat::Replace);
            return;
        }
        const unsigned encoding = static_cast<uint8_t>(bytes[0]);
        const size_t from = encoding == 1 ? 3 : 1;  // past the byte-order mark
        bool terminated = false;
        const size_t description = textLength(bytes, from, encoding, terminated);
        if (!terminated) {
            cost_.add(dictionary, "", 2 * uint64_t(length), 2 * uint64_t(length),
                      MetadataCost::Repeat::Replace);
            return;
        }
        // Only single-byte texts are recognised when repeated; a UTF-16 key
        // always counts as new.
        std::string key;
        if (encoding == 0 || encoding == 3)
            key = std::string(1, static_cast<char>('0' + encoding)) +
                  foldKey(bytes.substr(from, description));
        cost_.add(dictionary, key, 2 * uint64_t(description), 2 * uint64_t(length),
                  MetadataCost::Repeat::Replace);
    }

    // A chapter (FFmpeg's read_chapter): an element id, four times, then the
    // frames it embeds, whose text frames go into the chapter's own
    // dictionary. Embedded frame sizes are plain 32-bit numbers.
    void chapterFrame(uint64_t data, uint32_t length, bool unsynchronised) {
        MetadataCost::Dictionary& dictionary = cost_.dictionary();
        std::string whole;
        if (unsynchronised) {
            if (length > kMaxUnsynchronisedChapter) {
                cost_.refuse();
                return;
            }
            whole = unsynchronise(file_.read(data, length));
        }
        auto read = [&](uint64_t offset, size_t count) {
            if (!unsynchronised) return file_.read(data + offset, count);
            return offset < whole.size() ? whole.substr(static_cast<size_t>(offset), count)
                                         : std::string();
        };
        int64_t left = unsynchronised ? static_cast<int64_t>(whole.size()) : length;
        const std::string head = read(0, kKeyWindow);
        bool terminated = false;
        const size_t element = textLength(head, 0, 0, terminated);
        uint64_t offset = terminated ? element + 1 : static_cast<uint64_t>(left);
        left -= static_cast<int64_t>(offset);
        if (left >= 16) {
            offset += 16;
            left -= 16;
            while (left > 10 && !cost_.exceeded()) {
                cost_.spend(MetadataCost::kFrameCost);
                const std::string header = read(offset, 10);
                if (header.size() < 10) break;
                const uint32_t size =
                    bigEndian(reinterpret_cast<const uint8_t*>(header.data()) + 4, 4);
                left -= 10;
                offset += 10;
                if (size > INT32_MAX || static_cast<int64_t>(size) > left) break;
                if (header[0] == 'T') {
                    char id[5] = {};
                    std::memcpy(id, header.data(), 4);
                    textEntry(dictionary, id, read(offset, std::min<size_t>(size, kKeyWindow)),
                              size);
                }
                offset += size;
                left -= static_cast<int64_t>(size);
            }
        }
        // Converted twice where it is read, copied once into the chapter.
        cost_.rebuild(dictionary, 3);
        cost_.chapter();
    }

    const FileBytes& file_;
    MetadataCost& cost_;
    MetadataCost::Dictionary& dictionary_;
    bool tagUnsynchronised_ = false;
};

}  // namespace

uint64_t scanId3v2Tags(const FileBytes& file, uint64_t offset, uint64_t maxSearch,
                       MetadataCost& cost, MetadataCost::Dictionary& dictionary) {
    if (maxSearch != 0 && maxSearch < kHeaderSize) return offset;
    const uint64_t start = offset;
    bool found = false;
    while (!cost.exceeded()) {
        if (maxSearch != 0 && offset - start >= maxSearch - kHeaderSize) break;
        uint8_t header[kHeaderSize];
        if (!file.readExact(offset, kHeaderSize, header) || !isTagHeader(header)) break;
        cost.spend(MetadataCost::kFrameCost);
        found = true;
        Id3v2Walk walk(file, cost, dictionary);
        offset = walk.tag(offset + kHeaderSize, sevenBits(header + 6, 4), header[3], header[5]);
    }
    // The frame names are converted three times after the tags are read.
    if (found) cost.rebuild(dictionary, 3);
    return offset;
}

}  // namespace Ostra::bass

#include "metadata/TagCache.h"

#include <taglib/taglib.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "util/PathUtils.h"

namespace Ostra {

namespace {

const std::string kKind = "tags";
// What the fields depend on besides the file: this reader and the TagLib it
// was built with. Raise the number whenever the reading changes what it
// yields, so entries of the old reader are never taken for the new one's.
const std::string kVersion = "2 TagLib " + std::to_string(TAGLIB_MAJOR_VERSION) + "." +
                             std::to_string(TAGLIB_MINOR_VERSION) + "." +
                             std::to_string(TAGLIB_PATCH_VERSION);

// "id" and "path" come from the path alone, which is the entry's key.
bool fromPath(const std::string& key) {
    return key == "id" || key == "path";
}

// A read's fields as one flat record, written and read only here: per field
// a type byte ('t' for text, 'i' for an integer), the key's length (one byte)
// and bytes, then the text's length (four bytes) and bytes, or the integer's
// eight bytes; numbers little-endian. Building an AMF0 object for this would
// cost more than the rest of a cached read.
constexpr char kText = 't';
constexpr char kInteger = 'i';
// A read yields a dozen fields at most. A record of more was not written by
// this reader, and building a song of thousands of fields in whatever order
// they come would cost time quadratic in their number and memory for each.
constexpr std::size_t kMaxFields = 32;

// Writes a little-endian number of `bytes` bytes at p and steps past it.
void putNumber(char*& p, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) *p++ = static_cast<char>((value >> (8 * i)) & 0xff);
}

void putKey(char*& p, char type, const std::string& key) {
    *p++ = type;
    *p++ = static_cast<char>(key.size());
    std::memcpy(p, key.data(), key.size());
    p += key.size();
}

// Fields in the order of their keys, texts and integers merged, so that a
// record is written from them in one pass. Sized first, then written in
// place: this runs for every file a first scan reads.
std::string encodeFields(const std::map<std::string, std::string>& textFields,
                         const std::map<std::string, long long>& intFields) {
    if (textFields.size() + intFields.size() > kMaxFields) return "";
    std::size_t size = 0;
    for (const auto& field : textFields) {
        // An empty key would end an AMF0 object early on the wire.
        if (field.first.empty() || field.first.size() > 0xff || field.second.size() > 0xffffffffu)
            return "";
        if (!fromPath(field.first)) size += 2 + field.first.size() + 4 + field.second.size();
    }
    for (const auto& field : intFields) {
        if (field.first.empty() || field.first.size() > 0xff) return "";
        size += 2 + field.first.size() + 8;
    }
    std::string out(size, '\0');
    char* p = out.data();
    auto text = textFields.begin();
    auto integer = intFields.begin();
    while (text != textFields.end() || integer != intFields.end()) {
        if (text != textFields.end() &&
            (integer == intFields.end() || text->first <= integer->first)) {
            if (!fromPath(text->first)) {
                putKey(p, kText, text->first);
                putNumber(p, text->second.size(), 4);
                std::memcpy(p, text->second.data(), text->second.size());
                p += text->second.size();
            }
            ++text;
        } else {
            putKey(p, kInteger, integer->first);
            putNumber(p, static_cast<std::uint64_t>(integer->second), 8);
            ++integer;
        }
    }
    return out;
}

// Reads `bytes` bytes at `at` as a little-endian number; false past the end.
bool takeNumber(std::string_view in, std::size_t& at, int bytes, std::uint64_t& value) {
    if (in.size() - at < static_cast<std::size_t>(bytes)) return false;
    value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
    }
    at += bytes;
    return true;
}

// Calls text(key, value) or integer(key, value) for each field in turn; false
// at the first malformed one (an empty key among them).
template <typename Text, typename Integer>
bool forEachField(std::string_view in, Text&& text, Integer&& integer) {
    std::size_t at = 0;
    while (at < in.size()) {
        const char type = in[at];
        std::uint64_t keyLength = 0;
        ++at;
        if (!takeNumber(in, at, 1, keyLength) || keyLength == 0 || in.size() - at < keyLength)
            return false;
        const std::string_view key = in.substr(at, keyLength);
        at += keyLength;
        std::uint64_t value = 0;
        if (type == kText) {
            if (!takeNumber(in, at, 4, value) || in.size() - at < value) return false;
            text(key, in.substr(at, value));
            at += value;
        } else if (type == kInteger) {
            if (!takeNumber(in, at, 8, value)) return false;
            integer(key, static_cast<long long>(value));
        } else {
            return false;
        }
    }
    return true;
}

// A well-formed record of no more fields than a read yields, whose last
// "size" is the file's: the size is part of the identity too, and a record
// that disagrees did not come from this file. fields counts them.
bool fitsFile(std::string_view in, long long fileSize, std::size_t& fields) {
    std::optional<long long> size;
    fields = 0;
    const bool wellFormed = forEachField(
        in, [&fields](std::string_view, std::string_view) { ++fields; },
        [&size, &fields](std::string_view key, long long value) {
            ++fields;
            if (key == "size") size = value;
        });
    return wellFormed && fields <= kMaxFields && size == fileSize;
}

}  // namespace

TagCache::TagCache(const std::string& path, const struct stat& status)
    : path_(path), cache_(cache::processCache()) {
    if (cache_ != nullptr) identity_ = cache::FileIdentity::of(status);
}

bool TagCache::lookUp(std::string& bytes, std::size_t& fields) const {
    return cache_ != nullptr && cache_->find(path_, kKind, kVersion, identity_, bytes) &&
           fitsFile(bytes, identity_.size, fields);
}

bool TagCache::find(std::map<std::string, std::string>& textFields,
                    std::map<std::string, long long>& intFields) const {
    textFields.clear();
    intFields.clear();
    KnownTags tags;
    if (!find(tags)) return false;
    // In turn, a later field replacing an earlier one of its key.
    for (const KnownTags::Field& field : tags.fields) {
        if (field.isText) {
            textFields[std::string(field.key)] = std::string(field.text);
        } else {
            intFields[std::string(field.key)] = field.integer;
        }
    }
    std::string id;
    util::SongIdFromPath(path_, id);
    textFields["id"] = id;
    textFields["path"] = path_;
    return true;
}

bool TagCache::find(KnownTags& tags) const {
    std::size_t count = 0;
    tags.fields.clear();
    if (!lookUp(tags.bytes, count)) return false;
    tags.fields.reserve(count);
    forEachField(
        tags.bytes,
        [&tags](std::string_view key, std::string_view value) {
            tags.fields.push_back({key, value, 0, true});
        },
        [&tags](std::string_view key, long long value) {
            tags.fields.push_back({key, std::string_view(), value, false});
        });
    return true;
}

void TagCache::store(const std::map<std::string, std::string>& textFields,
                     const std::map<std::string, long long>& intFields) const {
    if (cache_ == nullptr || !identity_.settled) return;
    std::string bytes = encodeFields(textFields, intFields);
    if (!bytes.empty()) cache_->store(path_, kKind, kVersion, identity_, std::move(bytes));
}

}  // namespace Ostra

#include "metadata/TagCache.h"

#include <taglib/taglib.h>

#include <cstdint>

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

void putNumber(std::string& out, std::uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xff));
}

bool putKey(std::string& out, char type, const std::string& key) {
    if (key.size() > 0xff) return false;
    out.push_back(type);
    out.push_back(static_cast<char>(key.size()));
    out += key;
    return true;
}

std::string encodeFields(const std::map<std::string, std::string>& textFields,
                         const std::map<std::string, long long>& intFields) {
    std::string out;
    out.reserve(256);
    for (const auto& field : textFields) {
        if (fromPath(field.first)) continue;
        if (field.second.size() > 0xffffffffu || !putKey(out, kText, field.first)) return "";
        putNumber(out, field.second.size(), 4);
        out += field.second;
    }
    for (const auto& field : intFields) {
        if (!putKey(out, kInteger, field.first)) return "";
        putNumber(out, static_cast<std::uint64_t>(field.second), 8);
    }
    return out;
}

// Reads `bytes` bytes at `at` as a little-endian number; false past the end.
bool takeNumber(const std::string& in, std::size_t& at, int bytes, std::uint64_t& value) {
    if (in.size() - at < static_cast<std::size_t>(bytes)) return false;
    value = 0;
    for (int i = 0; i < bytes; ++i) {
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(in[at + i])) << (8 * i);
    }
    at += bytes;
    return true;
}

bool decodeFields(const std::string& in, std::map<std::string, std::string>& textFields,
                  std::map<std::string, long long>& intFields) {
    std::size_t at = 0;
    while (at < in.size()) {
        const char type = in[at];
        std::uint64_t keyLength = 0;
        ++at;
        if (!takeNumber(in, at, 1, keyLength) || in.size() - at < keyLength) return false;
        std::string key = in.substr(at, keyLength);
        at += keyLength;
        std::uint64_t value = 0;
        if (type == kText) {
            if (!takeNumber(in, at, 4, value) || in.size() - at < value) return false;
            textFields[std::move(key)] = in.substr(at, value);
            at += value;
        } else if (type == kInteger) {
            if (!takeNumber(in, at, 8, value)) return false;
            intFields[std::move(key)] = static_cast<long long>(value);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

TagCache::TagCache(const std::string& path, const struct stat& status)
    : path_(path), cache_(cache::processCache()) {
    if (cache_ != nullptr) identity_ = cache::FileIdentity::of(status);
}

bool TagCache::find(std::map<std::string, std::string>& textFields,
                    std::map<std::string, long long>& intFields) const {
    textFields.clear();
    intFields.clear();
    std::string bytes;
    if (cache_ == nullptr || !cache_->find(path_, kKind, kVersion, identity_, bytes)) return false;
    const bool decoded = decodeFields(bytes, textFields, intFields);
    // The size is part of the identity too: a record that disagrees did not
    // come from this file.
    const auto size = intFields.find("size");
    if (!decoded || size == intFields.end() || size->second != identity_.size) {
        textFields.clear();
        intFields.clear();
        return false;
    }
    std::string id;
    util::SongIdFromPath(path_, id);
    textFields["id"] = id;
    textFields["path"] = path_;
    return true;
}

void TagCache::store(const std::map<std::string, std::string>& textFields,
                     const std::map<std::string, long long>& intFields) const {
    if (cache_ == nullptr || !identity_.settled) return;
    std::string bytes = encodeFields(textFields, intFields);
    if (!bytes.empty()) cache_->store(path_, kKind, kVersion, identity_, std::move(bytes));
}

}  // namespace Ostra

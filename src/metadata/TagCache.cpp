#include "metadata/TagCache.h"

#include <taglib/taglib.h>

#include <cmath>
#include <memory>

#include "amf/amf0.h"
#include "scan/PathUtils.h"

namespace Ostra {

namespace {

const std::string kKind = "tags";
// What the fields depend on besides the file: this reader and the TagLib it
// was built with. Raise the number whenever the reading changes what it
// yields, so entries of the old reader are never taken for the new one's.
const std::string kVersion = "1 TagLib " + std::to_string(TAGLIB_MAJOR_VERSION) + "." +
                             std::to_string(TAGLIB_MINOR_VERSION) + "." +
                             std::to_string(TAGLIB_PATCH_VERSION);

constexpr double kMaxExactInteger = 9007199254740992.0;  // 2^53

// "id" and "path" come from the path alone, which is the entry's key.
bool fromPath(const std::string& key) {
    return key == "id" || key == "path";
}

// Integers travel as AMF0 numbers, which hold every value a file can give
// (sizes below 2^53 bytes, durations, track numbers) exactly.
std::string encodeFields(const std::map<std::string, std::string>& textFields,
                         const std::map<std::string, long long>& intFields) {
    amf::amf_object fields;
    for (const auto& field : textFields) {
        if (!fromPath(field.first)) fields.set_string_property(field.first, field.second);
    }
    for (const auto& field : intFields) {
        fields.set_numeric_property(field.first, static_cast<double>(field.second));
    }
    std::string bytes(amf::get_size(&fields), '\0');
    auto* begin = reinterpret_cast<unsigned char*>(&bytes[0]);
    if (!amf::encode(begin, begin + bytes.size(), &fields)) return std::string();
    return bytes;
}

bool decodeFields(const std::string& bytes, std::map<std::string, std::string>& textFields,
                  std::map<std::string, long long>& intFields) {
    const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::unique_ptr<amf::amf0_data_type> value(amf::decode(begin, begin + bytes.size()));
    if (!value || value->get_type() != amf::AMF_OBJECT) return false;
    bool valid = true;
    static_cast<const amf::amf_object&>(*value).get_value().for_each(
        [&](std::string_view key, const amf::amf0_data_type* field) {
            switch (field->get_type()) {
                case amf::AMF_STRING:
                    textFields.emplace(key,
                                       static_cast<const amf::amf_string*>(field)->get_value());
                    break;
                case amf::AMF_LONG_STRING:
                    textFields.emplace(
                        key, static_cast<const amf::amf_long_string*>(field)->get_value());
                    break;
                case amf::AMF_NUMBER: {
                    const double number = static_cast<const amf::amf_numeric*>(field)->get_value();
                    // Anything else did not come from encodeFields.
                    if (!(std::fabs(number) <= kMaxExactInteger)) {
                        valid = false;
                        break;
                    }
                    intFields.emplace(key, static_cast<long long>(number));
                    break;
                }
                default:
                    valid = false;
            }
        });
    return valid;
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
    if (!decodeFields(bytes, textFields, intFields)) {
        textFields.clear();
        intFields.clear();
        return false;
    }
    std::string id;
    SongIdFromPath(path_, id);
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

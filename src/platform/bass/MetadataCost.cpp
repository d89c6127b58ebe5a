#include "platform/bass/MetadataCost.h"

#include <limits>

namespace Ostra::bass {

namespace {

// Units are characters compared or copied. At this budget the worst file (as
// long keys sharing all but their last bytes as the budget allows) opens in
// about a quarter of a second; a tag of a few hundred fields uses a hundredth.
constexpr uint64_t kMaxWork = uint64_t(1) << 27;
// Compressed ID3v2 frames are kept inflated: beyond twice the tags' own size,
// at most this much (a 343 KB file whose frames inflate to 320 MB is refused).
constexpr uint64_t kMaxExtraInflatedBytes = 16 * 1024 * 1024;

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
    return b > std::numeric_limits<uint64_t>::max() - a ? std::numeric_limits<uint64_t>::max()
                                                        : a + b;
}

uint64_t saturatingMultiply(uint64_t a, uint64_t b) {
    if (a != 0 && b > std::numeric_limits<uint64_t>::max() / a)
        return std::numeric_limits<uint64_t>::max();
    return a * b;
}

}  // namespace

MetadataCost::Dictionary& MetadataCost::dictionary() {
    dictionaries_.emplace_back();
    return dictionaries_.back();
}

void MetadataCost::add(Dictionary& dictionary, const std::string& key, uint64_t keyLength,
                       uint64_t valueLength, Repeat repeat) {
    // The lookup: every entry compared, at most the whole key each time.
    const uint64_t lookup = saturatingMultiply(dictionary.entries_, saturatingAdd(keyLength, 1));
    work_ = saturatingAdd(work_, lookup);
    if (!key.empty() && keyLength <= kRememberedKeyLength) {
        auto found = dictionary.keys_.find(key);
        if (found != dictionary.keys_.end()) {
            if (repeat == Repeat::Append) {
                // Looked up again to add the separator, then the value: the
                // text kept so far is copied twice.
                work_ = saturatingAdd(work_, saturatingMultiply(2, lookup));
                work_ = saturatingAdd(work_, saturatingMultiply(2, found->second));
                found->second = saturatingAdd(found->second, saturatingAdd(valueLength, 1));
            } else {
                found->second = valueLength;
            }
            dictionary.rebuildWork_ = saturatingAdd(dictionary.rebuildWork_, valueLength);
            return;
        }
        dictionary.keys_.emplace(key, valueLength);
    }
    dictionary.rebuildWork_ =
        saturatingAdd(dictionary.rebuildWork_, saturatingAdd(lookup, valueLength));
    ++dictionary.entries_;
}

void MetadataCost::rebuild(Dictionary& dictionary, unsigned passes) {
    work_ = saturatingAdd(work_, saturatingMultiply(passes, dictionary.rebuildWork_));
}

void MetadataCost::chapter() {
    work_ = saturatingAdd(work_, chapters_);
    ++chapters_;
}

void MetadataCost::findChapter() {
    work_ = saturatingAdd(work_, chapters_);
}

void MetadataCost::inflate(uint64_t bytes) {
    inflated_ = saturatingAdd(inflated_, bytes);
}

void MetadataCost::tagBytes(uint64_t bytes) {
    tagBytes_ = saturatingAdd(tagBytes_, bytes);
}

void MetadataCost::spend(uint64_t units) {
    work_ = saturatingAdd(work_, units);
}

bool MetadataCost::exceeded() const {
    const uint64_t inflateLimit =
        saturatingAdd(kMaxExtraInflatedBytes, saturatingMultiply(2, tagBytes_));
    return refused_ || work_ > kMaxWork || inflated_ > inflateLimit;
}

std::string foldKey(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return out;
}

}  // namespace Ostra::bass

#include "HashTestSupport.h"

#include <openssl/evp.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <random>

#include "support/MediaFixtures.h"

namespace hashtest {

using media::be32;
using media::synchsafe;

const std::string kEmptySha1 = "da39a3ee5e6b4b0d3255bfef95601890afd80709";

namespace {

std::string hexOf(const unsigned char* bytes, unsigned int length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

}  // namespace

std::string sha1Hex(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha1(), nullptr) != 1) {
        return "EVP_Digest failed";
    }
    return hexOf(digest, length);
}

std::string sha1OfSparseRanges(const std::map<std::uint64_t, std::string>& written,
                               const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges) {
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> context(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    EVP_DigestInit_ex(context.get(), EVP_sha1(), nullptr);
    const std::vector<unsigned char> zeros(1 << 20, 0);
    for (const auto& range : ranges) {
        std::uint64_t at = range.first;
        const std::uint64_t end = range.first + range.second;
        while (at < end) {
            auto next = written.upper_bound(at);
            if (next != written.begin()) {
                auto region = std::prev(next);
                const std::uint64_t regionEnd = region->first + region->second.size();
                if (regionEnd > at) {
                    const std::uint64_t n = std::min(end, regionEnd) - at;
                    EVP_DigestUpdate(context.get(), region->second.data() + (at - region->first),
                                     static_cast<std::size_t>(n));
                    at += n;
                    continue;
                }
            }
            const std::uint64_t gapEnd = next == written.end() ? end : std::min(end, next->first);
            while (at < gapEnd) {
                const std::uint64_t n = std::min<std::uint64_t>(gapEnd - at, zeros.size());
                EVP_DigestUpdate(context.get(), zeros.data(), static_cast<std::size_t>(n));
                at += n;
            }
        }
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context.get(), digest, &length);
    return hexOf(digest, length);
}

std::string noiseBytes(std::size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random() & 0xff);
    for (std::size_t i = 0; i + 3 <= size; ++i) {
        if (bytes.compare(i, 3, "TAG") == 0) bytes[i] = 'x';
    }
    return bytes;
}

std::string be64(std::uint64_t value) {
    return be32(static_cast<std::uint32_t>(value >> 32)) +
           be32(static_cast<std::uint32_t>(value & 0xffffffffu));
}

std::string id3v2Tag(const std::string& title, std::size_t padding, int version, bool footer) {
    std::string text = std::string(1, '\x03') + title;  // encoding 3: UTF-8
    std::string frameSize = version == 4 ? synchsafe(static_cast<std::uint32_t>(text.size()))
                                         : be32(static_cast<std::uint32_t>(text.size()));
    std::string frames = "TIT2" + frameSize + std::string(2, '\0') + text;
    std::string body = frames + std::string(padding, '\0');
    if (footer) body = frames;  // a tag with a footer carries no padding
    char flags = footer ? 0x10 : 0;
    std::string header = "ID3" + std::string(1, static_cast<char>(version)) + std::string(1, '\0') +
                         std::string(1, flags) + synchsafe(static_cast<std::uint32_t>(body.size()));
    std::string tag = header + body;
    if (footer) tag += "3DI" + header.substr(3);
    return tag;
}

std::string id3v1Block(const std::string& title) {
    std::string block = "TAG" + title.substr(0, 30);
    block.resize(128, '\0');
    return block;
}

std::string box(const std::string& type, const std::string& body) {
    return be32(static_cast<std::uint32_t>(8 + body.size())) + type + body;
}

}  // namespace hashtest

#include "lib/openssl/Sha1.h"

#include <openssl/evp.h>

#include <cstdio>

namespace Ostra {
namespace openssl {

void renderDigest(const unsigned int* digest, std::string& text) {
    char buffer[kDigestWords * 8 + 1];
    std::snprintf(buffer, sizeof buffer, "%08x%08x%08x%08x%08x", digest[0], digest[1], digest[2],
                  digest[3], digest[4]);
    text.assign(buffer, kDigestWords * 8);
}

void Sha1::ContextFree::operator()(evp_md_ctx_st* context) const {
    EVP_MD_CTX_free(context);
}

Sha1::Sha1() : context_(EVP_MD_CTX_new()) {
    ok_ = context_ && EVP_DigestInit_ex(context_.get(), EVP_sha1(), nullptr) == 1;
}

Sha1::~Sha1() = default;

bool Sha1::update(const void* data, std::size_t size) {
    if (!ok_) return false;
    if (size == 0) return true;
    ok_ = EVP_DigestUpdate(context_.get(), data, size) == 1;
    return ok_;
}

bool Sha1::finish(unsigned int digest[kDigestWords]) {
    if (!ok_) return false;
    ok_ = false;
    unsigned char bytes[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), bytes, &length) != 1 || length != kDigestWords * 4) {
        return false;
    }
    for (std::size_t i = 0; i < kDigestWords; ++i) {
        const unsigned char* b = bytes + 4 * i;
        digest[i] = (static_cast<unsigned int>(b[0]) << 24) |
                    (static_cast<unsigned int>(b[1]) << 16) |
                    (static_cast<unsigned int>(b[2]) << 8) | static_cast<unsigned int>(b[3]);
    }
    return true;
}

std::string sha1Text(const std::string& bytes) {
    Sha1 sha;
    unsigned int digest[kDigestWords];
    std::string text;
    if (sha.update(bytes.data(), bytes.size()) && sha.finish(digest)) renderDigest(digest, text);
    return text;
}

}  // namespace openssl
}  // namespace Ostra

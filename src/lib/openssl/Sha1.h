// OpenSSL, wrapped once: the one SHA-1 of the program (the file hashes, the
// device identifier, the fingerprint SDK's user check) and its text form.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

struct evp_md_ctx_st;

namespace Ostra {
namespace openssl {

// A SHA-1 digest as five 32-bit words, h0 first.
constexpr std::size_t kDigestWords = 5;

// Replaces text with the 40 lowercase hex digits "%08x" of each word in
// order, h0 first. For a digest produced by Sha1 this is the usual hex
// digest of the 20 digest bytes.
void renderDigest(const unsigned int* digest, std::string& text);

// One SHA-1 computation (FIPS 180-4) over OpenSSL's EVP interface. Used by
// one thread at a time; each computation gets its own object.
class Sha1 {
  public:
    Sha1();
    ~Sha1();
    Sha1(const Sha1&) = delete;
    Sha1& operator=(const Sha1&) = delete;

    // False when OpenSSL could not set up the computation or feed the bytes;
    // the object is then unusable and finish() fails too.
    bool update(const void* data, std::size_t size);
    // Writes the digest words (big-endian reading of the 20 digest bytes).
    // The object cannot be fed again afterwards.
    bool finish(unsigned int digest[kDigestWords]);

  private:
    struct ContextFree {
        void operator()(evp_md_ctx_st* context) const;
    };
    std::unique_ptr<evp_md_ctx_st, ContextFree> context_;
    bool ok_ = false;
};

// Convenience for short inputs: the digest text of bytes, empty on failure.
std::string sha1Text(const std::string& bytes);

}  // namespace openssl
}  // namespace Ostra

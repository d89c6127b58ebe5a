#include <gtest/gtest.h>

#include <string>

#include "HashTestSupport.h"
#include "lib/openssl/Sha1.h"

namespace {

using Ostra::openssl::renderDigest;
using Ostra::openssl::Sha1;

TEST(RenderDigest, KeepsLeadingZerosOfEveryWord) {
    const unsigned int words[5] = {0x00000000u, 0x00000001u, 0x00abcdefu, 0xffffffffu, 0x0f000000u};
    std::string text = "previous contents";
    renderDigest(words, text);
    EXPECT_EQ(
        "0000000000000001"
        "00abcdefffffffff0f000000",
        text);
    EXPECT_EQ(40u, text.size());
}

TEST(Sha1, KnownVectors) {
    EXPECT_EQ(hashtest::kEmptySha1, Ostra::openssl::sha1Text(""));
    EXPECT_EQ("a9993e364706816aba3e25717850c26c9cd0d89d", Ostra::openssl::sha1Text("abc"));
    EXPECT_EQ("84983e441c3bd26ebaae4aa1f95129e5e54670f1",
              Ostra::openssl::sha1Text("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"));
}

TEST(Sha1, PiecewiseFeedingGivesTheOneShotDigest) {
    const std::string input = hashtest::noiseBytes(200000, 7);
    Sha1 sha;
    for (std::size_t at = 0; at < input.size(); at += 777) {
        std::size_t n = std::min<std::size_t>(777, input.size() - at);
        ASSERT_TRUE(sha.update(input.data() + at, n));
    }
    ASSERT_TRUE(sha.update(input.data(), 0));
    unsigned int words[5];
    ASSERT_TRUE(sha.finish(words));
    std::string text;
    renderDigest(words, text);
    EXPECT_EQ(hashtest::sha1Hex(input), text);
}

TEST(Sha1, CannotBeFedAfterFinishing) {
    Sha1 sha;
    unsigned int words[5];
    ASSERT_TRUE(sha.finish(words));
    EXPECT_FALSE(sha.update("x", 1));
    EXPECT_FALSE(sha.finish(words));
}

}  // namespace

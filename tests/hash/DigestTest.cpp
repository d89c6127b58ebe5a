#include <gtest/gtest.h>

#include <string>

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

TEST(Sha1, CannotBeFedAfterFinishing) {
    Sha1 sha;
    unsigned int words[5];
    ASSERT_TRUE(sha.finish(words));
    EXPECT_FALSE(sha.update("x", 1));
    EXPECT_FALSE(sha.finish(words));
}

}  // namespace

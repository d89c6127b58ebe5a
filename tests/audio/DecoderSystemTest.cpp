#include <gtest/gtest.h>

#include "audio/BASSSingleton.h"
#include "audio/DecoderSystem.h"

TEST(DecoderSystemTest, InitSucceedsAndIsIdempotent) {
    EXPECT_TRUE(DecoderSystem::Init());
    EXPECT_TRUE(DecoderSystem::IsInited());
    EXPECT_TRUE(DecoderSystem::Init());
    EXPECT_TRUE(BASSSingleton::Instance().IsInited());
}

TEST(DecoderSystemTest, TablesInOrder) {
    ASSERT_EQ(1u, PLUGINS_COUNT);
    EXPECT_STREQ("libbassflac.dylib", PLUGINS[0]);
    std::vector<std::string> out;
    DecoderSystem::SupportedExtensions(out);
    EXPECT_EQ((std::vector<std::string>{".mp3", ".ogg", ".wav", ".aif", ".aiff", ".flac", ".m4a",
                                        ".aac"}),
              out);
}

TEST(DecoderSystemTest, SupportedExtensionsAppends) {
    std::vector<std::string> out = {"a", "b"};
    DecoderSystem::SupportedExtensions(out);
    ASSERT_EQ(10u, out.size());
    EXPECT_EQ("a", out[0]);
    EXPECT_EQ(".mp3", out[2]);
}

TEST(DecoderSystemTest, ExtensionSupported) {
    std::string ext = "stale";
    EXPECT_TRUE(DecoderSystem::ExtensionSupported("/music/Song.MP3", ext));
    EXPECT_EQ(".MP3", ext);
    EXPECT_FALSE(DecoderSystem::ExtensionSupported("/music/noextension", ext));
    EXPECT_EQ("", ext);
    EXPECT_TRUE(DecoderSystem::ExtensionSupported("a.aif", ext));
    EXPECT_TRUE(DecoderSystem::ExtensionSupported("a.aiff", ext));
    EXPECT_TRUE(DecoderSystem::ExtensionSupported("a.Flac", ext));
    EXPECT_FALSE(DecoderSystem::ExtensionSupported("a.wma", ext));
    EXPECT_EQ(".wma", ext);
    // Only the final component counts.
    EXPECT_FALSE(DecoderSystem::ExtensionSupported("/My.mp3/song", ext));
    EXPECT_EQ("", ext);
    EXPECT_FALSE(DecoderSystem::ExtensionSupported("/music/..", ext));
    EXPECT_EQ("", ext);
}

TEST(DecoderSystemTest, CreateDecoderGivesFreshDecoders) {
    boost::shared_ptr<IDecoder> a = DecoderSystem::CreateDecoder();
    boost::shared_ptr<IDecoder> b = DecoderSystem::CreateDecoder();
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    EXPECT_NE(a.get(), b.get());
    EXPECT_FALSE(a->EndDecode(nullptr));
}

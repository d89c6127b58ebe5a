#include <gtest/gtest.h>

#include "audio/AudioHeader.h"

TEST(AudioHeaderTest, DefaultIsZeroAndInvalid) {
    AudioHeader h;
    EXPECT_EQ(0, h.channels);
    EXPECT_EQ(0, h.bytesPerSample);
    EXPECT_EQ(0, h.sampleRate);
    EXPECT_FALSE(h.IsValid());
}

TEST(AudioHeaderTest, ValidNeedsEveryField) {
    EXPECT_TRUE(AudioHeader(1, 1, 1).IsValid());
    EXPECT_FALSE(AudioHeader(0, 2, 44100).IsValid());
    EXPECT_FALSE(AudioHeader(2, 0, 44100).IsValid());
    EXPECT_FALSE(AudioHeader(2, 2, 0).IsValid());
    EXPECT_FALSE(AudioHeader(-1, 2, 44100).IsValid());
}

TEST(AudioHeaderTest, TextIsRateBitsChannels) {
    EXPECT_EQ("44100:16:2", static_cast<std::string>(AudioHeader(2, 2, 44100)));
    EXPECT_EQ("22050:8:1", static_cast<std::string>(AudioHeader(1, 1, 22050)));
}

TEST(AudioHeaderTest, TextRoundTrips) {
    for (const AudioHeader& h :
         {AudioHeader(2, 2, 44100), AudioHeader(1, 1, 8000), AudioHeader(6, 2, 48000)}) {
        EXPECT_EQ(h, AudioHeader(static_cast<std::string>(h)));
    }
}

TEST(AudioHeaderTest, PartialTextLeavesFieldsZero) {
    AudioHeader h(std::string("44100"));
    EXPECT_EQ(44100, h.sampleRate);
    EXPECT_EQ(0, h.bytesPerSample);
    EXPECT_EQ(0, h.channels);
    EXPECT_FALSE(h.IsValid());
    EXPECT_EQ(AudioHeader(), AudioHeader(std::string("garbage")));
    // Bits are whole bytes only.
    EXPECT_EQ(1, AudioHeader(std::string("8000:12:1")).bytesPerSample);
}

TEST(AudioHeaderTest, EqualityComparesAllFields) {
    EXPECT_EQ(AudioHeader(2, 2, 44100), AudioHeader(2, 2, 44100));
    EXPECT_NE(AudioHeader(2, 2, 44100), AudioHeader(1, 2, 44100));
    EXPECT_NE(AudioHeader(2, 2, 44100), AudioHeader(2, 1, 44100));
    EXPECT_NE(AudioHeader(2, 2, 44100), AudioHeader(2, 2, 48000));
    EXPECT_NE(AudioHeader(2, 4, 44100), AudioHeader(2, 4, 44100, true));
    AudioHeader quad(4, 2, 44100);
    quad.channelLayout = 0x33;
    EXPECT_NE(AudioHeader(4, 2, 44100), quad);
}

#include "util/PathUtils.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string idOf(const std::string& path) {
    std::string id = "stale";
    Ostra::util::SongIdFromPath(path, id);
    return id;
}

TEST(SongIdFromPath, LeavesOutExactlyTheRemovedCharacters) {
    EXPECT_EQ(idOf("/Users/me/Music/My Song (Live).mp3"), "UsersmeMusicMySongLivemp3");
    EXPECT_EQ(idOf(""), "");
    EXPECT_EQ(idOf("/Music/a-b_c.MP3"), "Musica-b_cMP3");
    EXPECT_EQ(idOf("/it's \"x\".mp3"), "itsxmp3");
    EXPECT_EQ(idOf("\\ #;&,.+*~':\"!^$[]()=>|/"), "");
    EXPECT_EQ(idOf("<-_%"), "<-_%");
    // Bytes of 128 and above pass through, so UTF-8 names keep their characters.
    EXPECT_EQ(idOf("/M\xC3\xBCsik/\xE2\x99\xAB.flac"),
              "M\xC3\xBCsik\xE2\x99\xAB"
              "flac");
}

TEST(SongIdFromPath, BadCharacterListHasTwentyFourEntries) {
    int count = 0;
    for (int c = -128; c < 128; ++c) count += Ostra::util::isBadChar(static_cast<char>(c)) ? 1 : 0;
    EXPECT_EQ(count, 24);
    EXPECT_FALSE(Ostra::util::isBadChar('\0'));
    EXPECT_FALSE(Ostra::util::isBadChar('<'));
    EXPECT_TRUE(Ostra::util::isBadChar('/'));
}

TEST(SongIdFromPath, ConcurrentFirstCallsAgree) {
    std::vector<std::thread> threads;
    std::vector<std::string> ids(8);
    for (std::size_t i = 0; i < ids.size(); ++i)
        threads.emplace_back([&ids, i] { Ostra::util::SongIdFromPath("/a b/c.mp3", ids[i]); });
    for (auto& t : threads) t.join();
    for (const auto& id : ids) EXPECT_EQ(id, "abcmp3");
}

TEST(UriDecode, DecodesPercentEscapes) {
    EXPECT_EQ(Ostra::util::UriDecode("/Music/A%20B%2C%20C.mp3"), "/Music/A B, C.mp3");
    EXPECT_EQ(Ostra::util::UriDecode("%C3%A9"), "\xC3\xA9");
    EXPECT_EQ(Ostra::util::UriDecode("100%25"), "100%");
    EXPECT_EQ(Ostra::util::UriDecode("a+b"), "a+b");
    EXPECT_EQ(Ostra::util::UriDecode("%2f%2F"), "//");
}

TEST(UriDecode, LeavesUndecodableEscapesAlone) {
    EXPECT_EQ(Ostra::util::UriDecode("/a%zz/b"), "/a%zz/b");
    EXPECT_EQ(Ostra::util::UriDecode("/x/50%"), "/x/50%");
    EXPECT_EQ(Ostra::util::UriDecode("/a%41%zz"), "/aA%zz");
    EXPECT_EQ(Ostra::util::UriDecode("/a%4"), "/a%4");
    // A single hex digit is a number of one character: the byte 4, then "g".
    EXPECT_EQ(Ostra::util::UriDecode("%4g"), std::string("\x04", 1));
    EXPECT_EQ(Ostra::util::UriDecode("%4gx"), std::string("\x04x", 2));
}

// The decoding rule spelt out with sscanf for every escape, as a reference.
std::string sscanfDecode(const std::string& text) {
    std::string out;
    std::size_t i = 0;
    while (text.size() > 2 && i < text.size() - 2) {
        const char digits[3] = {text[i + 1], text[i + 2], '\0'};
        unsigned int byte = 0;
        if (text[i] == '%' && std::sscanf(digits, "%2x", &byte) == 1) {
            out.push_back(static_cast<char>(byte));
            i += 3;
        } else {
            out.push_back(text[i++]);
        }
    }
    return out + text.substr(i);
}

// Every pair of bytes after a "%" decodes as sscanf's "%2x" reads it.
TEST(UriDecode, AgreesWithSscanfForEveryEscape) {
    for (int a = 0; a < 256; ++a) {
        for (int b = 0; b < 256; ++b) {
            const std::string text = std::string("x%") + char(a) + char(b) + "y%41";
            ASSERT_EQ(Ostra::util::UriDecode(text), sscanfDecode(text)) << a << " " << b;
        }
    }
}

TEST(UriDecode, ShortTextsComeBackUnchanged) {
    EXPECT_EQ(Ostra::util::UriDecode(""), "");
    EXPECT_EQ(Ostra::util::UriDecode("%"), "%");
    EXPECT_EQ(Ostra::util::UriDecode("%4"), "%4");
    EXPECT_EQ(Ostra::util::UriDecode("ab"), "ab");
}

TEST(UriDecode, EncodedNulByteIsKept) {
    EXPECT_EQ(Ostra::util::UriDecode("a%00b"), std::string("a\0b", 3));
}

}  // namespace

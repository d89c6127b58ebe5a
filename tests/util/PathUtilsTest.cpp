#include "util/PathUtils.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(SongIdFromPath, LeavesOutExactlyTheRemovedCharacters) {
    const std::pair<const char*, const char*> rows[] = {
        {"/Users/me/Music/My Song (Live).mp3", "UsersmeMusicMySongLivemp3"},
        {"/Music/a-b_c.MP3", "Musica-b_cMP3"},
        {"\\ #;&,.+*~':\"!^$[]()=>|/", ""},
        {"<-_%", "<-_%"},
        // Bytes of 128 and above pass through, so UTF-8 names keep their characters.
        {"/M\xC3\xBCsik/\xE2\x99\xAB.flac",
         "M\xC3\xBCsik\xE2\x99\xAB"
         "flac"},
    };
    for (const auto& row : rows) {
        std::string id = "stale";
        Ostra::util::SongIdFromPath(row.first, id);
        EXPECT_EQ(id, row.second) << row.first;
    }
}

// An escape is "%" and the two bytes after it as sscanf's "%2x" reads them
// (a sign or a leading blank included); anything else stays as it is.
TEST(UriDecode, DecodesEscapesAsTwoDigitHexNumbers) {
    const std::pair<std::string, std::string> rows[] = {
        {"/Music/A%20B%2C%20C.mp3", "/Music/A B, C.mp3"},
        {"%C3%A9", "\xC3\xA9"},
        {"100%25", "100%"},
        {"a%00b", std::string("a\0b", 3)},
        {"/a%41%zz", "/aA%zz"},
        {"/a%4", "/a%4"},
        {"%4gx", std::string("\x04x", 2)},  // one digit is a number too
        {"x% fy", "x\x0Fy"},
        {"x%-1y", "x\xFFy"},
        {"x%1 y", "x\x01y"},
        {"x%- y", "x%- y"},
        {"x%g1y", "x%g1y"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(Ostra::util::UriDecode(row.first), row.second) << row.first;
}

}  // namespace

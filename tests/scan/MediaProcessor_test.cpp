#include "scan/MediaProcessor.h"

#include <gtest/gtest.h>

#include "LoopbackRequest.h"

namespace {

using scantest::allEntries;
using scantest::entriesOfType;
using scantest::LoopbackRequest;
using scantest::reportOf;
using testsupport::isDone;
using testsupport::items;
using testsupport::num;
using testsupport::prop;
using testsupport::str;
using testsupport::Value;

amf::amf_object song(const std::string& path) {
    amf::amf_object record;
    record.set_string_property("path", path);
    return record;
}

amf::amf_object taggedSong(const std::string& path, const std::string& artist,
                           const std::string& album, const std::string& title, double track) {
    amf::amf_object record = song(path);
    record.set_string_property("artist", artist);
    record.set_string_property("album", album);
    record.set_string_property("title", title);
    record.set_numeric_property("trackNumber", track);
    return record;
}

amf::amf_object playlist(const std::vector<std::string>& plistIds) {
    amf::amf_object record;
    record.set_string_property("name", "List");
    amf::amf_ecma_array songs = testsupport::stringArray(plistIds);
    record.set_property("songs", &songs);
    return record;
}

std::vector<std::string> playlistSongs(const amf::amf0_data_type* list) {
    std::vector<std::string> out;
    for (const auto* entry : items(prop(list, "songs"))) out.push_back(str(entry));
    return out;
}

// Runs the records through one processor and returns every response.
class ProcessorRun {
  public:
    explicit ProcessorRun(unsigned long batchSize) : processor_(loop_.request(), batchSize) {}
    void add(amf::amf_object record) { processor_.processSongObject(&record); }
    void addPlaylist(amf::amf_object record) { processor_.processPlaylistObject(&record); }
    Ostra::MediaProcessor& processor() { return processor_; }
    std::vector<Value> finish() {
        processor_.finish();
        return loop_.responsesUntilDone();
    }

  private:
    LoopbackRequest loop_;
    Ostra::MediaProcessor processor_;
};

void expectReport(const std::vector<Value>& responses, double duplicates, double unique,
                  double playlists) {
    const auto* report = reportOf(responses);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(num(prop(report, "duplicateCount")), duplicates);
    EXPECT_EQ(num(prop(report, "uniqueSongCount")), unique);
    EXPECT_EQ(num(prop(report, "playlistCount")), playlists);
}

TEST(MediaProcessor, EmptyScanSendsOnlyTheReport) {
    ProcessorRun run(5);
    auto responses = run.finish();
    ASSERT_EQ(responses.size(), 1u);
    EXPECT_TRUE(isDone(responses[0]));
    EXPECT_EQ(items(prop(responses[0], "data")).size(), 1u);
    expectReport(responses, 0, 0, 0);
}

TEST(MediaProcessor, BatchSizeOneSendsEveryRecordAloneAndTheReportLast) {
    ProcessorRun run(1);
    run.add(song("/m/a.mp3"));
    run.add(song("/m/a.mp3"));
    run.add(song("/m/b.mp3"));
    auto responses = run.finish();
    ASSERT_EQ(responses.size(), 4u);
    for (int i = 0; i < 3; ++i) {
        EXPECT_FALSE(isDone(responses[i]));
        EXPECT_EQ(items(prop(responses[i], "data")).size(), 1u);
    }
    EXPECT_TRUE(isDone(responses[3]));
    auto last = items(prop(responses[3], "data"));
    ASSERT_EQ(last.size(), 1u);
    EXPECT_EQ(str(prop(last[0], "objectType")), "report");
}

TEST(MediaProcessor, BatchSizeZeroSendsEveryAppendAtOnce) {
    ProcessorRun run(0);
    run.add(song("/m/a.mp3"));
    run.add(song("/m/b.mp3"));
    auto responses = run.finish();
    ASSERT_EQ(responses.size(), 3u);
    EXPECT_EQ(items(prop(responses[0], "data")).size(), 1u);
}

TEST(MediaProcessor, SevenSongsInBatchesOfThree) {
    ProcessorRun run(3);
    for (int i = 0; i < 7; ++i) run.add(song("/m/" + std::to_string(i) + ".mp3"));
    auto responses = run.finish();
    ASSERT_EQ(responses.size(), 3u);
    EXPECT_EQ(items(prop(responses[0], "data")).size(), 3u);
    EXPECT_EQ(items(prop(responses[1], "data")).size(), 3u);
    EXPECT_FALSE(isDone(responses[1]));
    auto last = items(prop(responses[2], "data"));
    ASSERT_EQ(last.size(), 2u);
    EXPECT_TRUE(isDone(responses[2]));
    EXPECT_EQ(str(prop(last[0], "path")), "/m/6.mp3");
    expectReport(responses, 0, 7, 0);
}

TEST(MediaProcessor, AcceptedSongGetsIdObjectTypeAndMetadataKeysAndKeepsOtherKeys) {
    ProcessorRun run(10);
    amf::amf_object record = song("/Users/me/Music/My Song (Live).mp3");
    record.set_string_property("genre", "Rock");
    record.set_numeric_property("size", 5e9);
    run.add(record);
    auto responses = run.finish();
    auto songs = entriesOfType(responses, "song");
    ASSERT_EQ(songs.size(), 1u);
    EXPECT_EQ(str(prop(songs[0], "id")), "UsersmeMusicMySongLivemp3");
    EXPECT_EQ(str(prop(songs[0], "genre")), "Rock");
    EXPECT_EQ(num(prop(songs[0], "size")), 5e9);
    // Without a title the metadata keys are empty.
    EXPECT_EQ(str(prop(songs[0], "artistMetadataKey")), "");
    EXPECT_EQ(str(prop(songs[0], "albumArtistMetadataKey")), "");
}

TEST(MediaProcessor, RecordsWithoutAStringPathAreDroppedSilently) {
    ProcessorRun run(10);
    amf::amf_object noPath;
    noPath.set_string_property("title", "x");
    run.add(noPath);
    amf::amf_object numericPath;
    numericPath.set_numeric_property("path", 1);
    run.add(numericPath);
    amf::amf_object longPath;
    amf::amf_long_string text("/m/a.mp3");
    longPath.set_property("path", &text);
    run.add(longPath);
    auto responses = run.finish();
    EXPECT_EQ(allEntries(responses).size(), 1u);
    expectReport(responses, 0, 0, 0);
}

TEST(MediaProcessor, SamePathTwiceIsAnIdDuplicate) {
    ProcessorRun run(10);
    run.add(song("/m/a b.mp3"));
    run.add(song("/m/a b.mp3"));
    run.add(song("/m/ab.mp3"));  // differs only in a removed character
    auto responses = run.finish();
    auto notices = entriesOfType(responses, "duplicate");
    ASSERT_EQ(notices.size(), 2u);
    for (const auto* notice : notices) {
        EXPECT_EQ(str(prop(notice, "type")), "id");
        EXPECT_EQ(str(prop(notice, "key")), "mabmp3");
        EXPECT_EQ(str(prop(notice, "duplicateOf")), "mabmp3");
        EXPECT_EQ(static_cast<const amf::amf_object*>(notice)->get_value().size(), 5u);
    }
    EXPECT_EQ(str(prop(notices[1], "path")), "/m/ab.mp3");
    expectReport(responses, 2, 1, 0);
}

TEST(MediaProcessor, RegisteredPathUnderAnotherIdIsAPathDuplicate) {
    ProcessorRun run(10);
    run.add(song("/m/a.mp3"));
    amf::amf_object second = song("/m/a.mp3");
    second.set_string_property("id", "other");
    run.add(second);
    auto responses = run.finish();
    auto notices = entriesOfType(responses, "duplicate");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(str(prop(notices[0], "type")), "path");
    EXPECT_EQ(str(prop(notices[0], "key")), "/m/a.mp3");
    EXPECT_EQ(str(prop(notices[0], "duplicateOf")), "mamp3");
}

TEST(MediaProcessor, Mp3ReplacesM4aAndLaterCopiesPointAtTheReplacement) {
    ProcessorRun run(10);
    run.add(taggedSong("/m/a.m4a", "Art", "Alb", "Tit", 1));
    run.add(taggedSong("/m/a.mp3", "Art", "Alb", "Tit", 1));
    run.add(taggedSong("/m/b.mp3", "Art", "Alb", "Tit", 1));
    auto responses = run.finish();
    auto replacements = entriesOfType(responses, "replacement");
    ASSERT_EQ(replacements.size(), 1u);
    EXPECT_EQ(str(prop(replacements[0], "type")), "artistMDK");
    EXPECT_EQ(str(prop(replacements[0], "key")), "Art-Alb-Tit-_-1");
    EXPECT_EQ(str(prop(replacements[0], "duplicateOf")), "mam4a");
    EXPECT_EQ(str(prop(replacements[0], "path")), "/m/a.mp3");
    EXPECT_EQ(str(prop(replacements[0], "id")), "mamp3");
    EXPECT_EQ(str(prop(replacements[0], "title")), "Tit");
    EXPECT_EQ(prop(replacements[0], "artistMetadataKey"), nullptr);
    auto notices = entriesOfType(responses, "duplicate");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(str(prop(notices[0], "duplicateOf")), "mamp3");
    EXPECT_EQ(str(prop(notices[0], "path")), "/m/b.mp3");
    expectReport(responses, 2, 1, 0);
}

TEST(MediaProcessor, FileTypePreference) {
    ProcessorRun run(20);
    // m4a over other types; the earlier song on a tie.
    run.add(taggedSong("/m/1.flac", "A", "B", "C", 1));
    run.add(taggedSong("/m/1.m4a", "A", "B", "C", 1));
    run.add(taggedSong("/m/2.ogg", "A", "B", "D", 1));
    run.add(taggedSong("/m/2.wav", "A", "B", "D", 1));
    run.add(taggedSong("/m/3.mp3", "A", "B", "E", 1));
    run.add(taggedSong("/m/3.m4a", "A", "B", "E", 1));
    run.add(taggedSong("/m/4.m4a", "A", "B", "F", 1));
    run.add(taggedSong("/m/5.m4a", "A", "B", "F", 1));
    // Ids shorter than three bytes are never preferred.
    amf::amf_object shortId = taggedSong("/m/5.mp3", "A", "B", "F", 1);
    shortId.set_string_property("id", "p3");
    run.add(shortId);
    auto responses = run.finish();
    auto replacements = entriesOfType(responses, "replacement");
    ASSERT_EQ(replacements.size(), 1u);
    EXPECT_EQ(str(prop(replacements[0], "path")), "/m/1.m4a");
    EXPECT_EQ(str(prop(replacements[0], "duplicateOf")), "m1flac");
    auto notices = entriesOfType(responses, "duplicate");
    ASSERT_EQ(notices.size(), 4u);
    EXPECT_EQ(str(prop(notices[0], "path")), "/m/2.wav");
    EXPECT_EQ(str(prop(notices[1], "path")), "/m/3.m4a");
    EXPECT_EQ(str(prop(notices[2], "path")), "/m/5.m4a");
    EXPECT_EQ(str(prop(notices[3], "path")), "/m/5.mp3");
    expectReport(responses, 5, 4, 0);
}

// Different artists without an album artist share the album-artist key. A
// song found to be a duplicate by that last key registers none of the keys
// checked before it: later songs sharing its id, path or artist key are new.
TEST(MediaProcessor, AlbumArtistDuplicateOfAnotherArtistLeavesNoneOfItsKeysBehind) {
    ProcessorRun run(10);
    run.add(taggedSong("/m/a.mp3", "One", "Alb", "Tit", 2));
    run.add(taggedSong("/m/b.m4a", "Two", "Alb", "Tit", 2));
    run.add(song("/m/b.m4a"));
    amf::amf_object sameArtistKey = taggedSong("/m/c.mp3", "Two", "Alb", "Tit", 2);
    sameArtistKey.set_string_property("albumArtist", "Other");
    run.add(sameArtistKey);
    auto responses = run.finish();
    auto notices = entriesOfType(responses, "duplicate");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(str(prop(notices[0], "path")), "/m/b.m4a");
    EXPECT_EQ(str(prop(notices[0], "type")), "albumArtistMDK");
    EXPECT_EQ(str(prop(notices[0], "key")), "-Alb-Tit-_-2");
    auto songs = entriesOfType(responses, "song");
    ASSERT_EQ(songs.size(), 3u);
    EXPECT_EQ(str(prop(songs[1], "path")), "/m/b.m4a");
    EXPECT_EQ(str(prop(songs[2], "path")), "/m/c.mp3");
    expectReport(responses, 1, 3, 0);
}

// A metadata key takes part in the duplicate check only when its artist (or
// album artist) or its album is there: a title and numbers alone would make
// every same-titled single of two artists one song. The keys are written
// into the record all the same.
TEST(MediaProcessor, MetadataKeysTakePartOnlyWithAnArtistOrAnAlbum) {
    struct Tags {
        const char* artist;
        const char* albumArtist;
        const char* album;
    };
    struct Row {
        const char* name;
        Tags first, second;
        const char* type;  // of the second song's duplicate notice; null when it is new
        const char* key;
    };
    const Row rows[] = {
        {"artists only", {"One", nullptr, nullptr}, {"Two", nullptr, nullptr}, nullptr, nullptr},
        {"nothing but the title",
         {nullptr, nullptr, nullptr},
         {nullptr, nullptr, nullptr},
         nullptr,
         nullptr},
        {"white space is nothing", {" ", nullptr, "  "}, {"\t", " ", nullptr}, nullptr, nullptr},
        {"same artist",
         {"One", nullptr, nullptr},
         {"One", nullptr, nullptr},
         "artistMDK",
         "One--Tit-_-1"},
        {"album without album artist",
         {"One", nullptr, "Alb"},
         {"Two", nullptr, "Alb"},
         "albumArtistMDK",
         "-Alb-Tit-_-1"},
        {"album artist without album",
         {"One", "Both", nullptr},
         {"Two", "Both", nullptr},
         "albumArtistMDK",
         "Both--Tit-_-1"},
        {"album only",
         {nullptr, nullptr, "Alb"},
         {nullptr, nullptr, "Alb"},
         "artistMDK",
         "-Alb-Tit-_-1"},
    };
    auto make = [](const std::string& path, const Tags& tags) {
        amf::amf_object record = song(path);
        record.set_string_property("title", "Tit");
        record.set_numeric_property("trackNumber", 1);
        if (tags.artist) record.set_string_property("artist", tags.artist);
        if (tags.albumArtist) record.set_string_property("albumArtist", tags.albumArtist);
        if (tags.album) record.set_string_property("album", tags.album);
        return record;
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ProcessorRun run(10);
        run.add(make("/m/a.mp3", row.first));
        run.add(make("/m/b.mp3", row.second));
        auto responses = run.finish();
        auto notices = entriesOfType(responses, "duplicate");
        if (row.type == nullptr) {
            EXPECT_TRUE(notices.empty());
            expectReport(responses, 0, 2, 0);
            continue;
        }
        ASSERT_EQ(notices.size(), 1u);
        EXPECT_EQ(str(prop(notices[0], "type")), row.type);
        EXPECT_EQ(str(prop(notices[0], "key")), row.key);
    }
    // Keys that do not take part are still written.
    ProcessorRun run(10);
    run.add(make("/m/a.mp3", {nullptr, nullptr, nullptr}));
    auto responses = run.finish();
    auto songs = entriesOfType(responses, "song");
    ASSERT_EQ(songs.size(), 1u);
    EXPECT_EQ(str(prop(songs[0], "artistMetadataKey")), "--Tit-_-1");
    EXPECT_EQ(str(prop(songs[0], "albumArtistMetadataKey")), "--Tit-_-1");
}

// Replacements chain: an ogg replaced by an m4a, that m4a (taken in again
// under another path) replaced by an mp3. A later copy of the ogg names the
// end of the chain, two steps on.
TEST(MediaProcessor, ReplacementChainsAreFollowedTwoSteps) {
    ProcessorRun run(10);
    run.add(taggedSong("/m/1.ogg", "A", "B", "C", 1));
    run.add(taggedSong("/m/1.m4a", "A", "B", "C", 1));  // replaces 1.ogg
    amf::amf_object again = song("/m/other");
    again.set_string_property("id", "m1m4a");  // 1.m4a, now registered as a song
    run.add(again);
    amf::amf_object better = song("/m/other");
    better.set_string_property("id", "m1mp3");
    run.add(better);                                    // replaces m1m4a by path
    run.add(taggedSong("/m/2.ogg", "A", "B", "C", 1));  // matches 1.ogg's keys
    auto responses = run.finish();
    auto replacements = entriesOfType(responses, "replacement");
    ASSERT_EQ(replacements.size(), 2u);
    EXPECT_EQ(str(prop(replacements[1], "type")), "path");
    EXPECT_EQ(str(prop(replacements[1], "duplicateOf")), "m1m4a");
    auto notices = entriesOfType(responses, "duplicate");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(str(prop(notices[0], "path")), "/m/2.ogg");
    EXPECT_EQ(str(prop(notices[0], "duplicateOf")), "m1mp3");
}

TEST(MediaProcessor, MetadataKeysCompressWhiteSpaceAndRenderNumbers) {
    ProcessorRun run(10);
    amf::amf_object record = taggedSong("/m/a.mp3", "The  Band", "Live", "Intro", 1);
    run.add(record);
    amf::amf_object other = taggedSong("/m/b.mp3", " X \t Y ", "Al", "T", 3);
    other.set_numeric_property("diskNumber", 2.5);
    other.set_string_property("albumArtist", "AA");
    run.add(other);
    amf::amf_object wrongTypes = song("/m/c.mp3");
    wrongTypes.set_string_property("title", "T");
    wrongTypes.set_string_property("trackNumber", "3");
    amf::amf_long_string longArtist("L");
    wrongTypes.set_property("artist", &longArtist);
    run.add(wrongTypes);
    auto responses = run.finish();
    auto songs = entriesOfType(responses, "song");
    ASSERT_EQ(songs.size(), 3u);
    EXPECT_EQ(str(prop(songs[0], "artistMetadataKey")), "The Band-Live-Intro-_-1");
    EXPECT_EQ(str(prop(songs[0], "albumArtistMetadataKey")), "-Live-Intro-_-1");
    EXPECT_EQ(str(prop(songs[1], "artistMetadataKey")), "X Y-Al-T-2.5-3");
    EXPECT_EQ(str(prop(songs[1], "albumArtistMetadataKey")), "AA-Al-T-2.5-3");
    EXPECT_EQ(str(prop(songs[2], "artistMetadataKey")), "--T-_-_");
}

TEST(MediaProcessor, TitlesCompareOnTheirFirstThirtyBytesCaseSensitively) {
    ProcessorRun run(10);
    const std::string base(30, 't');
    run.add(taggedSong("/m/a.mp3", "A", "B", base + "one", 1));
    run.add(taggedSong("/m/b.mp3", "A", "B", base + "two", 1));
    run.add(taggedSong("/m/c.mp3", "A", "B", "Title", 1));
    run.add(taggedSong("/m/d.mp3", "A", "B", "TITLE", 1));
    auto responses = run.finish();
    auto notices = entriesOfType(responses, "duplicate");
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(str(prop(notices[0], "path")), "/m/b.mp3");
    expectReport(responses, 1, 3, 0);
}

TEST(MediaProcessor, SongsWithoutTitleAreNeverComparedByMetadata) {
    ProcessorRun run(10);
    amf::amf_object a = song("/m/a.mp3");
    a.set_string_property("artist", "Same");
    amf::amf_object b = song("/m/b.mp3");
    b.set_string_property("artist", "Same");
    run.add(a);
    run.add(b);
    expectReport(run.finish(), 0, 2, 0);
}

TEST(MediaProcessor, PlaylistsAreRewrittenToSurvivingSongIds) {
    ProcessorRun run(50);
    amf::amf_object first = taggedSong("/m/a.m4a", "A", "B", "C", 1);
    first.set_string_property("songPlistId", "100");
    amf::amf_object better = taggedSong("/m/a.mp3", "A", "B", "C", 1);
    better.set_string_property("songPlistId", "101");
    amf::amf_object worse = taggedSong("/m/a.wav", "A", "B", "C", 1);
    worse.set_string_property("songPlistId", "102");
    amf::amf_object dropped;
    dropped.set_string_property("songPlistId", "103");
    amf::amf_object plain = song("/m/z.ogg");
    plain.set_string_property("songPlistId", "104");
    run.add(first);
    run.add(better);
    run.add(worse);
    run.add(dropped);
    run.add(plain);

    amf::amf_object list = playlist({"104", "101", "103", "999", "100", "102"});
    amf::amf_numeric notAString(101);
    amf::amf_ecma_array songs =
        testsupport::stringArray({"104", "101", "103", "999", "100", "102"});
    songs.set_property("6", &notAString);
    list.set_property("songs", &songs);
    list.set_string_property("id", "PL1");
    run.addPlaylist(list);
    amf::amf_object empty;
    empty.set_string_property("name", "No songs");
    run.addPlaylist(empty);
    amf::amf_object wrongType;
    wrongType.set_string_property("songs", "100");
    run.addPlaylist(wrongType);

    auto responses = run.finish();
    auto lists = entriesOfType(responses, "playlist");
    ASSERT_EQ(lists.size(), 3u);
    // The replaced and the rejected copy both name the earlier song's id.
    EXPECT_EQ(playlistSongs(lists[0]),
              (std::vector<std::string>{"mzogg", "mam4a", "mam4a", "mam4a"}));
    EXPECT_EQ(str(prop(lists[0], "id")), "PL1");
    EXPECT_EQ(str(prop(lists[0], "name")), "List");
    ASSERT_NE(prop(lists[1], "songs"), nullptr);
    EXPECT_EQ(prop(lists[1], "songs")->get_type(), amf::AMF_ECMA_ARRAY);
    EXPECT_TRUE(playlistSongs(lists[1]).empty());
    EXPECT_TRUE(playlistSongs(lists[2]).empty());
    expectReport(responses, 2, 2, 3);
}

TEST(MediaProcessor, TwelveItemPlaylistFollowsIndexKeyOrder) {
    ProcessorRun run(50);
    std::vector<std::string> ids;
    for (int i = 0; i < 12; ++i) {
        amf::amf_object record = song("/m/s" + std::to_string(i) + ".mp3");
        record.set_string_property("songPlistId", std::to_string(i));
        run.add(record);
        ids.push_back(std::to_string(i));
    }
    run.addPlaylist(playlist(ids));
    auto responses = run.finish();
    auto lists = entriesOfType(responses, "playlist");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(
        playlistSongs(lists[0]),
        (std::vector<std::string>{"ms0mp3", "ms1mp3", "ms10mp3", "ms11mp3", "ms2mp3", "ms3mp3",
                                  "ms4mp3", "ms5mp3", "ms6mp3", "ms7mp3", "ms8mp3", "ms9mp3"}));
}

TEST(MediaProcessor, ErrorIsSentAndTheReportStillFollows) {
    LoopbackRequest loop;
    Ostra::MediaProcessor processor(loop.request(), 10);
    amf::amf_object record = song("/m/a.mp3");
    processor.processSongObject(&record);
    processor.error("Something failed.");
    processor.finish();
    auto first = loop.responsesUntilDone();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(str(prop(prop(first[0], "data"), "error")), "Something failed.");
    auto second = loop.responsesUntilDone();
    ASSERT_EQ(second.size(), 1u);
    EXPECT_TRUE(isDone(second[0]));
    expectReport(second, 0, 1, 0);
}

}  // namespace

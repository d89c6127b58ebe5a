#include "scan/MediaProcessor.h"

#include <gtest/gtest.h>

#include "LoopbackRequest.h"

namespace {

using namespace scantest;
using namespace testsupport;

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

typedef std::vector<std::string> Texts;

amf::amf_object withKey(amf::amf_object record, const char* key, const std::string& value) {
    record.set_string_property(key, value);
    return record;
}

// An entry as one line: its type and path, and for a notice the key that
// matched and the id it names.
std::string shown(const amf::amf0_data_type* entry) {
    const std::string type = str(prop(entry, "objectType"));
    std::string line = type + " " + str(prop(entry, "path"));
    if (type == "song") return line;
    line += " " + str(prop(entry, "type")) + " '" + str(prop(entry, "key")) + "' of " +
            str(prop(entry, "duplicateOf"));
    return type == "replacement" ? line + " as " + str(prop(entry, "id")) : line;
}

// Songs in, in order: what the host is told about each, and the report's
// duplicate and unique counts.
TEST(MediaProcessor, DuplicatesAndReplacements) {
    amf::amf_long_string longText("/m/a.mp3");
    amf::amf_object numericPath, longPath;
    numericPath.set_numeric_property("path", 1);
    longPath.set_property("path", &longText);
    // Neither with nor without an album (artist) do two artists' singles
    // match; same-titled songs need an artist, album artist or album.
    auto tags = [](const char* path, const char* artist, const char* albumArtist,
                   const char* album) {
        amf::amf_object record = taggedSong(path, "", "", "Tit", 1);
        record.remove_property("artist");
        record.remove_property("album");
        if (artist) record.set_string_property("artist", artist);
        if (albumArtist) record.set_string_property("albumArtist", albumArtist);
        if (album) record.set_string_property("album", album);
        return record;
    };
    const std::string t30(30, 't');
    const struct {
        const char* name;
        std::vector<amf::amf_object> songs;
        Texts entries;
        double duplicates, unique;
    } rows[] = {
        {"no string path",
         {withKey(amf::amf_object(), "title", "x"), numericPath, longPath},
         {},
         0,
         0},
        {"same id",
         {song("/m/a b.mp3"), song("/m/a b.mp3"), song("/m/ab.mp3")},
         {"song /m/a b.mp3", "duplicate /m/a b.mp3 id 'mabmp3' of mabmp3",
          "duplicate /m/ab.mp3 id 'mabmp3' of mabmp3"},
         2,
         1},
        {"same path, another id",
         {song("/m/a.mp3"), withKey(song("/m/a.mp3"), "id", "other")},
         {"song /m/a.mp3", "duplicate /m/a.mp3 path '/m/a.mp3' of mamp3"},
         1,
         1},
        {"an mp3 replaces an m4a, later copies name the mp3",
         {taggedSong("/m/a.m4a", "Art", "Alb", "Tit", 1),
          taggedSong("/m/a.mp3", "Art", "Alb", "Tit", 1),
          taggedSong("/m/b.mp3", "Art", "Alb", "Tit", 1)},
         {"song /m/a.m4a", "replacement /m/a.mp3 artistMDK 'Art-Alb-Tit-_-1' of mam4a as mamp3",
          "duplicate /m/b.mp3 artistMDK 'Art-Alb-Tit-_-1' of mamp3"},
         2,
         1},
        {"m4a over other types, the earlier on a tie, never a short id",
         {taggedSong("/m/1.flac", "A", "B", "C", 1), taggedSong("/m/1.m4a", "A", "B", "C", 1),
          taggedSong("/m/2.ogg", "A", "B", "D", 1), taggedSong("/m/2.wav", "A", "B", "D", 1),
          taggedSong("/m/3.mp3", "A", "B", "E", 1), taggedSong("/m/3.m4a", "A", "B", "E", 1),
          taggedSong("/m/4.m4a", "A", "B", "F", 1), taggedSong("/m/5.m4a", "A", "B", "F", 1),
          withKey(taggedSong("/m/5.mp3", "A", "B", "F", 1), "id", "p3")},
         {"song /m/1.flac", "replacement /m/1.m4a artistMDK 'A-B-C-_-1' of m1flac as m1m4a",
          "song /m/2.ogg", "duplicate /m/2.wav artistMDK 'A-B-D-_-1' of m2ogg", "song /m/3.mp3",
          "duplicate /m/3.m4a artistMDK 'A-B-E-_-1' of m3mp3", "song /m/4.m4a",
          "duplicate /m/5.m4a artistMDK 'A-B-F-_-1' of m4m4a",
          "duplicate /m/5.mp3 artistMDK 'A-B-F-_-1' of m4m4a"},
         5,
         4},
        // A song found to be a duplicate by the album-artist key registers
        // none of the keys checked before it.
        {"an album-artist duplicate leaves no keys behind",
         {taggedSong("/m/a.mp3", "One", "Alb", "Tit", 2),
          taggedSong("/m/b.m4a", "Two", "Alb", "Tit", 2), song("/m/b.m4a"),
          withKey(taggedSong("/m/c.mp3", "Two", "Alb", "Tit", 2), "albumArtist", "Other")},
         {"song /m/a.mp3", "duplicate /m/b.m4a albumArtistMDK '-Alb-Tit-_-2' of mamp3",
          "song /m/b.m4a", "song /m/c.mp3"},
         1,
         3},
        {"artists only",
         {tags("/m/a.mp3", "One", nullptr, nullptr), tags("/m/b.mp3", "Two", nullptr, nullptr)},
         {"song /m/a.mp3", "song /m/b.mp3"},
         0,
         2},
        {"nothing but the title",
         {tags("/m/a.mp3", nullptr, nullptr, nullptr), tags("/m/b.mp3", nullptr, nullptr, nullptr)},
         {"song /m/a.mp3", "song /m/b.mp3"},
         0,
         2},
        {"white space is nothing",
         {tags("/m/a.mp3", " ", nullptr, "  "), tags("/m/b.mp3", "\t", " ", nullptr)},
         {"song /m/a.mp3", "song /m/b.mp3"},
         0,
         2},
        {"same artist",
         {tags("/m/a.mp3", "One", nullptr, nullptr), tags("/m/b.mp3", "One", nullptr, nullptr)},
         {"song /m/a.mp3", "duplicate /m/b.mp3 artistMDK 'One--Tit-_-1' of mamp3"},
         1,
         1},
        {"album without album artist",
         {tags("/m/a.mp3", "One", nullptr, "Alb"), tags("/m/b.mp3", "Two", nullptr, "Alb")},
         {"song /m/a.mp3", "duplicate /m/b.mp3 albumArtistMDK '-Alb-Tit-_-1' of mamp3"},
         1,
         1},
        {"album artist without album",
         {tags("/m/a.mp3", "One", "Both", nullptr), tags("/m/b.mp3", "Two", "Both", nullptr)},
         {"song /m/a.mp3", "duplicate /m/b.mp3 albumArtistMDK 'Both--Tit-_-1' of mamp3"},
         1,
         1},
        {"album only",
         {tags("/m/a.mp3", nullptr, nullptr, "Alb"), tags("/m/b.mp3", nullptr, nullptr, "Alb")},
         {"song /m/a.mp3", "duplicate /m/b.mp3 artistMDK '-Alb-Tit-_-1' of mamp3"},
         1,
         1},
        {"titles compare on 30 bytes, case-sensitively",
         {taggedSong("/m/a.mp3", "A", "B", t30 + "one", 1),
          taggedSong("/m/b.mp3", "A", "B", t30 + "two", 1),
          taggedSong("/m/c.mp3", "A", "B", "Title", 1),
          taggedSong("/m/d.mp3", "A", "B", "TITLE", 1)},
         {"song /m/a.mp3", "duplicate /m/b.mp3 artistMDK 'A-B-" + t30 + "-_-1' of mamp3",
          "song /m/c.mp3", "song /m/d.mp3"},
         1,
         3},
        {"no title, no metadata match",
         {withKey(song("/m/a.mp3"), "artist", "Same"), withKey(song("/m/b.mp3"), "artist", "Same")},
         {"song /m/a.mp3", "song /m/b.mp3"},
         0,
         2},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ProcessorRun run(100);
        for (const auto& record : row.songs) run.add(record);
        auto responses = run.finish();
        Texts entries;
        for (const auto* entry : allEntries(responses))
            if (str(prop(entry, "objectType")) != "report") entries.push_back(shown(entry));
        EXPECT_EQ(entries, row.entries);
        expectReport(responses, row.duplicates, row.unique, 0);
    }
}

// Records are sent in batches of the given size (0: each as it comes), the
// report last and alone unless it fits the last batch.
TEST(MediaProcessor, Batches) {
    const struct {
        unsigned long batchSize;
        int songs;
        std::vector<std::size_t> sizes;
    } rows[] = {
        {5, 0, {1}},
        {1, 3, {1, 1, 1, 1}},
        {0, 2, {1, 1, 1}},
        {3, 7, {3, 3, 2}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.batchSize);
        ProcessorRun run(row.batchSize);
        for (int i = 0; i < row.songs; ++i) run.add(song("/m/" + std::to_string(i) + ".mp3"));
        auto responses = run.finish();
        std::vector<std::size_t> sizes;
        for (const auto& r : responses) sizes.push_back(items(prop(r, "data")).size());
        EXPECT_EQ(sizes, row.sizes);
        for (std::size_t i = 0; i < responses.size(); ++i)
            EXPECT_EQ(isDone(responses[i]), i + 1 == responses.size());
        expectReport(responses, 0, row.songs, 0);
    }
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

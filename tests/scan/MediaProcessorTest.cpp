#include "scan/MediaProcessor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <list>
#include <optional>
#include <sstream>

#include "LoopbackRequest.h"
#include "amf/access.h"
#include "scan/SongRecord.h"

namespace {

using namespace scantest;
using namespace testsupport;

// A song record from "PATH|ARTIST|ALBUM ARTIST|ALBUM|TITLE|TRACK|DISK"; parts
// left empty or out are absent.
amf::amf_object song(const std::string& line) {
    const char* keys[] = {"path", "artist", "albumArtist", "album", "title"};
    amf::amf_object record;
    std::istringstream parts(line);
    std::string part;
    for (int i = 0; std::getline(parts, part, '|'); ++i) {
        if (part.empty()) continue;
        if (i < 5) record.set_string_property(keys[i], part);
        if (i >= 5)
            record.set_numeric_property(i == 5 ? "trackNumber" : "diskNumber", std::stod(part));
    }
    return record;
}

// The record as the file cache would hold it: its fields but "path", texts
// and whole numbers; false for one that holds anything else. The keys are
// kept in keys.
bool asKnownTags(const amf::amf_object& record, Ostra::KnownTags& tags,
                 std::list<std::string>& keys) {
    for (const auto& entry : record.get_value()) {
        keys.push_back(entry.first.get_value());
        const std::string* text = amf::getString(entry.second);
        const double number = amf::getNumber(entry.second).value_or(0.5);
        if (text == nullptr && number != std::trunc(number)) return false;
        if (keys.back() == "path") continue;
        tags.fields.push_back({keys.back(), text != nullptr ? std::string_view(*text) : "",
                               static_cast<long long>(number), text != nullptr});
    }
    return true;
}

// Runs the records through one processor and returns every response. With
// `encoded`, each record that can be goes in as a file worker encodes a
// remembered file's record.
class ProcessorRun {
  public:
    explicit ProcessorRun(unsigned long batchSize, bool encoded = false)
        : processor_(loop_.request(), batchSize), encoded_(encoded) {}
    void add(amf::amf_object record) {
        Ostra::KnownTags tags;
        std::list<std::string> keys;
        Ostra::EncodedSong song;
        const std::string* path = amf::getString(record.get_property("path"));
        if (encoded_ && path != nullptr && asKnownTags(record, tags, keys) &&
            song.encode(tags, *path)) {
            ++encodedCount;
            processor_.processEncodedSong(song, *path);
            return;
        }
        processor_.processSongObject(&record);
    }
    void addPlaylist(amf::amf_object record) { processor_.processPlaylistObject(&record); }
    std::vector<Value> finish() {
        processor_.finish();
        return loop_.responsesUntilDone();
    }

    int encodedCount = 0;

  private:
    LoopbackRequest loop_;
    Ostra::MediaProcessor processor_;
    const bool encoded_;
};

// Every response's data, byte for byte.
std::string dataOf(const std::vector<Value>& responses) {
    std::string bytes;
    for (const Value& response : responses) bytes += encodeValue(*prop(response, "data")) + "|";
    return bytes;
}

amf::amf_object withKey(amf::amf_object record, const char* key, const std::string& value) {
    record.set_string_property(key, value);
    return record;
}

// An entry as one line: its type and path, for a notice the key that matched
// and the id it names, for the report its duplicate and unique counts.
std::string shown(const amf::amf0_data_type* entry) {
    const std::string type = str(prop(entry, "objectType"));
    if (type == "report")
        return "report " + std::to_string(static_cast<int>(num(prop(entry, "duplicateCount")))) +
               " " + std::to_string(static_cast<int>(num(prop(entry, "uniqueSongCount"))));
    std::string line = type + " " + str(prop(entry, "path"));
    if (type == "song") return line;
    line += " " + str(prop(entry, "type")) + " '" + str(prop(entry, "key")) + "' of " +
            str(prop(entry, "duplicateOf"));
    return type == "replacement" ? line + " as " + str(prop(entry, "id")) : line;
}

// Songs in, in order: what the host is told about each, then the report;
// the same bytes when the records come encoded (a rescan's remembered files).
TEST(MediaProcessor, DuplicatesAndReplacements) {
    amf::amf_long_string longText("/m/a.mp3");
    amf::amf_object numericPath, longPath;
    numericPath.set_numeric_property("path", 1);
    longPath.set_property("path", &longText);
    const std::string t30(30, 't');
    const struct {
        const char* name;
        std::vector<amf::amf_object> songs;
        Texts entries;
    } rows[] = {
        {"no string path", {song("||||x"), numericPath, longPath}, {"report 0 0"}},
        {"same id",
         {song("/m/a b.mp3"), song("/m/a b.mp3"), song("/m/ab.mp3")},
         {"song /m/a b.mp3", "duplicate /m/a b.mp3 id 'mabmp3' of mabmp3",
          "duplicate /m/ab.mp3 id 'mabmp3' of mabmp3", "report 2 1"}},
        {"same path, another id",
         {song("/m/a.mp3"), withKey(song("/m/a.mp3"), "id", "other")},
         {"song /m/a.mp3", "duplicate /m/a.mp3 path '/m/a.mp3' of mamp3", "report 1 1"}},
        {"an mp3 replaces an m4a, later copies name the mp3",
         {song("/m/a.m4a|Art||Alb|Tit|1"), song("/m/a.mp3|Art||Alb|Tit|1"),
          song("/m/b.mp3|Art||Alb|Tit|1")},
         {"song /m/a.m4a", "replacement /m/a.mp3 artistMDK 'Art-Alb-Tit-_-1' of mam4a as mamp3",
          "duplicate /m/b.mp3 artistMDK 'Art-Alb-Tit-_-1' of mamp3", "report 2 1"}},
        {"m4a over other types, the earlier on a tie, never a short id",
         {song("/m/1.flac|A||B|C|1"), song("/m/1.m4a|A||B|C|1"), song("/m/2.ogg|A||B|D|1"),
          song("/m/2.wav|A||B|D|1"), song("/m/3.mp3|A||B|E|1"), song("/m/3.m4a|A||B|E|1"),
          song("/m/4.m4a|A||B|F|1"), song("/m/5.m4a|A||B|F|1"),
          withKey(song("/m/5.mp3|A||B|F|1"), "id", "p3")},
         {"song /m/1.flac", "replacement /m/1.m4a artistMDK 'A-B-C-_-1' of m1flac as m1m4a",
          "song /m/2.ogg", "duplicate /m/2.wav artistMDK 'A-B-D-_-1' of m2ogg", "song /m/3.mp3",
          "duplicate /m/3.m4a artistMDK 'A-B-E-_-1' of m3mp3", "song /m/4.m4a",
          "duplicate /m/5.m4a artistMDK 'A-B-F-_-1' of m4m4a",
          "duplicate /m/5.mp3 artistMDK 'A-B-F-_-1' of m4m4a", "report 5 4"}},
        // A song found to be a duplicate by the album-artist key registers
        // none of the keys checked before it.
        {"an album-artist duplicate leaves no keys behind",
         {song("/m/a.mp3|One||Alb|Tit|2"), song("/m/b.m4a|Two||Alb|Tit|2"), song("/m/b.m4a"),
          song("/m/c.mp3|Two|Other|Alb|Tit|2")},
         {"song /m/a.mp3", "duplicate /m/b.m4a albumArtistMDK '-Alb-Tit-_-2' of mamp3",
          "song /m/b.m4a", "song /m/c.mp3", "report 1 3"}},
        // Same-titled songs need an artist, album artist or album, and two
        // artists' singles never match.
        {"artists only",
         {song("/m/a.mp3|One|||Tit|1"), song("/m/b.mp3|Two|||Tit|1")},
         {"song /m/a.mp3", "song /m/b.mp3", "report 0 2"}},
        {"nothing but the title",
         {song("/m/a.mp3||||Tit|1"), song("/m/b.mp3||||Tit|1")},
         {"song /m/a.mp3", "song /m/b.mp3", "report 0 2"}},
        {"white space is nothing",
         {song("/m/a.mp3| ||  |Tit|1"), song("/m/b.mp3|\t| ||Tit|1")},
         {"song /m/a.mp3", "song /m/b.mp3", "report 0 2"}},
        {"same artist",
         {song("/m/a.mp3|One|||Tit|1"), song("/m/b.mp3|One|||Tit|1")},
         {"song /m/a.mp3", "duplicate /m/b.mp3 artistMDK 'One--Tit-_-1' of mamp3", "report 1 1"}},
        {"album without album artist",
         {song("/m/a.mp3|One||Alb|Tit|1"), song("/m/b.mp3|Two||Alb|Tit|1")},
         {"song /m/a.mp3", "duplicate /m/b.mp3 albumArtistMDK '-Alb-Tit-_-1' of mamp3",
          "report 1 1"}},
        {"album artist without album",
         {song("/m/a.mp3|One|Both||Tit|1"), song("/m/b.mp3|Two|Both||Tit|1")},
         {"song /m/a.mp3", "duplicate /m/b.mp3 albumArtistMDK 'Both--Tit-_-1' of mamp3",
          "report 1 1"}},
        {"album only",
         {song("/m/a.mp3|||Alb|Tit|1"), song("/m/b.mp3|||Alb|Tit|1")},
         {"song /m/a.mp3", "duplicate /m/b.mp3 artistMDK '-Alb-Tit-_-1' of mamp3", "report 1 1"}},
        {"titles compare on 30 bytes, case-sensitively",
         {song("/m/a.mp3|A||B|" + t30 + "one|1"), song("/m/b.mp3|A||B|" + t30 + "two|1"),
          song("/m/c.mp3|A||B|Title|1"), song("/m/d.mp3|A||B|TITLE|1")},
         {"song /m/a.mp3", "duplicate /m/b.mp3 artistMDK 'A-B-" + t30 + "-_-1' of mamp3",
          "song /m/c.mp3", "song /m/d.mp3", "report 1 3"}},
        {"keys compress white space and render numbers",
         {song("/m/a.mp3|The \t\tBand||Live|Intro|1|2.5"),
          song("/m/b.mp3| The Band\t||Live|Intro|1|2.5")},
         {"song /m/a.mp3", "duplicate /m/b.mp3 artistMDK 'The Band-Live-Intro-2.5-1' of mamp3",
          "report 1 1"}},
        // A later copy of the ogg names the end of the chain, two steps on: the
        // ogg replaced by an m4a, that m4a (taken in again under another path,
        // now as a song) replaced by an mp3.
        {"replacement chains are followed two steps",
         {song("/m/1.ogg|A||B|C|1"), song("/m/1.m4a|A||B|C|1"),
          withKey(song("/m/other"), "id", "m1m4a"), withKey(song("/m/other"), "id", "m1mp3"),
          song("/m/2.ogg|A||B|C|1")},
         {"song /m/1.ogg", "replacement /m/1.m4a artistMDK 'A-B-C-_-1' of m1ogg as m1m4a",
          "song /m/other", "replacement /m/other path '/m/other' of m1m4a as m1mp3",
          "duplicate /m/2.ogg artistMDK 'A-B-C-_-1' of m1mp3", "report 3 2"}},
        {"no title, no metadata match",
         {song("/m/a.mp3|Same"), song("/m/b.mp3|Same")},
         {"song /m/a.mp3", "song /m/b.mp3", "report 0 2"}},
    };
    int encoded = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        ProcessorRun run(100), encodedRun(2, true);
        for (const auto& record : row.songs) {
            run.add(record);
            encodedRun.add(record);
        }
        Texts entries;
        const auto responses = run.finish();
        for (const auto* entry : allEntries(responses)) entries.push_back(shown(entry));
        EXPECT_EQ(entries, row.entries);
        ProcessorRun batched(2);
        for (const auto& record : row.songs) batched.add(record);
        EXPECT_EQ(dataOf(encodedRun.finish()), dataOf(batched.finish()));
        encoded += encodedRun.encodedCount;
    }
    EXPECT_GT(encoded, 30);
}

// Playlists name the kept song's id for a replaced or rejected copy; items
// naming no song or not a string are dropped.
TEST(MediaProcessor, PlaylistsAreRewrittenToSurvivingSongIds) {
    ProcessorRun run(50);
    const char* paths[] = {"/m/a.m4a", "/m/a.mp3", "/m/a.wav"};
    for (int i = 0; i < 3; ++i)
        run.add(withKey(song(paths[i] + std::string("|A||B|C|1")), "songPlistId",
                        "10" + std::to_string(i)));
    run.add(withKey(amf::amf_object(), "songPlistId", "103"));
    run.add(withKey(song("/m/z.ogg"), "songPlistId", "104"));
    amf::amf_object list = withKey(amf::amf_object(), "id", "PL1");
    amf::amf_numeric notAString(101);
    amf::amf_ecma_array songs =
        testsupport::stringArray({"104", "101", "103", "999", "100", "102"});
    songs.set_property("6", &notAString);
    list.set_property("songs", &songs);
    run.addPlaylist(list);
    run.addPlaylist(withKey(amf::amf_object(), "name", "No songs"));
    run.addPlaylist(withKey(amf::amf_object(), "songs", "100"));
    auto responses = run.finish();
    auto lists = entriesOfType(responses, "playlist");
    ASSERT_EQ(lists.size(), 3u);
    EXPECT_EQ(songsOf(lists[0]), (Texts{"mzogg", "mam4a", "mam4a", "mam4a"}));
    EXPECT_EQ(str(prop(lists[0], "id")), "PL1");
    ASSERT_NE(prop(lists[1], "songs"), nullptr);
    EXPECT_EQ(prop(lists[1], "songs")->get_type(), amf::AMF_ECMA_ARRAY);
    EXPECT_TRUE(songsOf(lists[2]).empty());
    const auto* report = reportOf(responses);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(num(prop(report, "playlistCount")), 3);
}

}  // namespace

#include "scan/ITunesMediaScanner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <boost/lexical_cast/try_lexical_convert.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "LoopbackRequest.h"
#include "PlistWriter.h"
#include "scan/MediaProcessor.h"

namespace {

namespace fs = boost::filesystem;
using scantest::entriesOfType;
using scantest::LoopbackRequest;
using scantest::PlistWriter;
using scantest::reportOf;
using scantest::xmlBool;
using scantest::xmlDate;
using scantest::xmlInteger;
using scantest::xmlString;
using testsupport::isDone;
using testsupport::items;
using testsupport::num;
using testsupport::prop;
using testsupport::str;
using testsupport::TempDir;
using testsupport::TestHost;
using testsupport::Value;

struct LibraryScan {
    std::vector<Value> responses;
    std::string out;  // what the scanner printed on standard output
    std::vector<const amf::amf0_data_type*> songs() const {
        auto list = entriesOfType(responses, "song");
        auto more = entriesOfType(responses, "replacement");
        list.insert(list.end(), more.begin(), more.end());
        return list;
    }
    std::vector<const amf::amf0_data_type*> playlists() const {
        return entriesOfType(responses, "playlist");
    }
    const amf::amf0_data_type* songWithPlistId(const std::string& id) const {
        for (const auto* s : songs())
            if (str(prop(s, "songPlistId")) == id) return s;
        return nullptr;
    }
};

LibraryScan parseLibrary(const std::string& document) {
    LoopbackRequest loop;
    auto processor = boost::make_shared<Ostra::MediaProcessor>(loop.request(), 1000);
    Ostra::ITunes::ITunesMediaScanner scanner(processor);
    std::istringstream in(document);
    testing::internal::CaptureStdout();
    scanner.parseITunesLibrary(in);
    LibraryScan result;
    result.out = testing::internal::GetCapturedStdout();
    processor->finish();
    result.responses = loop.responsesUntilDone();
    return result;
}

std::vector<std::string> songsOf(const amf::amf0_data_type* playlist) {
    std::vector<std::string> out;
    for (const auto* s : items(prop(playlist, "songs"))) out.push_back(str(s));
    return out;
}

std::string location(const std::string& path) {
    return xmlString("file://localhost" + path);
}

// Numbers read exactly as lexical_cast reads them, whole-number shortcut or not.
TEST(ITunesParsers, NumbersReadAsLexicalCastReadsThem) {
    auto check = [](const std::string& text) {
        SCOPED_TRACE(text);
        amf::amf_object record;
        std::string key = "n", value = text;
        Ostra::ITunes::storeNumber(&record, key, "integer", value);
        double expected = 0;
        if (boost::conversion::try_lexical_convert(text, expected)) {
            ASSERT_NE(record.get_property("n"), nullptr);
            const double got = num(record.get_property("n"));
            if (std::isnan(expected)) {
                EXPECT_TRUE(std::isnan(got));
            } else {
                EXPECT_EQ(got, expected);
                EXPECT_EQ(std::signbit(got), std::signbit(expected));
            }
        } else {
            EXPECT_EQ(record.get_property("n"), nullptr);
        }
    };
    for (const char* text :
         {"0", "-0", "007", "42", "-5", "123456789012345", "-123456789012345", "1234567890123456",
          "99999999999999999999", "", "-", "--1", "+5", "12a", "1e3", "0.5", " 1", "1 ", "nan"})
        check(text);
    // Texts with a colon: ISO dates fail early, "nan(...)" may hold one.
    for (const char* text : {"2015-03-01T12:00:00Z", "1:2", "nan(1:2)", "-nan(a:b)", "NaN()"})
        check(text);
}

TEST(ITunesParsers, StoreFunctions) {
    amf::amf_object record;
    std::string key = "n", text = " 12.5";
    Ostra::ITunes::storeNumber(&record, key, "real", text);
    EXPECT_EQ(record.get_property("n"), nullptr);
    text = "12.5";
    Ostra::ITunes::storeNumber(&record, key, "real", text);
    EXPECT_EQ(num(record.get_property("n")), 12.5);
    key = "b";
    text = "TRUE";
    Ostra::ITunes::storeBoolean(&record, key, "string", text);
    EXPECT_FALSE(testsupport::boolean(record.get_property("b")));
    ASSERT_NE(record.get_property("b"), nullptr);
    key = "t";
    text = "anything";
    Ostra::ITunes::storeTrue(&record, key, "data", text);
    EXPECT_TRUE(testsupport::boolean(record.get_property("t")));
    key = "s";
    Ostra::ITunes::storeString(&record, key, "string", text);
    EXPECT_EQ(str(record.get_property("s")), "anything");
    EXPECT_EQ(Ostra::ITunes::track_attributes.size(), 17u);
    EXPECT_EQ(Ostra::ITunes::playlist_attributes.size(), 3u);
}

// Numbers count seconds from 1904; date elements hold ISO 8601 UTC times.
// Expected seconds from `date -u +%s -d TIME`.
TEST(ITunesParsers, EpochsFromNumbersAndDates) {
    struct Row {
        const char* type;
        const char* text;
        bool set;
        double seconds;
    };
    const Row rows[] = {
        {"integer", "2082844810", true, 10},
        {"integer", "0", true, -2082844800.0},
        {"integer", "3639556800", true, 1556712000},
        {"date", "2019-05-01T12:00:00Z", true, 1556712000},
        {"date", "2010-01-02T03:04:05Z", true, 1262401445},
        {"date", "2020-02-29T23:59:59Z", true, 1583020799},
        {"date", "1969-12-31T23:59:59Z", true, -1},
        {"date", "1904-01-01T00:00:00Z", true, -2082844800.0},
        {"date", "2019-02-29T12:00:00Z", false, 0},  // no such day
        {"date", "2019-04-31T12:00:00Z", false, 0},
        {"date", "2019-13-01T12:00:00Z", false, 0},
        {"date", "2019-00-01T12:00:00Z", false, 0},
        {"date", "2019-05-00T12:00:00Z", false, 0},
        {"date", "2019-05-01T24:00:00Z", false, 0},
        {"date", "2019-05-01T12:60:00Z", false, 0},
        {"date", "2019-05-01T12:00:60Z", false, 0},
        {"date", "2019-05-01T12:00:00", false, 0},
        {"date", "2019-05-01T12:00:00+01:00", false, 0},
        {"date", "2019-05-01T12:00:00.5Z", false, 0},
        {"date", "2019-05-01 12:00:00Z", false, 0},
        {"date", "2019-5-01T12:00:00Z ", false, 0},
        {"date", "+019-05-01T12:00:00Z", false, 0},
        {"date", "0000-01-01T00:00:00Z", false, 0},
        {"date", "3639556800", false, 0},  // a number is no date
        {"date", "", false, 0},
        {"string", "2019-05-01T12:00:00Z", false, 0},  // nor is a date a number
        {"integer", "2019-05-01T12:00:00Z", false, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.type) + " " + row.text);
        amf::amf_object record;
        std::string key = "e", text = row.text;
        Ostra::ITunes::storeEpoch(&record, key, row.type, text);
        if (!row.set) {
            EXPECT_EQ(record.get_property("e"), nullptr);
            continue;
        }
        ASSERT_NE(record.get_property("e"), nullptr);
        EXPECT_EQ(num(record.get_property("e")), row.seconds);
    }
}

TEST(ITunesMediaScanner, TracksCarryEveryMappedKey) {
    PlistWriter plist;
    plist.track("100", {{"Track ID", xmlInteger(100)},
                        {"Name", xmlString("  Padded Title \t")},
                        {"Artist", xmlString("The Artist")},
                        {"Album Artist", xmlString("Various")},
                        {"Album", xmlString("The Album")},
                        {"Genre", xmlString("Ignored")},
                        {"Kind", xmlString("MPEG audio file")},
                        {"Size", xmlInteger(5000000000LL)},
                        {"Total Time", xmlInteger(215000)},
                        {"Disk Number", xmlInteger(2)},
                        {"disk number", xmlInteger(9)},
                        {"Track Number", xmlInteger(7)},
                        {"Play Count", xmlInteger(12)},
                        {"Date Added", xmlInteger(2082844800LL + 1000)},
                        {"Play Date", xmlInteger(0)},
                        {"Compilation", xmlBool(true)},
                        {"Protected", xmlBool(false)},
                        {"Podcast", xmlString("true")},
                        {"Location", location("/Users/me/Music/A%20B.mp3")}});
    plist.track("101", {{"Track ID", xmlInteger(101)},
                        {"Name", xmlString("Second")},
                        {"Disc Number", xmlInteger(3)},
                        {"Disc Count", xmlInteger(4)},
                        {"Date Added", xmlDate("2010-01-02T03:04:05Z")},
                        {"Play Date", xmlDate("2010-01-02 03:04:05")},
                        {"Location", xmlString("file:///Users/me/Music/%C3%A9t%C3%A9.m4a")}});
    // Both spellings of the disc number: the later wins.
    plist.track("102", {{"Track ID", xmlInteger(102)},
                        {"Disc Number", xmlInteger(1)},
                        {"Disk Number", xmlInteger(5)},
                        {"Location", location("/m/c.mp3")}});
    plist.track("103", {{"Track ID", xmlInteger(103)},
                        {"Disk Number", xmlInteger(5)},
                        {"Disc Number", xmlInteger(1)},
                        {"Location", location("/m/d.mp3")}});
    auto scan = parseLibrary(plist.document());
    EXPECT_EQ(scan.out, "");
    ASSERT_EQ(scan.songs().size(), 4u);
    const auto* first = scan.songWithPlistId("100");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(str(prop(first, "path")), "/Users/me/Music/A B.mp3");
    EXPECT_EQ(str(prop(first, "id")), "UsersmeMusicABmp3");
    EXPECT_EQ(str(prop(first, "title")), "Padded Title");
    EXPECT_EQ(str(prop(first, "artist")), "The Artist");
    EXPECT_EQ(str(prop(first, "albumArtist")), "Various");
    EXPECT_EQ(str(prop(first, "album")), "The Album");
    EXPECT_EQ(str(prop(first, "kind")), "MPEG audio file");
    EXPECT_EQ(prop(first, "genre"), nullptr);
    EXPECT_EQ(num(prop(first, "size")), 5000000000.0);
    EXPECT_EQ(num(prop(first, "duration")), 215000);
    EXPECT_EQ(num(prop(first, "diskNumber")), 2);
    EXPECT_EQ(num(prop(first, "trackNumber")), 7);
    EXPECT_EQ(num(prop(first, "playCount")), 12);
    EXPECT_EQ(num(prop(first, "dateAdded")), 1000);
    EXPECT_EQ(num(prop(first, "lastPlayDate")), -2082844800.0);
    EXPECT_TRUE(testsupport::boolean(prop(first, "isCompilation")));
    ASSERT_NE(prop(first, "isDRM"), nullptr);
    EXPECT_FALSE(testsupport::boolean(prop(first, "isDRM")));
    EXPECT_TRUE(testsupport::boolean(prop(first, "isPodcast")));
    EXPECT_EQ(str(prop(first, "artistMetadataKey")), "The Artist-The Album-Padded Title-2-7");

    const auto* second = scan.songWithPlistId("101");
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(str(prop(second, "path")), "/Users/me/Music/\xC3\xA9t\xC3\xA9.m4a");
    EXPECT_EQ(num(prop(second, "diskNumber")), 3);
    EXPECT_EQ(prop(second, "diskCount"), nullptr);
    EXPECT_EQ(num(prop(second, "dateAdded")), 1262401445);  // date -u +%s -d 2010-01-02T03:04:05Z
    EXPECT_EQ(prop(second, "lastPlayDate"), nullptr);       // a malformed date
    EXPECT_EQ(prop(second, "isCompilation"), nullptr);
    ASSERT_NE(scan.songWithPlistId("102"), nullptr);
    EXPECT_EQ(num(prop(scan.songWithPlistId("102"), "diskNumber")), 5);
    ASSERT_NE(scan.songWithPlistId("103"), nullptr);
    EXPECT_EQ(num(prop(scan.songWithPlistId("103"), "diskNumber")), 1);
}

TEST(ITunesMediaScanner, TracksWithoutAUsableFileLocationAreDropped) {
    PlistWriter plist;
    plist.track("1", {{"Track ID", xmlInteger(1)},
                      {"Name", xmlString("Stream")},
                      {"Location", xmlString("http://radio.example/stream.mp3")}});
    plist.track("2", {{"Track ID", xmlInteger(2)}, {"Name", xmlString("Nowhere")}});
    plist.track("3", {{"Track ID", xmlInteger(3)}, {"Location", xmlString("file://")}});
    plist.track("4", {{"Track ID", xmlInteger(4)}, {"Location", xmlString("file://hostonly")}});
    plist.track("5", {{"Track ID", xmlInteger(5)}, {"Location", xmlString("FILE:///a.mp3")}});
    plist.track("6", {{"Track ID", xmlInteger(6)}, {"Location", location("/ok.mp3")}});
    plist.playlist({{"Name", xmlString("Mixed")}, {"Playlist Persistent ID", xmlString("P1")}},
                   {"1", "6", "2"});
    for (bool playlistsFirst : {false, true}) {
        SCOPED_TRACE(playlistsFirst ? "playlists first" : "tracks first");
        auto scan = parseLibrary(plist.document(PlistWriter::kDoctype, playlistsFirst));
        ASSERT_EQ(scan.songs().size(), 1u);
        EXPECT_EQ(str(prop(scan.songs()[0], "path")), "/ok.mp3");
        ASSERT_EQ(scan.playlists().size(), 1u);
        EXPECT_EQ(songsOf(scan.playlists()[0]), (std::vector<std::string>{"okmp3"}));
    }
}

TEST(ITunesMediaScanner, PlaylistsSkipLibraryAndSpecialListsAndKeepFileOrderByIndexKey) {
    PlistWriter plist;
    std::vector<std::string> twelve;
    for (int i = 1; i <= 12; ++i) {
        const std::string id = std::to_string(i);
        plist.track(id, {{"Track ID", xmlInteger(i)}, {"Location", location("/m/" + id + ".mp3")}});
        twelve.push_back(id);
    }
    plist.playlist({{"Name", xmlString("Library")},
                    {"Master", xmlBool(true)},
                    {"Playlist Persistent ID", xmlString("M")}},
                   {"1"});
    plist.playlist({{"Name", xmlString("Music")},
                    {"Distinguished Kind", xmlInteger(4)},
                    {"Playlist Persistent ID", xmlString("D")}},
                   {"1"});
    plist.playlist({{"Name", xmlString("Smart")},
                    {"Playlist Persistent ID", xmlString("S")},
                    {"Smart Info", "<data>AQEAAwAAAAIAAAAZ</data>"}},
                   {"3", "999", "2"});
    plist.playlist({{"Name", xmlString("Empty")}, {"Playlist Persistent ID", xmlString("E")}}, {},
                   false);
    plist.playlist({{"Name", xmlString("Twelve")}, {"Playlist Persistent ID", xmlString("T")}},
                   twelve);
    for (bool playlistsFirst : {false, true}) {
        SCOPED_TRACE(playlistsFirst ? "playlists first" : "tracks first");
        auto scan = parseLibrary(plist.document(PlistWriter::kDoctype, playlistsFirst));
        auto lists = scan.playlists();
        ASSERT_EQ(lists.size(), 3u);
        std::map<std::string, const amf::amf0_data_type*> byName;
        for (const auto* l : lists) {
            byName[str(prop(l, "name"))] = l;
            EXPECT_EQ(str(prop(l, "source")), "iTunes");
        }
        ASSERT_EQ(byName.count("Smart"), 1u);
        EXPECT_TRUE(testsupport::boolean(prop(byName["Smart"], "isSmartList")));
        EXPECT_EQ(str(prop(byName["Smart"], "id")), "S");
        EXPECT_EQ(songsOf(byName["Smart"]), (std::vector<std::string>{"m3mp3", "m2mp3"}));
        ASSERT_EQ(byName.count("Empty"), 1u);
        EXPECT_EQ(prop(byName["Empty"], "isSmartList"), nullptr);
        ASSERT_NE(prop(byName["Empty"], "songs"), nullptr);
        EXPECT_TRUE(songsOf(byName["Empty"]).empty());
        // File order 1..12, stored under "0".."11", visited in the keys' byte order.
        EXPECT_EQ(
            songsOf(byName["Twelve"]),
            (std::vector<std::string>{"m1mp3", "m2mp3", "m11mp3", "m12mp3", "m3mp3", "m4mp3",
                                      "m5mp3", "m6mp3", "m7mp3", "m8mp3", "m9mp3", "m10mp3"}));
        EXPECT_EQ(num(prop(reportOf(scan.responses), "playlistCount")), 3);
    }
}

// A long playlist whose first item names no track (a song deleted from the
// library) keeps every later item under its own index, so none of them
// continues the run of indices from "0"; they are still taken in in linear
// time (one by one in file order, 300,000 of them took minutes). Ten times the
// items may take ten times as long, not a hundred: a ratio rather than a
// deadline, so that a slow machine or a sanitizer does not fail it.
TEST(ITunesMediaScanner, LongPlaylistAfterAnItemNamingNoTrackIsReadPromptly) {
    auto secondsFor = [](int items, bool playlistsFirst) {
        PlistWriter plist;
        plist.track("1", {{"Track ID", xmlInteger(1)}, {"Location", location("/m/1.mp3")}});
        plist.track("2", {{"Track ID", xmlInteger(2)}, {"Location", location("/m/2.mp3")}});
        std::vector<std::string> names{"999"};
        // Item i (its index in the list) names track 1 when i is odd, 2 when even.
        std::vector<std::string> indices;
        for (int i = 1; i <= items; ++i) {
            names.push_back(i % 2 ? "1" : "2");
            indices.push_back(std::to_string(i));
        }
        plist.playlist({{"Name", xmlString("Long")}}, names);
        std::sort(indices.begin(), indices.end());
        std::vector<std::string> expected;
        for (const auto& index : indices)
            expected.push_back(std::stoi(index) % 2 ? "m1mp3" : "m2mp3");
        const std::string document = plist.document(PlistWriter::kDoctype, playlistsFirst);
        const auto started = std::chrono::steady_clock::now();
        auto scan = parseLibrary(document);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(scan.playlists().size(), 1u);
        if (scan.playlists().size() == 1) {
            EXPECT_TRUE(songsOf(scan.playlists()[0]) == expected);
        }
        return took.count();
    };
    for (bool playlistsFirst : {false, true}) {
        SCOPED_TRACE(playlistsFirst ? "playlists first" : "tracks first");
        const double small = secondsFor(20000, playlistsFirst);
        const double large = secondsFor(200000, playlistsFirst);
        EXPECT_LT(large, 40 * small + 1.0) << small << " s for 20,000 items";
    }
}

// A playlist keeps its first 2^20 items naming a track and drops the rest.
TEST(ITunesMediaScanner, APlaylistKeepsAtMostTwoToTheTwentiethItems) {
    PlistWriter plist;
    plist.track("1", {{"Track ID", xmlInteger(1)}, {"Location", location("/m/1.mp3")}});
    const std::size_t kKept = 1048576;
    plist.playlist({{"Name", xmlString("Endless")}}, std::vector<std::string>(kKept + 1, "1"));
    auto scan = parseLibrary(plist.document());
    ASSERT_EQ(scan.playlists().size(), 1u);
    const std::vector<std::string> songs = songsOf(scan.playlists()[0]);
    EXPECT_EQ(songs.size(), kKept);
    EXPECT_EQ(std::count(songs.begin(), songs.end(), "m1mp3"), static_cast<long>(songs.size()));
}

TEST(ITunesMediaScanner, DuplicateTracksMapPlaylistsToTheKeptSong) {
    PlistWriter plist;
    plist.track("1", {{"Track ID", xmlInteger(1)},
                      {"Location", location("/m/a.m4a")},
                      {"Name", xmlString("T")},
                      {"Artist", xmlString("A")}});
    plist.track("2", {{"Track ID", xmlInteger(2)}, {"Location", location("/m/a.m4a")}});
    plist.track("3", {{"Track ID", xmlInteger(3)},
                      {"Location", location("/m/a.mp3")},
                      {"Name", xmlString("T")},
                      {"Artist", xmlString("A")}});
    plist.playlist({{"Name", xmlString("P")}}, {"3", "2", "1"});
    for (bool playlistsFirst : {false, true}) {
        SCOPED_TRACE(playlistsFirst ? "playlists first" : "tracks first");
        auto scan = parseLibrary(plist.document(PlistWriter::kDoctype, playlistsFirst));
        const auto* report = reportOf(scan.responses);
        ASSERT_NE(report, nullptr);
        EXPECT_EQ(num(prop(report, "uniqueSongCount")), 1);
        EXPECT_EQ(num(prop(report, "duplicateCount")), 2);
        EXPECT_EQ(entriesOfType(scan.responses, "replacement").size(), 1u);
        ASSERT_EQ(scan.playlists().size(), 1u);
        EXPECT_EQ(songsOf(scan.playlists()[0]),
                  (std::vector<std::string>{"mam4a", "mam4a", "mam4a"}));
    }
}

TEST(ITunesMediaScanner, DocumentCutOffKeepsWhatWasComplete) {
    PlistWriter plist;
    plist.track("1", {{"Track ID", xmlInteger(1)}, {"Location", location("/m/a.mp3")}});
    plist.track("2", {{"Track ID", xmlInteger(2)}, {"Location", location("/m/b.mp3")}});
    plist.playlist({{"Name", xmlString("Whole")}}, {"1", "2"});
    plist.playlist({{"Name", xmlString("Cut")}}, {"1"});
    struct Row {
        bool playlistsFirst;
        const char* cutBefore;  // the last occurrence of this text
        std::vector<std::string> playlists;
        std::vector<std::string> firstSongs;
        std::size_t songs;
    };
    // Cut in the playlists, or (playlists first) in the tracks: the playlists
    // then name the tracks that came before the cut.
    const Row rows[] = {{false, "<key>Track ID</key>", {"Whole"}, {"mamp3", "mbmp3"}, 2},
                        {true, "\t\t<key>2</key>", {"Whole", "Cut"}, {"mamp3"}, 1}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cutBefore);
        const std::string document = plist.document(PlistWriter::kDoctype, row.playlistsFirst);
        const std::string cut = document.substr(0, document.rfind(row.cutBefore));
        auto scan = parseLibrary(cut);
        std::vector<std::string> names;
        for (const auto* list : scan.playlists()) names.push_back(str(prop(list, "name")));
        EXPECT_EQ(names, row.playlists);
        ASSERT_FALSE(scan.playlists().empty());
        EXPECT_EQ(songsOf(scan.playlists()[0]), row.firstSongs);
        EXPECT_EQ(scan.songs().size(), row.songs);
        const int lines = static_cast<int>(std::count(cut.begin(), cut.end(), '\n'));
        EXPECT_EQ(scan.out, "ITunesMediaScanner error: no element found at line " +
                                std::to_string(lines + 1) + "\n");
        ASSERT_NE(reportOf(scan.responses), nullptr);
        EXPECT_TRUE(isDone(scan.responses.back()));
    }
}

TEST(ITunesMediaScanner, MalformedXmlPrintsTheExpatError) {
    auto scan = parseLibrary("<plist>\n<dict>\n<key>Tracks</key>\n</plist>\n");
    EXPECT_EQ(scan.out, "ITunesMediaScanner error: mismatched tag at line 4\n");
    ASSERT_NE(reportOf(scan.responses), nullptr);
    auto empty = parseLibrary("");
    EXPECT_EQ(empty.out, "ITunesMediaScanner error: no element found at line 1\n");
}

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST(ITunesMediaScanner, EntityDeclarationsEndTheParseWithoutExpansion) {
    std::string laughs = "<!DOCTYPE plist [\n<!ENTITY lol0 \"lollollollollollollollollollol\">\n";
    for (int i = 1; i <= 12; ++i)
        laughs += "<!ENTITY lol" + std::to_string(i) + " \"" + [&] {
            std::string refs;
            for (int k = 0; k < 10; ++k) refs += "&lol" + std::to_string(i - 1) + ";";
            return refs;
        }() + "\">\n";
    laughs += "]>\n";
    PlistWriter plist;
    plist.track("1", {{"Track ID", xmlInteger(1)},
                      {"Name", xmlString("&lol12;")},
                      {"Location", location("/m/a.mp3")}});
    const long before = peakRssKb();
    auto scan = parseLibrary(plist.document(laughs));
    EXPECT_EQ(scan.out, "ITunesMediaScanner error: parsing aborted at line 3\n");
    EXPECT_TRUE(scan.songs().empty());
    EXPECT_LT(peakRssKb() - before, 50 * 1024);

    TempDir dir;
    testsupport::writeFile(dir / "secret.txt", "SECRET-CONTENT");
    const std::string external =
        "<!DOCTYPE plist [\n<!ENTITY ext SYSTEM \"file://" + dir / "secret.txt" + "\">\n]>\n";
    PlistWriter leaky;
    leaky.track("1", {{"Track ID", xmlInteger(1)},
                      {"Name", xmlString("&ext;")},
                      {"Location", location("/m/a.mp3")}});
    auto refused = parseLibrary(leaky.document(external));
    EXPECT_EQ(refused.out, "ITunesMediaScanner error: parsing aborted at line 3\n");
    EXPECT_TRUE(refused.songs().empty());
    for (const auto& r : refused.responses)
        EXPECT_EQ(r->to_string().find("SECRET"), std::string::npos);

    // A parameter entity pulling in an external DTD is refused the same way.
    const std::string dtd = "<!DOCTYPE plist [\n<!ENTITY % remote SYSTEM \"file://" +
                            dir / "secret.txt" + "\">\n%remote;\n]>\n";
    auto noDtd = parseLibrary(leaky.document(dtd));
    EXPECT_EQ(noDtd.out, "ITunesMediaScanner error: parsing aborted at line 3\n");
}

TEST(ITunesMediaScanner, ExcessiveNestingAndOverlongNamesAreRefused) {
    std::string deep = "<plist>";
    for (int i = 0; i < 1000; ++i) deep += "<dict>";
    for (int i = 0; i < 1000; ++i) deep += "</dict>";
    deep += "</plist>";
    auto scan = parseLibrary(deep);
    EXPECT_EQ(scan.out, "ITunesMediaScanner error: parsing aborted at line 1\n");
    ASSERT_NE(reportOf(scan.responses), nullptr);
    // So are overlong element names, which the element path would collect.
    const std::string name(5000, 'x');
    auto named = parseLibrary("<plist>\n<" + name + "></" + name + "></plist>");
    EXPECT_EQ(named.out, "ITunesMediaScanner error: parsing aborted at line 2\n");
}

TEST(ITunesMediaScanner, LargeLibraryStreamsAcrossReadBoundaries) {
    PlistWriter plist;
    std::vector<std::string> all;
    for (int i = 0; i < 2000; ++i) {
        const std::string id = std::to_string(1000 + i);
        plist.track(id, {{"Track ID", xmlInteger(1000 + i)},
                         {"Name", xmlString("T\xC3\xA9tu " + id)},
                         {"Artist", xmlString("\xE2\x99\xAB Artist")},
                         {"Location", location("/m/%C3%A9/" + id + ".mp3")}});
        all.push_back(id);
    }
    plist.playlist({{"Name", xmlString("All")}}, all);
    for (bool playlistsFirst : {false, true}) {
        SCOPED_TRACE(playlistsFirst ? "playlists first" : "tracks first");
        auto scan = parseLibrary(plist.document(PlistWriter::kDoctype, playlistsFirst));
        EXPECT_EQ(scan.out, "");
        ASSERT_EQ(scan.songs().size(), 2000u);
        for (const auto* s : scan.songs()) {
            const std::string id = str(prop(s, "songPlistId"));
            EXPECT_EQ(str(prop(s, "title")), "T\xC3\xA9tu " + id);
            EXPECT_EQ(str(prop(s, "artist")), "\xE2\x99\xAB Artist");
            EXPECT_EQ(str(prop(s, "path")), "/m/\xC3\xA9/" + id + ".mp3");
        }
        ASSERT_EQ(scan.playlists().size(), 1u);
        EXPECT_EQ(songsOf(scan.playlists()[0]).size(), 2000u);
    }
}

// Records come from a thread that replays what expat queued ahead of them.
// A processor that fails, or an interruption of the request's thread, must
// end the parse and the read-ahead while the queue is full.
class StoppingSink : public Ostra::IMediaProcessor {
  public:
    explicit StoppingSink(int throwAt) : throwAt_(throwAt) {}
    void processSongObject(amf::amf_object*) override {
        if (++songs == throwAt_) throw std::runtime_error("processor failed");
        if (throwAt_ == 0) std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    void processPlaylistObject(amf::amf_object*) override {}
    void finish() override {}
    void error(std::string) override {}
    std::atomic<int> songs{0};

  private:
    int throwAt_;
};

std::string bigLibrary(int tracks) {
    PlistWriter plist;
    for (int i = 0; i < tracks; ++i) {
        const std::string id = std::to_string(1000 + i);
        plist.track(id, {{"Track ID", xmlInteger(1000 + i)},
                         {"Name", xmlString(std::string(200, 'n') + id)},
                         {"Location", location("/m/" + id + ".mp3")}});
    }
    return plist.document();
}

TEST(ITunesMediaScanner, FailingProcessorEndsTheParseAndTheReadAhead) {
    auto sink = boost::make_shared<StoppingSink>(5);
    Ostra::ITunes::ITunesMediaScanner scanner(sink);
    std::istringstream in(bigLibrary(5000));  // over 1 MB of events: the queue fills
    EXPECT_THROW(scanner.parseITunesLibrary(in), std::runtime_error);
    EXPECT_EQ(sink->songs, 5);
}

TEST(ITunesMediaScanner, InterruptionEndsTheParseAndTheReadAhead) {
    auto sink = boost::make_shared<StoppingSink>(0);  // 0.5 ms per song
    const std::string document = bigLibrary(5000);
    std::atomic<bool> interrupted{false};
    boost::thread scan([&] {
        Ostra::ITunes::ITunesMediaScanner scanner(sink);
        std::istringstream in(document);
        try {
            scanner.parseITunesLibrary(in);
        } catch (const boost::thread_interrupted&) {
            interrupted = true;
        }
    });
    while (sink->songs == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    scan.interrupt();
    scan.join();  // a read-ahead left waiting on a full queue would hang here
    EXPECT_TRUE(interrupted);
    EXPECT_LT(sink->songs, 5000);
}

// Through the helper binary, with the library found under $HOME.
class ScanMediaLibs : public ::testing::Test {
  protected:
    void writeLibrary(const std::string& name, const std::string& document) {
        fs::create_directories(home / "Music/iTunes");
        testsupport::writeFile(home / ("Music/iTunes/" + name), document);
    }
    std::vector<Value> scan(const std::vector<std::string>& env, double batchSize) {
        host.startHelper(env);
        amf::amf_object arg;
        arg.set_numeric_property("batchSize", batchSize);
        auto responses = host.call("scanMediaLibs", &arg);
        EXPECT_EQ(host.quit(), 0);
        return responses;
    }
    TempDir home;
    TestHost host;
};

TEST_F(ScanMediaLibs, PrefersTheMusicLibraryFileAndStreamsBatches) {
    PlistWriter preferred;
    for (int i = 1; i <= 5; ++i)
        preferred.track(std::to_string(i),
                        {{"Track ID", xmlInteger(i)},
                         {"Location", location("/m/" + std::to_string(i) + ".mp3")}});
    preferred.playlist({{"Name", xmlString("Mine")}}, {"5", "1"});
    PlistWriter other;
    other.track("9", {{"Track ID", xmlInteger(9)}, {"Location", location("/other.mp3")}});
    writeLibrary("iTunes Music Library.xml", preferred.document());
    writeLibrary("iTunes Library.xml", other.document());

    auto responses = scan({"HOME=" + home.path()}, 2);
    // The library list, three batches of two, then the report.
    ASSERT_EQ(responses.size(), 5u);
    auto libraries = items(prop(responses[0], "data"));
    ASSERT_EQ(libraries.size(), 1u);
    EXPECT_EQ(str(libraries[0]), "iTunes");
    EXPECT_FALSE(isDone(responses[0]));
    for (int i = 1; i <= 3; ++i) EXPECT_EQ(items(prop(responses[i], "data")).size(), 2u);
    EXPECT_TRUE(isDone(responses[4]));
    auto songs = entriesOfType(responses, "song");
    ASSERT_EQ(songs.size(), 5u);
    for (const auto* s : songs) EXPECT_NE(str(prop(s, "path")), "/other.mp3");
    auto lists = entriesOfType(responses, "playlist");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(songsOf(lists[0]), (std::vector<std::string>{"m5mp3", "m1mp3"}));
    const auto* report = reportOf(responses);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(num(prop(report, "uniqueSongCount")), 5);
    EXPECT_EQ(num(prop(report, "playlistCount")), 1);
}

TEST_F(ScanMediaLibs, SecondCandidateAloneIsRead) {
    PlistWriter other;
    other.track("9", {{"Track ID", xmlInteger(9)}, {"Location", location("/other.mp3")}});
    writeLibrary("iTunes Library.xml", other.document());
    auto responses = scan({"HOME=" + home.path()}, 100);
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(items(prop(responses[0], "data")).size(), 1u);
    auto songs = entriesOfType(responses, "song");
    ASSERT_EQ(songs.size(), 1u);
    EXPECT_EQ(str(prop(songs[0], "path")), "/other.mp3");
}

TEST_F(ScanMediaLibs, WithoutHomeThereIsNoLibrary) {
    PlistWriter plist;
    plist.track("1", {{"Track ID", xmlInteger(1)}, {"Location", location("/a.mp3")}});
    writeLibrary("iTunes Music Library.xml", plist.document());
    auto responses = scan({"HOME="}, 100);
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_TRUE(items(prop(responses[0], "data")).empty());
    const auto* report = reportOf(responses);
    ASSERT_NE(report, nullptr);
    EXPECT_EQ(num(prop(report, "uniqueSongCount")), 0);
}

// The library is the first candidate that is a regular file: one of another
// type is neither announced nor opened (a FIFO would block the open).
TEST_F(ScanMediaLibs, FirstCandidateThatIsARegularFileIsTheLibrary) {
    PlistWriter other;
    other.track("9", {{"Track ID", xmlInteger(9)}, {"Location", location("/other.mp3")}});
    struct Row {
        const char* first;  // how the first candidate is made
        bool second;        // whether the second is a regular library
    };
    const Row rows[] = {{"mkfifo", true}, {"mkdir", true}, {"mkfifo", false}, {"mkdir", false}};
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.first) + (row.second ? " + library" : " alone"));
        TempDir dir;
        const std::string folder = dir / "Music/iTunes";
        fs::create_directories(folder);
        ASSERT_EQ(
            testsupport::run(std::string(row.first) + " '" + folder + "/iTunes Music Library.xml'"),
            0);
        if (row.second) testsupport::writeFile(folder + "/iTunes Library.xml", other.document());
        TestHost each;
        each.startHelper({"HOME=" + dir.path()});
        amf::amf_object arg;
        arg.set_numeric_property("batchSize", 100);
        auto responses = each.call("scanMediaLibs", &arg, std::chrono::seconds(20));
        EXPECT_EQ(each.quit(), 0);
        ASSERT_EQ(responses.size(), 2u);
        EXPECT_EQ(items(prop(responses[0], "data")).size(), row.second ? 1u : 0u);
        auto songs = entriesOfType(responses, "song");
        ASSERT_EQ(songs.size(), row.second ? 1u : 0u);
        if (row.second) {
            EXPECT_EQ(str(prop(songs[0], "path")), "/other.mp3");
        }
        EXPECT_EQ(each.helper().out().find("ITunesMediaScanner error"), std::string::npos);
    }
}

// Counts what the scanner hands over.
class CountingSink : public Ostra::IMediaProcessor {
  public:
    void processSongObject(amf::amf_object*) override { ++songs; }
    void processPlaylistObject(amf::amf_object*) override {}
    void finish() override {}
    void error(std::string) override {}
    int songs = 0;
};

// The library's name is swapped between a regular file and a FIFO while
// scans run: checking the name and then opening it would sooner or later
// open the FIFO and wait for a writer forever. Every scan must end.
TEST(ITunesMediaScannerFiles, NameSwappedToAFifoNeverBlocksTheScan) {
    TempDir home;
    fs::create_directories(home / "Music/iTunes");
    PlistWriter plist;
    plist.track("1", {{"Track ID", xmlInteger(1)}, {"Location", location("/a.mp3")}});
    testsupport::writeFile(home / "library.xml", plist.document());
    ASSERT_EQ(testsupport::run("mkfifo '" + home / "fifo" + "'"), 0);
    const std::string name = home / "Music/iTunes/iTunes Music Library.xml";
    const std::string other = home / "Music/iTunes/other";
    ASSERT_EQ(::symlink((home / "library.xml").c_str(), name.c_str()), 0);
    ASSERT_EQ(::symlink((home / "fifo").c_str(), other.c_str()), 0);

    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome ? oldHome : "";
    ::setenv("HOME", home.path().c_str(), 1);
    std::atomic<bool> stop{false};
    std::thread swapper([&] {
        while (!stop) ::renameat2(AT_FDCWD, other.c_str(), AT_FDCWD, name.c_str(), RENAME_EXCHANGE);
    });
    std::atomic<int> scans{0}, read{0};
    std::thread scanning([&] {
        while (!stop) {
            auto sink = boost::make_shared<CountingSink>();
            Ostra::ITunes::ITunesMediaScanner scanner(sink);
            testing::internal::CaptureStdout();
            scanner.scanMediaLibrary();
            testing::internal::GetCapturedStdout();
            read += sink->songs;
            ++scans;
        }
    });
    // A scan waiting on the FIFO stops the count.
    bool blocked = false;
    int seen = -1;
    auto moved = std::chrono::steady_clock::now();
    for (auto end = moved + std::chrono::seconds(5); std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (scans != seen) {
            seen = scans;
            moved = std::chrono::steady_clock::now();
        } else if (std::chrono::steady_clock::now() - moved > std::chrono::seconds(2)) {
            blocked = true;
            break;
        }
    }
    stop = true;
    swapper.join();
    if (blocked) {
        // Release the scan that waits for a writer, so the test can end.
        const int writer = ::open((home / "fifo").c_str(), O_WRONLY | O_NONBLOCK);
        if (writer >= 0) ::close(writer);
    }
    scanning.join();
    ::setenv("HOME", savedHome.c_str(), 1);
    EXPECT_FALSE(blocked) << "a scan waited on the FIFO after " << scans << " scans";
    EXPECT_GT(read, 0);
}

// Documents whose one huge token would take expat quadratic time in small
// reads: each is answered promptly, the token ending the parse with the
// usual error line (a long text or CDATA section is no such token).
TEST_F(ScanMediaLibs, LongTokensAreAnsweredPromptly) {
    const std::string huge(8 * 1000 * 1000, 'x');
    PlistWriter plist;
    plist.track("1", {{"Track ID", xmlInteger(1)}, {"Location", location("/a.mp3")}});
    const std::string document = plist.document();
    const std::size_t at = document.find("\t<key>Playlists</key>");
    struct Row {
        const char* shape;
        std::string token;   // inserted before the Playlists key
        std::string prolog;  // or as the DOCTYPE
        bool aborted;
    };
    const Row rows[] = {
        {"comment", "<!--" + huge + "-->", "", true},
        {"attribute value", "<key a=\"" + huge + "\">k</key>", "", true},
        {"attribute name", "<key a" + huge + "=\"1\">k</key>", "", true},
        {"element name", "<k" + huge + "/>", "", true},
        {"processing instruction", "<?pi " + huge + "?>", "", true},
        {"entity reference", "<key>&" + huge + ";</key>", "", true},
        {"DOCTYPE comment", "", "<!DOCTYPE plist [<!--" + huge + "-->]>\n", true},
        {"DOCTYPE system id", "", "<!DOCTYPE plist SYSTEM \"" + huge + "\">\n", true},
        {"text", "<key>Big</key><string>" + huge + "</string>", "", false},
        {"CDATA", "<key>Big</key><string><![CDATA[" + huge + "]]></string>", "", false},
    };
    host.startHelper({"HOME=" + home.path()});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.shape);
        std::string library = document;
        library.insert(at, row.token);
        if (!row.prolog.empty())
            library.replace(library.find(PlistWriter::kDoctype), std::strlen(PlistWriter::kDoctype),
                            row.prolog);
        writeLibrary("iTunes Music Library.xml", library);
        const std::size_t printed = host.helper().out().size();
        amf::amf_object arg;
        arg.set_numeric_property("batchSize", 100);
        auto responses = host.call("scanMediaLibs", &arg, std::chrono::seconds(20));
        ASSERT_FALSE(responses.empty());
        ASSERT_TRUE(isDone(responses.back())) << "no answer in 20 s";
        // Tracks before the token stand.
        EXPECT_EQ(entriesOfType(responses, "song").size(), row.prolog.empty() ? 1u : 0u);
        const std::size_t tokenAt = row.prolog.empty() ? at : library.find("<!DOCTYPE");
        const int line =
            1 + static_cast<int>(std::count(library.begin(), library.begin() + tokenAt, '\n'));
        EXPECT_EQ(host.helper().out().substr(printed),
                  row.aborted ? "ITunesMediaScanner error: parsing aborted at line " +
                                    std::to_string(line) + "\n"
                              : "");
    }
    EXPECT_EQ(host.quit(), 0);
}

// The helper's peak resident memory (VmHWM) in KiB.
long helperPeakKb(pid_t pid) {
    std::istringstream status(testsupport::readFile("/proc/" + std::to_string(pid) + "/status"));
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmHWM:") == 0) return std::stol(line.substr(6));
    return -1;
}

// Playlist items that name no track cost no memory: a playlist of 400,000 of
// them leaves the helper's peak where a small library puts it, whichever
// comes first in the document.
TEST_F(ScanMediaLibs, PlaylistItemsNamingNoTrackAreNotKept) {
    PlistWriter plist;
    plist.track("1", {{"Track ID", xmlInteger(1)}, {"Location", location("/a.mp3")}});
    std::vector<std::string> items;
    for (int i = 0; i < 400000; ++i) items.push_back(std::to_string(1000000 + i));
    items.push_back("1");
    plist.playlist({{"Name", xmlString("Strangers")}}, items);
    items.clear();
    for (bool playlistsFirst : {false, true}) {
        SCOPED_TRACE(playlistsFirst ? "playlists first" : "tracks first");
        writeLibrary("iTunes Music Library.xml",
                     plist.document(PlistWriter::kDoctype, playlistsFirst));
        TestHost each;
        each.startHelper({"HOME=" + home.path()});
        const long idle = helperPeakKb(each.helper().pid());
        amf::amf_object arg;
        auto responses = each.call("scanMediaLibs", &arg);
        const long peak = helperPeakKb(each.helper().pid());
        EXPECT_EQ(each.quit(), 0);
        auto lists = entriesOfType(responses, "playlist");
        ASSERT_EQ(lists.size(), 1u);
        EXPECT_EQ(songsOf(lists[0]), (std::vector<std::string>{"amp3"}));
        // Kept as before, the items took over 100 MB.
        EXPECT_LT(peak - idle, 40 * 1024) << "idle " << idle << " KiB, peak " << peak << " KiB";
    }
}

// The same library as the desktop application writes it (Tracks before
// Playlists, "Disc Number", dates as <date>) and as Python's plistlib writes
// it with sorted keys (Playlists first): the host gets the same responses.
// Two discs of one album hold tracks of the same number and title; songs
// sharing only a title, with neither album nor artist, are distinct.
TEST_F(ScanMediaLibs, DesktopAndSortedLibrariesGiveTheSameRecords) {
    const std::string script = home / "write_library.py";
    testsupport::writeFile(script, R"(
import datetime, plistlib, sys
out, order = sys.argv[1], sys.argv[2]
added = datetime.datetime(2019, 5, 1, 12, 0, 0)
tracks = {}
def track(number, **keys):
    entry = {"Track ID": number, "Kind": "MPEG audio file", "Date Added": added,
             "Play Date": 3639556800, "Location": "file:///Users/me/Music/%d.mp3" % number}
    entry.update(keys)
    tracks[str(number)] = entry
track(101, Name="Intro", Artist="Band", Album="Double", **{"Disc Number": 1, "Disc Count": 2, "Track Number": 1})
track(102, Name="Intro", Artist="Band", Album="Double", **{"Disc Number": 2, "Disc Count": 2, "Track Number": 1})
track(103, Name="Slow Signal", Artist="First")
track(104, Name="Slow Signal", Artist="Second")
track(105, Name="Shared", Artist="One", Album="Split", **{"Track Number": 4})
track(106, Name="Shared", Artist="Other", Album="Split", **{"Track Number": 4})
track(107, Name="Shared", Artist="One", Album="Split", **{"Track Number": 4, "Location": "file:///Users/me/Music/107.m4a"})
playlists = [
    {"Name": "Library", "Master": True, "Playlist Persistent ID": "M0",
     "Playlist Items": [{"Track ID": n} for n in sorted(tracks)]},
    {"Name": "Mine", "Playlist Persistent ID": "P1",
     "Playlist Items": [{"Track ID": n} for n in (104, 102, 999, 101, 106, 103)]},
    {"Name": "Empty", "Playlist Persistent ID": "P2"},
]
library = {"Major Version": 1, "Minor Version": 1, "Application Version": "12.9.5.5",
           "Date": added, "Tracks": tracks, "Playlists": playlists,
           "Music Folder": "file:///Users/me/Music/"}
with open(out, "wb") as f:
    plistlib.dump(library, f, sort_keys=(order == "sorted"))
)");
    std::vector<std::vector<std::string>> frames;
    for (const char* order : {"desktop", "sorted"}) {
        SCOPED_TRACE(order);
        const std::string path = home / "Music/iTunes/iTunes Music Library.xml";
        fs::create_directories(home / "Music/iTunes");
        ASSERT_EQ(testsupport::run("python3 '" + script + "' '" + path + "' " + order), 0);
        const std::string written = testsupport::readFile(path);
        const bool tracksFirst =
            written.find("<key>Tracks</key>") < written.find("<key>Playlists</key>");
        EXPECT_EQ(tracksFirst, std::string(order) == "desktop");
        TestHost each;
        each.startHelper({"HOME=" + home.path()});
        amf::amf_object arg;
        arg.set_numeric_property("batchSize", 3);
        auto responses = each.call("scanMediaLibs", &arg);
        EXPECT_EQ(each.quit(), 0);
        frames.emplace_back();
        for (const auto& response : responses)
            frames.back().push_back(testsupport::encodeValue(*prop(response, "data")));

        auto songs = entriesOfType(responses, "song");
        ASSERT_EQ(songs.size(), 5u);
        std::map<std::string, const amf::amf0_data_type*> byId;
        for (const auto* song : songs) byId[str(prop(song, "songPlistId"))] = song;
        ASSERT_EQ(byId.count("102"), 1u);
        EXPECT_EQ(num(prop(byId["101"], "diskNumber")), 1);
        EXPECT_EQ(num(prop(byId["102"], "diskNumber")), 2);
        EXPECT_EQ(str(prop(byId["102"], "artistMetadataKey")), "Band-Double-Intro-2-1");
        // date -u +%s -d 2019-05-01T12:00:00Z, from a date and from seconds since 1904.
        EXPECT_EQ(num(prop(byId["101"], "dateAdded")), 1556712000);
        EXPECT_EQ(num(prop(byId["101"], "lastPlayDate")), 1556712000);
        ASSERT_EQ(byId.count("104"), 1u);
        EXPECT_EQ(str(prop(byId["104"], "albumArtistMetadataKey")), "--Slow Signal-_-_");
        // 106: another artist on the same album, without album artists; 107: an m4a copy.
        auto duplicates = entriesOfType(responses, "duplicate");
        ASSERT_EQ(duplicates.size(), 2u);
        EXPECT_EQ(str(prop(duplicates[0], "type")), "albumArtistMDK");
        EXPECT_EQ(str(prop(duplicates[0], "key")), "-Split-Shared-_-4");
        EXPECT_EQ(str(prop(duplicates[1], "type")), "artistMDK");
        EXPECT_EQ(str(prop(duplicates[1], "duplicateOf")), "UsersmeMusic105mp3");
        auto lists = entriesOfType(responses, "playlist");
        ASSERT_EQ(lists.size(), 2u);
        EXPECT_EQ(str(prop(lists[0], "name")), "Mine");
        EXPECT_EQ(songsOf(lists[0]),
                  (std::vector<std::string>{"UsersmeMusic104mp3", "UsersmeMusic102mp3",
                                            "UsersmeMusic101mp3", "UsersmeMusic105mp3",
                                            "UsersmeMusic103mp3"}));
        EXPECT_TRUE(songsOf(lists[1]).empty());
        const auto* report = reportOf(responses);
        ASSERT_NE(report, nullptr);
        EXPECT_EQ(num(prop(report, "uniqueSongCount")), 5);
        EXPECT_EQ(num(prop(report, "duplicateCount")), 2);
        EXPECT_EQ(num(prop(report, "playlistCount")), 2);
    }
    EXPECT_EQ(frames[0], frames[1]);
}

TEST_F(ScanMediaLibs, MalformedLibraryPrintsTheErrorAndStillReports) {
    PlistWriter plist;
    plist.track("1", {{"Track ID", xmlInteger(1)}, {"Location", location("/a.mp3")}});
    std::string document = plist.document();
    document.replace(document.find("<key>Playlists</key>"), 20, "<key>Playlists</wrong>");
    writeLibrary("iTunes Music Library.xml", document);
    auto responses = scan({"HOME=" + home.path()}, 100);
    ASSERT_EQ(responses.size(), 2u);
    EXPECT_EQ(entriesOfType(responses, "song").size(), 1u);
    EXPECT_NE(reportOf(responses), nullptr);
    const int line = 1 + static_cast<int>(std::count(
                             document.begin(), document.begin() + document.find("</wrong>"), '\n'));
    EXPECT_NE(host.helper().out().find("ITunesMediaScanner error: mismatched tag at line " +
                                       std::to_string(line) + "\n"),
              std::string::npos)
        << host.helper().out();
}

}  // namespace

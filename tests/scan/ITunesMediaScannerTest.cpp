#include "scan/ITunesMediaScanner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>
#include <chrono>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "LoopbackRequest.h"
#include "PlistWriter.h"
#include "amf/access.h"
#include "scan/MediaProcessor.h"

namespace {

namespace fs = boost::filesystem;
using namespace scantest;
using namespace testsupport;
typedef std::vector<std::string> Texts;

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
    const amf::amf0_data_type* song(const std::string& plistId) const {
        for (const auto* s : songs())
            if (str(prop(s, "songPlistId")) == plistId) return s;
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

Texts songsOf(const amf::amf0_data_type* playlist) {
    Texts out;
    for (const auto* s : items(prop(playlist, "songs"))) out.push_back(str(s));
    return out;
}

std::string location(const std::string& path) {
    return xmlString("file://localhost" + path);
}

void fileTrack(PlistWriter& plist, int id, const std::string& path,
               std::vector<scantest::Entry> more = {}) {
    more.insert(more.begin(), {{"Track ID", xmlInteger(id)}, {"Location", location(path)}});
    plist.track(std::to_string(id), more);
}

// A stored value as text: "-" when absent, numbers with every digit.
std::string shown(const amf::amf0_data_type* value) {
    if (!value) return "-";
    if (const std::string* text = amf::getString(value)) return "'" + *text + "'";
    if (auto flag = amf::getBool(value)) return *flag ? "true" : "false";
    if (auto number = amf::getNumber(value)) {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.17g", *number);
        return buffer;
    }
    return "?";
}

typedef void (*StoreFunction)(amf::amf_object*, std::string&, const std::string&, std::string&);

// Numbers read as lexical_cast reads them; epochs count seconds from 1904 or
// are ISO 8601 UTC <date>s (expected seconds from `date -u +%s -d TIME`).
TEST(ITunesParsers, StoredValues) {
    using namespace Ostra::ITunes;
    const struct {
        StoreFunction store;
        const char* type;
        const char* text;
        const char* stored;
    } rows[] = {
        {storeNumber, "integer", "0", "0"},
        {storeNumber, "integer", "-0", "-0"},
        {storeNumber, "integer", "007", "7"},
        {storeNumber, "integer", "-123456789012345", "-123456789012345"},
        {storeNumber, "integer", "1234567890123456", "1234567890123456"},
        {storeNumber, "integer", "99999999999999999999", "1e+20"},
        {storeNumber, "integer", "+5", "5"},
        {storeNumber, "integer", "1e3", "1000"},
        {storeNumber, "real", "12.5", "12.5"},
        {storeNumber, "integer", "nan", "nan"},
        {storeNumber, "integer", "nan(1:2)", "nan"},
        {storeNumber, "integer", "-nan(a:b)", "-nan"},
        {storeNumber, "integer", "NaN()", "nan"},
        {storeNumber, "integer", "", "-"},
        {storeNumber, "integer", "-", "-"},
        {storeNumber, "integer", "--1", "-"},
        {storeNumber, "integer", "12a", "-"},
        {storeNumber, "real", " 12.5", "-"},
        {storeNumber, "integer", "1 ", "-"},
        {storeNumber, "integer", "1:2", "-"},
        {storeNumber, "integer", "2015-03-01T12:00:00Z", "-"},
        {storeBoolean, "string", "TRUE", "false"},
        {storeTrue, "data", "anything", "true"},
        {storeEpoch, "integer", "2082844810", "10"},
        {storeEpoch, "integer", "0", "-2082844800"},
        {storeEpoch, "integer", "3639556800", "1556712000"},
        {storeEpoch, "date", "2019-05-01T12:00:00Z", "1556712000"},
        {storeEpoch, "date", "2010-01-02T03:04:05Z", "1262401445"},
        {storeEpoch, "date", "2020-02-29T23:59:59Z", "1583020799"},
        {storeEpoch, "date", "1969-12-31T23:59:59Z", "-1"},
        {storeEpoch, "date", "1904-01-01T00:00:00Z", "-2082844800"},
        {storeEpoch, "date", "2019-02-29T12:00:00Z", "-"},  // no such day
        {storeEpoch, "date", "2019-04-31T12:00:00Z", "-"},
        {storeEpoch, "date", "2019-13-01T12:00:00Z", "-"},
        {storeEpoch, "date", "2019-05-00T12:00:00Z", "-"},
        {storeEpoch, "date", "2019-05-01T24:00:00Z", "-"},
        {storeEpoch, "date", "2019-05-01T12:60:00Z", "-"},
        {storeEpoch, "date", "2019-05-01T12:00:60Z", "-"},
        {storeEpoch, "date", "2019-05-01T12:00:00", "-"},
        {storeEpoch, "date", "2019-05-01T12:00:00+01:00", "-"},
        {storeEpoch, "date", "2019-05-01T12:00:00.5Z", "-"},
        {storeEpoch, "date", "2019-05-01 12:00:00Z", "-"},
        {storeEpoch, "date", "+019-05-01T12:00:00Z", "-"},
        {storeEpoch, "date", "0000-01-01T00:00:00Z", "-"},
        {storeEpoch, "date", "3639556800", "-"},  // a number is no date
        {storeEpoch, "string", "2019-05-01T12:00:00Z", "-"},
        {storeEpoch, "integer", "2019-05-01T12:00:00Z", "-"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.type) + " '" + row.text + "'");
        amf::amf_object record;
        std::string key = "k", text = row.text;
        row.store(&record, key, row.type, text);
        EXPECT_EQ(shown(record.get_property("k")), row.stored);
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
                        {"Disc Number", xmlInteger(3)},
                        {"Disc Count", xmlInteger(4)},
                        {"Date Added", xmlDate("2010-01-02T03:04:05Z")},
                        {"Play Date", xmlDate("2010-01-02 03:04:05")},
                        {"Location", xmlString("file:///Users/me/Music/%C3%A9t%C3%A9.m4a")}});
    // Both spellings of the disc number: the later wins.
    fileTrack(plist, 102, "/m/c.mp3",
              {{"Disc Number", xmlInteger(1)}, {"Disk Number", xmlInteger(5)}});
    fileTrack(plist, 103, "/m/d.mp3",
              {{"Disk Number", xmlInteger(5)}, {"Disc Number", xmlInteger(1)}});
    auto scan = parseLibrary(plist.document());
    EXPECT_EQ(scan.out, "");
    ASSERT_EQ(scan.songs().size(), 4u);
    const struct {
        const char* plistId;
        const char* key;
        const char* stored;
    } rows[] = {
        {"100", "path", "'/Users/me/Music/A B.mp3'"},
        {"100", "id", "'UsersmeMusicABmp3'"},
        {"100", "title", "'Padded Title'"},
        {"100", "artist", "'The Artist'"},
        {"100", "albumArtist", "'Various'"},
        {"100", "album", "'The Album'"},
        {"100", "kind", "'MPEG audio file'"},
        {"100", "genre", "-"},
        {"100", "size", "5000000000"},
        {"100", "duration", "215000"},
        {"100", "diskNumber", "2"},
        {"100", "trackNumber", "7"},
        {"100", "playCount", "12"},
        {"100", "dateAdded", "1000"},
        {"100", "lastPlayDate", "-2082844800"},
        {"100", "isCompilation", "true"},
        {"100", "isDRM", "false"},
        {"100", "isPodcast", "true"},
        {"100", "artistMetadataKey", "'The Artist-The Album-Padded Title-2-7'"},
        {"101", "path", "'/Users/me/Music/\xC3\xA9t\xC3\xA9.m4a'"},
        {"101", "diskNumber", "3"},
        {"101", "diskCount", "-"},
        {"101", "dateAdded", "1262401445"},
        {"101", "lastPlayDate", "-"},  // a malformed date
        {"101", "isCompilation", "-"},
        {"102", "diskNumber", "5"},
        {"103", "diskNumber", "1"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.plistId) + " " + row.key);
        ASSERT_NE(scan.song(row.plistId), nullptr);
        EXPECT_EQ(shown(prop(scan.song(row.plistId), row.key)), row.stored);
    }
}

// Tracks without a usable file location are dropped; the library and special
// lists are skipped; duplicates map playlist items to the kept song; items
// are visited in their index keys' byte order. Whichever of Tracks and
// Playlists comes first.
TEST(ITunesMediaScanner, PlaylistsNameTheKeptSongsInIndexKeyOrder) {
    PlistWriter plist;
    Texts twelve;
    for (int i = 1; i <= 12; ++i) {
        fileTrack(plist, i, "/m/" + std::to_string(i) + ".mp3");
        twelve.push_back(std::to_string(i));
    }
    plist.track("101", {{"Track ID", xmlInteger(101)},
                        {"Location", xmlString("http://radio.example/stream.mp3")}});
    plist.track("102", {{"Track ID", xmlInteger(102)}, {"Name", xmlString("Nowhere")}});
    plist.track("103", {{"Track ID", xmlInteger(103)}, {"Location", xmlString("file://")}});
    plist.track("104", {{"Track ID", xmlInteger(104)}, {"Location", xmlString("file://hostonly")}});
    plist.track("105", {{"Track ID", xmlInteger(105)}, {"Location", xmlString("FILE:///a.mp3")}});
    fileTrack(plist, 106, "/ok.mp3");
    fileTrack(plist, 201, "/m/a.m4a", {{"Name", xmlString("T")}, {"Artist", xmlString("A")}});
    fileTrack(plist, 202, "/m/a.m4a");
    fileTrack(plist, 203, "/m/a.mp3", {{"Name", xmlString("T")}, {"Artist", xmlString("A")}});
    auto named = [](const char* name, const char* id) -> std::vector<scantest::Entry> {
        return {{"Name", xmlString(name)}, {"Playlist Persistent ID", xmlString(id)}};
    };
    auto master = named("Library", "M");
    master.push_back({"Master", xmlBool(true)});
    plist.playlist(master, {"1"});
    auto music = named("Music", "D");
    music.push_back({"Distinguished Kind", xmlInteger(4)});
    plist.playlist(music, {"1"});
    auto smart = named("Smart", "S");
    smart.push_back({"Smart Info", "<data>AQEAAwAAAAIAAAAZ</data>"});
    plist.playlist(smart, {"3", "999", "2"});
    plist.playlist(named("Empty", "E"), {}, false);
    plist.playlist(named("Twelve", "T"), twelve);
    plist.playlist(named("Mixed", "X"), {"101", "106", "102"});
    plist.playlist(named("Dup", "P"), {"203", "202", "201"});
    const std::map<std::string, Texts> expected = {
        {"Smart", {"m3mp3", "m2mp3"}},
        {"Empty", {}},
        {"Twelve",
         {"m1mp3", "m2mp3", "m11mp3", "m12mp3", "m3mp3", "m4mp3", "m5mp3", "m6mp3", "m7mp3",
          "m8mp3", "m9mp3", "m10mp3"}},
        {"Mixed", {"okmp3"}},
        {"Dup", {"mam4a", "mam4a", "mam4a"}},
    };
    for (bool playlistsFirst : {false, true}) {
        SCOPED_TRACE(playlistsFirst ? "playlists first" : "tracks first");
        auto scan = parseLibrary(plist.document(PlistWriter::kDoctype, playlistsFirst));
        std::map<std::string, Texts> lists;
        for (const auto* l : scan.playlists()) {
            lists[str(prop(l, "name"))] = songsOf(l);
            EXPECT_EQ(str(prop(l, "source")), "iTunes");
            EXPECT_EQ(shown(prop(l, "isSmartList")), str(prop(l, "id")) == "S" ? "true" : "-");
        }
        EXPECT_EQ(lists, expected);
        const auto* report = reportOf(scan.responses);
        ASSERT_NE(report, nullptr);
        EXPECT_EQ(num(prop(report, "playlistCount")), 5);
        EXPECT_EQ(num(prop(report, "uniqueSongCount")), 14);
        EXPECT_EQ(num(prop(report, "duplicateCount")), 2);
        EXPECT_EQ(entriesOfType(scan.responses, "replacement").size(), 1u);
    }
}

// A long playlist whose first item names no track (a song deleted from the
// library) keeps every later item under its own index; they are still taken
// in in linear time (one by one in file order, 300,000 took minutes).
TEST(ITunesMediaScanner, LongPlaylistAfterAnItemNamingNoTrackIsReadPromptly) {
    PlistWriter plist;
    fileTrack(plist, 1, "/m/1.mp3");
    fileTrack(plist, 2, "/m/2.mp3");
    Texts names{"999"}, indices;
    // Item i (its index in the list) names track 1 when i is odd, 2 when even.
    for (int i = 1; i <= 200000; ++i) {
        names.push_back(i % 2 ? "1" : "2");
        indices.push_back(std::to_string(i));
    }
    plist.playlist({{"Name", xmlString("Long")}}, names);
    std::sort(indices.begin(), indices.end());
    Texts expected;
    for (const auto& index : indices) expected.push_back(index.back() % 2 ? "m1mp3" : "m2mp3");
    for (bool playlistsFirst : {false, true}) {
        SCOPED_TRACE(playlistsFirst ? "playlists first" : "tracks first");
        const auto started = std::chrono::steady_clock::now();
        auto scan = parseLibrary(plist.document(PlistWriter::kDoctype, playlistsFirst));
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(60));
        ASSERT_EQ(scan.playlists().size(), 1u);
        EXPECT_TRUE(songsOf(scan.playlists()[0]) == expected);
    }
}

// A playlist keeps its first 2^20 items naming a track and drops the rest.
TEST(ITunesMediaScanner, APlaylistKeepsAtMostTwoToTheTwentiethItems) {
    PlistWriter plist;
    fileTrack(plist, 1, "/m/1.mp3");
    plist.playlist({{"Name", xmlString("Endless")}}, Texts(1048577, "1"));
    auto scan = parseLibrary(plist.document());
    ASSERT_EQ(scan.playlists().size(), 1u);
    EXPECT_TRUE(songsOf(scan.playlists()[0]) == Texts(1048576, "m1mp3"));
}

TEST(ITunesMediaScanner, DocumentCutOffKeepsWhatWasComplete) {
    PlistWriter plist;
    fileTrack(plist, 1, "/m/a.mp3");
    fileTrack(plist, 2, "/m/b.mp3");
    plist.playlist({{"Name", xmlString("Whole")}}, {"1", "2"});
    plist.playlist({{"Name", xmlString("Cut")}}, {"1"});
    // Cut in the playlists, or (playlists first) in the tracks: the playlists
    // then name the tracks that came before the cut.
    const struct {
        bool playlistsFirst;
        const char* cutBefore;  // the last occurrence of this text
        Texts playlists;
        Texts firstSongs;
        std::size_t songs;
        const char* out;
    } rows[] = {{false, "<key>Track ID</key>", {"Whole"}, {"mamp3", "mbmp3"}, 2, "line 39"},
                {true, "\t\t<key>2</key>", {"Whole", "Cut"}, {"mamp3"}, 1, "line 38"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.cutBefore);
        const std::string document = plist.document(PlistWriter::kDoctype, row.playlistsFirst);
        auto scan = parseLibrary(document.substr(0, document.rfind(row.cutBefore)));
        Texts names;
        for (const auto* list : scan.playlists()) names.push_back(str(prop(list, "name")));
        EXPECT_EQ(names, row.playlists);
        ASSERT_FALSE(scan.playlists().empty());
        EXPECT_EQ(songsOf(scan.playlists()[0]), row.firstSongs);
        EXPECT_EQ(scan.songs().size(), row.songs);
        EXPECT_EQ(scan.out,
                  "ITunesMediaScanner error: no element found at " + std::string(row.out) + "\n");
        ASSERT_NE(reportOf(scan.responses), nullptr);
        EXPECT_TRUE(isDone(scan.responses.back()));
    }
}

long peakRssKb() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

// Malformed and hostile documents end the parse with expat's error line and
// still report; entities are never expanded nor fetched.
TEST(ITunesMediaScanner, HostileDocumentsEndTheParseWithTheErrorLine) {
    TempDir dir;
    testsupport::writeFile(dir / "secret.txt", "SECRET-CONTENT");
    std::string laughs = "<!DOCTYPE plist [\n<!ENTITY lol0 \"lollollollollollollollollollol\">\n";
    for (int i = 1; i <= 12; ++i) {
        laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k) laughs += "&lol" + std::to_string(i - 1) + ";";
        laughs += "\">\n";
    }
    laughs += "]>\n";
    auto naming = [](const std::string& entity, const std::string& doctype) {
        PlistWriter plist;
        fileTrack(plist, 1, "/m/a.mp3", {{"Name", xmlString(entity)}});
        return plist.document(doctype);
    };
    const std::string secret = "file://" + dir / "secret.txt";
    std::string deep = "<plist>";
    for (int i = 0; i < 1000; ++i) deep += "<dict>";
    for (int i = 0; i < 1000; ++i) deep += "</dict>";
    const std::string name(5000, 'x');
    const struct {
        const char* name;
        std::string document;
        const char* out;
    } rows[] = {
        {"mismatched tag", "<plist>\n<dict>\n<key>Tracks</key>\n</plist>\n",
         "mismatched tag at line 4"},
        {"empty", "", "no element found at line 1"},
        {"billion laughs", naming("&lol12;", laughs), "parsing aborted at line 3"},
        {"external entity",
         naming("&ext;", "<!DOCTYPE plist [\n<!ENTITY ext SYSTEM \"" + secret + "\">\n]>\n"),
         "parsing aborted at line 3"},
        {"external DTD",
         naming("&ext;",
                "<!DOCTYPE plist [\n<!ENTITY % remote SYSTEM \"" + secret + "\">\n%remote;\n]>\n"),
         "parsing aborted at line 3"},
        {"deep nesting", deep + "</plist>", "parsing aborted at line 1"},
        {"overlong element name", "<plist>\n<" + name + "></" + name + "></plist>",
         "parsing aborted at line 2"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const long before = peakRssKb();
        auto scan = parseLibrary(row.document);
        EXPECT_EQ(scan.out, "ITunesMediaScanner error: " + std::string(row.out) + "\n");
        EXPECT_LT(peakRssKb() - before, 50 * 1024);
        EXPECT_TRUE(scan.songs().empty());
        ASSERT_NE(reportOf(scan.responses), nullptr);
        for (const auto& r : scan.responses)
            EXPECT_EQ(r->to_string().find("SECRET"), std::string::npos);
    }
}

// Counts songs; throws at the given one, or (0) takes 0.5 ms for each.
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

// Records come from a thread that replays what expat queued ahead of them
// (over 1 MB of events here: the queue fills). A processor that fails, or an
// interruption of the request's thread, ends the parse and the read-ahead.
TEST(ITunesMediaScanner, FailureOrInterruptionEndsTheParseAndTheReadAhead) {
    PlistWriter plist;
    for (int i = 1000; i < 6000; ++i)
        fileTrack(plist, i, "/m/" + std::to_string(i) + ".mp3",
                  {{"Name", xmlString(std::string(200, 'n'))}});
    const std::string document = plist.document();

    auto failing = boost::make_shared<StoppingSink>(5);
    Ostra::ITunes::ITunesMediaScanner scanner(failing);
    std::istringstream in(document);
    EXPECT_THROW(scanner.parseITunesLibrary(in), std::runtime_error);
    EXPECT_EQ(failing->songs, 5);

    auto slow = boost::make_shared<StoppingSink>(0);
    std::atomic<bool> interrupted{false};
    boost::thread scan([&] {
        Ostra::ITunes::ITunesMediaScanner interruptible(slow);
        std::istringstream again(document);
        try {
            interruptible.parseITunesLibrary(again);
        } catch (const boost::thread_interrupted&) {
            interrupted = true;
        }
    });
    while (slow->songs == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    scan.interrupt();
    scan.join();  // a read-ahead left waiting on a full queue would hang here
    EXPECT_TRUE(interrupted);
    EXPECT_LT(slow->songs, 5000);
}

// The scanner's lines among what the helper printed.
std::string scannerLines(const std::string& out) {
    std::istringstream in(out);
    std::string line, lines;
    while (std::getline(in, line))
        if (line.rfind("ITunesMediaScanner", 0) == 0) lines += line + "\n";
    return lines;
}

// Through the helper binary, with the library found under $HOME.
class ScanMediaLibs : public ::testing::Test {
  protected:
    void writeLibrary(const std::string& name, const std::string& document) {
        fs::create_directories(home / "Music/iTunes");
        testsupport::writeFile(home / ("Music/iTunes/" + name), document);
    }
    std::vector<Value> scan(TestHost& host, double batchSize = 100) {
        amf::amf_object arg;
        arg.set_numeric_property("batchSize", batchSize);
        return host.call("scanMediaLibs", &arg, std::chrono::seconds(20));
    }
    TempDir home;
};

// The library is "iTunes Music Library.xml", else "iTunes Library.xml", the
// first that is a regular file: one of another type is neither announced nor
// opened (a FIFO would block the open). Batches of two stream the records.
TEST_F(ScanMediaLibs, TheFirstRegularCandidateIsTheLibrary) {
    PlistWriter preferred;
    for (int i = 1; i <= 5; ++i) fileTrack(preferred, i, "/m/" + std::to_string(i) + ".mp3");
    preferred.playlist({{"Name", xmlString("Mine")}}, {"5", "1"});
    PlistWriter other;
    fileTrack(other, 9, "/other.mp3");
    std::string malformed = other.document();
    malformed.replace(malformed.find("<key>Playlists</key>"), 20, "<key>Playlists</wrong>");
    const struct {
        const char* name;
        std::string first;  // a document, or how the first candidate is made
        bool second;        // whether the second candidate is a library
        bool withHome;
        std::size_t responses;
        Texts paths;
        const char* out;
    } rows[] = {
        {"both",
         preferred.document(),
         true,
         true,
         5,
         {"/m/1.mp3", "/m/2.mp3", "/m/3.mp3", "/m/4.mp3", "/m/5.mp3"},
         ""},
        {"second alone", "", true, true, 2, {"/other.mp3"}, ""},
        {"no HOME", preferred.document(), true, false, 2, {}, ""},
        {"FIFO first", "mkfifo", true, true, 2, {"/other.mp3"}, ""},
        {"folder first", "mkdir", true, true, 2, {"/other.mp3"}, ""},
        {"FIFO alone", "mkfifo", false, true, 2, {}, ""},
        {"folder alone", "mkdir", false, true, 2, {}, ""},
        {"malformed",
         malformed,
         false,
         true,
         2,
         {"/other.mp3"},
         "ITunesMediaScanner error: mismatched tag at line 15\n"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const std::string folder = dir / "Music/iTunes";
        fs::create_directories(folder);
        const std::string first = folder + "/iTunes Music Library.xml";
        if (row.first == "mkfifo" || row.first == "mkdir") {
            ASSERT_EQ(testsupport::run(row.first + " '" + first + "'"), 0);
        } else if (!row.first.empty()) {
            testsupport::writeFile(first, row.first);
        }
        if (row.second) testsupport::writeFile(folder + "/iTunes Library.xml", other.document());
        TestHost host;
        host.startHelper({"HOME=" + (row.withHome ? dir.path() : std::string())});
        auto responses = scan(host, 2);
        EXPECT_EQ(host.quit(), 0);
        ASSERT_EQ(responses.size(), row.responses);
        ASSERT_NE(reportOf(responses), nullptr);
        ASSERT_TRUE(isDone(responses.back()));
        EXPECT_EQ(items(prop(responses[0], "data")).size(), row.paths.empty() ? 0u : 1u);
        if (!row.paths.empty()) {
            EXPECT_EQ(str(items(prop(responses[0], "data"))[0]), "iTunes");
        }
        Texts paths;
        for (const auto* s : entriesOfType(responses, "song"))
            paths.push_back(str(prop(s, "path")));
        std::sort(paths.begin(), paths.end());
        EXPECT_EQ(paths, row.paths);
        for (std::size_t i = 1; i + 1 < responses.size(); ++i)
            EXPECT_EQ(items(prop(responses[i], "data")).size(), 2u);
        EXPECT_EQ(num(prop(reportOf(responses), "uniqueSongCount")), row.paths.size());
        EXPECT_EQ(scannerLines(host.helper().out()), row.out);
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
    fileTrack(plist, 1, "/a.mp3");
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
    fileTrack(plist, 1, "/a.mp3");
    const std::string document = plist.document();
    const std::size_t at = document.find("\t<key>Playlists</key>");
    const struct {
        const char* shape;
        std::string token;   // inserted before the Playlists key
        std::string prolog;  // or as the DOCTYPE
        const char* out;
    } rows[] = {
        {"comment", "<!--" + huge + "-->", "", "line 15"},
        {"attribute value", "<key a=\"" + huge + "\">k</key>", "", "line 15"},
        {"attribute name", "<key a" + huge + "=\"1\">k</key>", "", "line 15"},
        {"element name", "<k" + huge + "/>", "", "line 15"},
        {"processing instruction", "<?pi " + huge + "?>", "", "line 15"},
        {"entity reference", "<key>&" + huge + ";</key>", "", "line 15"},
        {"DOCTYPE comment", "", "<!DOCTYPE plist [<!--" + huge + "-->]>\n", "line 2"},
        {"DOCTYPE system id", "", "<!DOCTYPE plist SYSTEM \"" + huge + "\">\n", "line 2"},
        {"text", "<key>Big</key><string>" + huge + "</string>", "", nullptr},
        {"CDATA", "<key>Big</key><string><![CDATA[" + huge + "]]></string>", "", nullptr},
    };
    TestHost host;
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
        auto responses = scan(host);
        ASSERT_FALSE(responses.empty());
        ASSERT_TRUE(isDone(responses.back())) << "no answer in 20 s";
        // Tracks before the token stand.
        EXPECT_EQ(entriesOfType(responses, "song").size(), row.prolog.empty() ? 1u : 0u);
        EXPECT_EQ(
            host.helper().out().substr(printed),
            row.out ? "ITunesMediaScanner error: parsing aborted at " + std::string(row.out) + "\n"
                    : "");
    }
    EXPECT_EQ(host.quit(), 0);
}

// Playlist items that name no track cost no memory: a playlist of 400,000 of
// them leaves the helper's peak where a small library puts it (kept, the
// items took over 100 MB), whichever comes first in the document.
TEST_F(ScanMediaLibs, PlaylistItemsNamingNoTrackAreNotKept) {
    PlistWriter plist;
    fileTrack(plist, 1, "/a.mp3");
    Texts strangers;
    for (int i = 0; i < 400000; ++i) strangers.push_back(std::to_string(1000000 + i));
    strangers.push_back("1");
    plist.playlist({{"Name", xmlString("Strangers")}}, strangers);
    for (bool playlistsFirst : {false, true}) {
        SCOPED_TRACE(playlistsFirst ? "playlists first" : "tracks first");
        writeLibrary("iTunes Music Library.xml",
                     plist.document(PlistWriter::kDoctype, playlistsFirst));
        TestHost host;
        host.startHelper({"HOME=" + home.path()});
        const long idle = testsupport::procStatusKib(host.helper().pid(), "VmHWM");
        auto responses = scan(host);
        const long peak = testsupport::procStatusKib(host.helper().pid(), "VmHWM");
        EXPECT_EQ(host.quit(), 0);
        auto lists = entriesOfType(responses, "playlist");
        ASSERT_EQ(lists.size(), 1u);
        EXPECT_EQ(songsOf(lists[0]), Texts{"amp3"});
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
    std::vector<Texts> frames;
    for (const char* order : {"desktop", "sorted"}) {
        SCOPED_TRACE(order);
        const std::string path = home / "Music/iTunes/iTunes Music Library.xml";
        fs::create_directories(home / "Music/iTunes");
        ASSERT_EQ(testsupport::run("python3 '" + script + "' '" + path + "' " + order), 0);
        const std::string written = testsupport::readFile(path);
        EXPECT_EQ(written.find("<key>Tracks</key>") < written.find("<key>Playlists</key>"),
                  std::string(order) == "desktop");
        TestHost host;
        host.startHelper({"HOME=" + home.path()});
        auto responses = scan(host, 3);
        EXPECT_EQ(host.quit(), 0);
        frames.emplace_back();
        for (const auto& response : responses)
            frames.back().push_back(testsupport::encodeValue(*prop(response, "data")));

        std::map<std::string, const amf::amf0_data_type*> byId;
        for (const auto* song : entriesOfType(responses, "song"))
            byId[str(prop(song, "songPlistId"))] = song;
        ASSERT_EQ(byId.size(), 5u);
        EXPECT_EQ(str(prop(byId["102"], "artistMetadataKey")), "Band-Double-Intro-2-1");
        // 2019-05-01T12:00:00Z from a date and from seconds since 1904.
        EXPECT_EQ(num(prop(byId["101"], "dateAdded")), 1556712000);
        EXPECT_EQ(num(prop(byId["101"], "lastPlayDate")), 1556712000);
        // 106: another artist on the same album, without album artists; 107: an m4a copy.
        Texts notices;
        for (const auto* notice : entriesOfType(responses, "duplicate"))
            notices.push_back(str(prop(notice, "type")) + " " + str(prop(notice, "key")));
        EXPECT_EQ(notices,
                  (Texts{"albumArtistMDK -Split-Shared-_-4", "artistMDK One-Split-Shared-_-4"}));
        auto lists = entriesOfType(responses, "playlist");
        ASSERT_EQ(lists.size(), 2u);
        EXPECT_EQ(songsOf(lists[0]),
                  (Texts{"UsersmeMusic104mp3", "UsersmeMusic102mp3", "UsersmeMusic101mp3",
                         "UsersmeMusic105mp3", "UsersmeMusic103mp3"}));
        EXPECT_TRUE(songsOf(lists[1]).empty());
    }
    EXPECT_EQ(frames[0], frames[1]);
}

}  // namespace

#include "scan/ITunesMediaScanner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "LoopbackRequest.h"
#include "amf/access.h"
#include "scan/MediaProcessor.h"

namespace {

namespace fs = boost::filesystem;
using namespace scantest;
using namespace testsupport;

// Writes iTunes-style property-list libraries: a Tracks dictionary and a
// Playlists array, with values written as given.
// One key and its value element, written verbatim (e.g. "<integer>3</integer>").
typedef std::pair<std::string, std::string> Entry;

std::string xmlInteger(long long v) {
    return "<integer>" + std::to_string(v) + "</integer>";
}
std::string xmlString(const std::string& v) {
    return "<string>" + v + "</string>";
}

class PlistWriter {
  public:
    void track(const std::string& trackId, const std::vector<Entry>& entries) {
        tracks_ += "\t\t<key>" + trackId + "</key>\n\t\t<dict>\n";
        for (const auto& e : entries)
            tracks_ += "\t\t\t<key>" + e.first + "</key>" + e.second + "\n";
        tracks_ += "\t\t</dict>\n";
    }
    // items: the "Track ID" of each playlist item; hasItems false leaves the
    // "Playlist Items" key out.
    void playlist(const std::vector<Entry>& entries, const std::vector<std::string>& items,
                  bool hasItems = true) {
        playlists_ += "\t\t<dict>\n";
        for (const auto& e : entries)
            playlists_ += "\t\t\t<key>" + e.first + "</key>" + e.second + "\n";
        if (hasItems) {
            playlists_ += "\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n";
            for (const auto& id : items)
                playlists_ += "\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key><integer>" + id +
                              "</integer>\n\t\t\t\t</dict>\n";
            playlists_ += "\t\t\t</array>\n";
        }
        playlists_ += "\t\t</dict>\n";
    }
    // Tracks before Playlists, as the desktop application writes them, or
    // Playlists first, as tools that sort keys do.
    std::string document(const std::string& doctype = kDoctype, bool playlistsFirst = false) const {
        const std::string tracks = "\t<key>Tracks</key>\n\t<dict>\n" + tracks_ + "\t</dict>\n";
        const std::string playlists =
            "\t<key>Playlists</key>\n\t<array>\n" + playlists_ + "\t</array>\n";
        return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + doctype +
               "<plist version=\"1.0\">\n<dict>\n"
               "\t<key>Major Version</key><integer>1</integer>\n"
               "\t<key>Music Folder</key><string>file:///Users/me/Music/</string>\n" +
               (playlistsFirst ? playlists + tracks : tracks + playlists) + "</dict>\n</plist>\n";
    }

    static constexpr const char* kDoctype =
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";

  private:
    std::string tracks_;
    std::string playlists_;
};

struct LibraryScan {
    std::vector<Value> responses;
    std::string out;  // what the scanner printed on standard output
    std::vector<const amf::amf0_data_type*> songs() const {
        return entriesOfType(responses, "song");
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

void fileTrack(PlistWriter& plist, int id, const std::string& path, std::vector<Entry> more = {}) {
    more.insert(more.begin(),
                {{"Track ID", xmlInteger(id)}, {"Location", xmlString("file://localhost" + path)}});
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

// Each row is a track of its own with the key and value given (and a file
// location unless the row gives one): what its record holds under the key.
// Numbers are read as lexical_cast reads them; epochs count seconds from 1904
// or are ISO 8601 UTC <date>s (expected seconds from `date -u +%s -d TIME`).
TEST(ITunesMediaScanner, TrackKeysAndTheirStoredValues) {
    const struct {
        const char* key;
        std::string value;
        const char* recordKey;
        const char* stored;
    } rows[] = {
        {"Name", xmlString("  Padded Title \t"), "title", "'Padded Title'"},
        {"Artist", xmlString("The Artist"), "artist", "'The Artist'"},
        {"Album Artist", xmlString("Various"), "albumArtist", "'Various'"},
        {"Album", xmlString("The Album"), "album", "'The Album'"},
        {"Genre", xmlString("Ignored"), "genre", "-"},
        {"Size", xmlInteger(5000000000LL), "size", "5000000000"},
        {"Total Time", xmlInteger(215000), "duration", "215000"},
        {"Track Number", xmlInteger(7), "trackNumber", "7"},
        {"Disk Number", xmlInteger(2), "diskNumber", "2"},
        {"Disc Number", xmlInteger(3), "diskNumber", "3"},
        {"disk number", xmlInteger(9), "diskNumber", "-"},
        {"Disc Count", xmlInteger(4), "diskCount", "-"},
        {"Compilation", "<true/>", "isCompilation", "true"},
        {"Protected", "<false/>", "isDRM", "false"},
        {"Podcast", xmlString("true"), "isPodcast", "true"},
        {"Podcast", xmlString("TRUE"), "isPodcast", "false"},
        {"Play Count", "<integer>007</integer>", "playCount", "7"},
        {"Play Count", "<integer>99999999999999999999</integer>", "playCount", "1e+20"},
        {"Play Count", "<real>12.5</real>", "playCount", "12.5"},
        {"Play Count", "<integer>nan</integer>", "playCount", "nan"},
        {"Play Count", "<integer></integer>", "playCount", "-"},
        {"Play Count", "<integer>12a</integer>", "playCount", "-"},
        {"Date Added", xmlInteger(2082844810LL), "dateAdded", "10"},
        {"Play Date", xmlInteger(0), "lastPlayDate", "-2082844800"},
        {"Date Added", "<date>2019-05-01T12:00:00Z</date>", "dateAdded", "1556712000"},
        {"Play Date", "<date>2010-01-02T03:04:05Z</date>", "lastPlayDate", "1262401445"},
        {"Date Added", "<date>2020-02-29T23:59:59Z</date>", "dateAdded", "1583020799"},
        {"Date Added", "<date>2019-02-29T12:00:00Z</date>", "dateAdded", "-"},  // no such day
        {"Date Added", "<date>2019-04-31T12:00:00Z</date>", "dateAdded", "-"},
        {"Date Added", "<date>2019-05-01T12:00:00</date>", "dateAdded", "-"},
        {"Play Date", "<date>2010-01-02 03:04:05</date>", "lastPlayDate", "-"},
        {"Date Added", "<date>3639556800</date>", "dateAdded", "-"},  // a number is no date
        {"Date Added", xmlString("2019-05-01T12:00:00Z"), "dateAdded", "-"},
        {"Location", xmlString("file://localhost/Users/me/Music/A%20B.mp3"), "path",
         "'/Users/me/Music/A B.mp3'"},
        {"Location", xmlString("file:///m/x%20y.mp3"), "id", "'mxymp3'"},
        {"Location", xmlString("file:///m/%C3%A9t%C3%A9.m4a"), "path",
         "'/m/\xC3\xA9t\xC3\xA9.m4a'"},
    };
    PlistWriter plist;
    int id = 0;
    for (const auto& row : rows) {
        ++id;
        if (std::string(row.key) == "Location") {
            plist.track(std::to_string(id), {{"Track ID", xmlInteger(id)}, {row.key, row.value}});
        } else {
            fileTrack(plist, id, "/m/" + std::to_string(id) + ".mp3", {{row.key, row.value}});
        }
    }
    auto scan = parseLibrary(plist.document());
    EXPECT_EQ(scan.out, "");
    id = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.key) + " " + row.value);
        const auto* song = scan.song(std::to_string(++id));
        ASSERT_NE(song, nullptr);
        EXPECT_EQ(shown(prop(song, row.recordKey)), row.stored);
    }
}

// Tracks without a usable file location are dropped; the library and special
// lists are skipped; duplicates map playlist items to the kept song. Whichever
// of Tracks and Playlists comes first.
TEST(ITunesMediaScanner, PlaylistsNameTheKeptSongs) {
    PlistWriter plist;
    for (int i = 1; i <= 3; ++i) fileTrack(plist, i, "/m/" + std::to_string(i) + ".mp3");
    const char* unusable[] = {"http://radio.example/a.mp3", "file://", "file://hostonly",
                              "FILE:///a.mp3"};
    for (int id = 101; id <= 104; ++id)
        plist.track(std::to_string(id),
                    {{"Track ID", xmlInteger(id)}, {"Location", xmlString(unusable[id - 101])}});
    plist.track("105", {{"Track ID", xmlInteger(105)}, {"Name", xmlString("Nowhere")}});
    fileTrack(plist, 106, "/ok.mp3");
    fileTrack(plist, 201, "/m/a.m4a", {{"Name", xmlString("T")}, {"Artist", xmlString("A")}});
    fileTrack(plist, 202, "/m/a.m4a");
    fileTrack(plist, 203, "/m/a.mp3", {{"Name", xmlString("T")}, {"Artist", xmlString("A")}});
    plist.playlist({{"Name", xmlString("Library")}, {"Master", "<true/>"}}, {"1"});
    plist.playlist({{"Name", xmlString("Music")}, {"Distinguished Kind", xmlInteger(4)}}, {"1"});
    plist.playlist({{"Name", xmlString("Smart")},
                    {"Playlist Persistent ID", xmlString("S")},
                    {"Smart Info", "<data>AQEAAwAAAAIAAAAZ</data>"}},
                   {"3", "999", "2"});
    plist.playlist({{"Name", xmlString("Empty")}}, {}, false);
    plist.playlist({{"Name", xmlString("Mixed")}}, {"101", "106", "105"});
    plist.playlist({{"Name", xmlString("Dup")}}, {"203", "202", "201"});
    const std::map<std::string, Texts> expected = {
        {"Smart", {"m3mp3", "m2mp3"}},
        {"Empty", {}},
        {"Mixed", {"okmp3"}},
        {"Dup", {"mam4a", "mam4a", "mam4a"}},
    };
    for (bool playlistsFirst : {false, true}) {
        SCOPED_TRACE(playlistsFirst ? "playlists first" : "tracks first");
        auto scan = parseLibrary(plist.document(PlistWriter::kDoctype, playlistsFirst));
        std::map<std::string, Texts> lists;
        for (const auto* l : scan.playlists()) {
            lists[str(prop(l, "name"))] = songsOf(l);
            const bool smart = str(prop(l, "name")) == "Smart";
            EXPECT_EQ(str(prop(l, "source")), "iTunes");
            EXPECT_EQ(shown(prop(l, "id")) + " " + shown(prop(l, "isSmartList")),
                      smart ? "'S' true" : "- -");
        }
        EXPECT_EQ(lists, expected);
        const auto* report = reportOf(scan.responses);
        ASSERT_NE(report, nullptr);
        EXPECT_EQ(num(prop(report, "playlistCount")), 4);
        EXPECT_EQ(num(prop(report, "uniqueSongCount")), 5);
        EXPECT_EQ(num(prop(report, "duplicateCount")), 2);
    }
}

// A long playlist whose first item names no track (a song deleted from the
// library) keeps every later item, in its index keys' byte order; they are
// taken in in linear time (one by one in file order, 300,000 took minutes).
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

// Counts what the scanner hands over; throws at the song given (0: never).
class CountingSink : public Ostra::IMediaProcessor {
  public:
    explicit CountingSink(int throwAt = 0) : throwAt_(throwAt) {}
    void processSongObject(amf::amf_object*) override {
        if (++songs == throwAt_) throw std::runtime_error("processor failed");
    }
    void processPlaylistObject(amf::amf_object*) override {}
    void finish() override {}
    void error(std::string) override {}
    int songs = 0;

  private:
    int throwAt_;
};

// Records come from a thread that replays what expat queued ahead of them
// (over 1 MB of events here: the queue fills). A processor that fails ends
// the parse and the read-ahead, which would otherwise wait on the full queue.
TEST(ITunesMediaScanner, FailureEndsTheParseAndTheReadAhead) {
    PlistWriter plist;
    for (int i = 1000; i < 6000; ++i)
        fileTrack(plist, i, "/m/" + std::to_string(i) + ".mp3",
                  {{"Name", xmlString(std::string(200, 'n'))}});
    auto failing = boost::make_shared<CountingSink>(5);
    Ostra::ITunes::ITunesMediaScanner scanner(failing);
    std::istringstream in(plist.document());
    EXPECT_THROW(scanner.parseITunesLibrary(in), std::runtime_error);
    EXPECT_EQ(failing->songs, 5);
}

// Cut-off, malformed and hostile documents end the parse with expat's error
// line; what came before stands and the report follows. Entities are never
// expanded nor fetched; one token past the bound (expat would take quadratic
// time over it in small reads) ends the parse, a long text or CDATA does not.
TEST(ITunesMediaScanner, MalformedDocumentsEndTheParseWithTheErrorLine) {
    TempDir dir;
    testsupport::writeFile(dir / "secret.txt", "SECRET-CONTENT");
    const std::string secret = "file://" + dir / "secret.txt";
    const std::string laughs = "<!DOCTYPE plist [\n<!ENTITY lol \"lollollol\">\n]>\n";
    std::string deep = "<plist>";
    for (int i = 0; i < 1000; ++i) deep += "<dict>";
    for (int i = 0; i < 1000; ++i) deep += "</dict>";
    PlistWriter two;
    fileTrack(two, 1, "/m/a.mp3");
    fileTrack(two, 2, "/m/b.mp3");
    two.playlist({{"Name", xmlString("Whole")}}, {"1", "2"});
    two.playlist({{"Name", xmlString("Cut")}}, {"1"});
    const std::string tracksFirst = two.document();
    const std::string playlistsFirst = two.document(PlistWriter::kDoctype, true);
    // A track (and one named as given), the text given, then the playlists.
    auto library = [](const std::string& doctype, const std::string& text, const char* name) {
        PlistWriter plist;
        fileTrack(plist, 1, "/m/a.mp3");
        if (*name) fileTrack(plist, 2, "/m/b.mp3", {{"Name", xmlString(name)}});
        std::string document = plist.document(doctype);
        return document.insert(document.find("\t<key>Playlists</key>"), text);
    };
    auto token = [&](const std::string& text) { return library(PlistWriter::kDoctype, text, ""); };
    const std::string huge(2 * 1024 * 1024, 'x'), name(5000, 'x');
    const std::string entity = "<!DOCTYPE plist [\n<!ENTITY ext SYSTEM \"" + secret + "\">\n]>\n";
    const char* aborted15 = "parsing aborted at line 15; 1 song";
    const struct {
        const char* name;
        std::string document;
        std::string expected;  // the error line's end; songs; playlists with their song ids
    } rows[] = {
        {"cut in the playlists", tracksFirst.substr(0, tracksFirst.rfind("<key>Track ID</key>")),
         "no element found at line 39; 2 songs; Whole: mamp3 mbmp3"},
        // The playlists then name the tracks that came before the cut.
        {"cut in the tracks", playlistsFirst.substr(0, playlistsFirst.rfind("\t\t<key>2</key>")),
         "no element found at line 38; 1 song; Whole: mamp3; Cut: mamp3"},
        {"mismatched tag", "<plist>\n<dict>\n<key>Tracks</key>\n</plist>\n",
         "mismatched tag at line 4; 0 songs"},
        {"empty", "", "no element found at line 1; 0 songs"},
        {"internal entity", library(laughs, "", "&lol;"), "parsing aborted at line 3; 0 songs"},
        {"external entity", library(entity, "", "&ext;"), "parsing aborted at line 3; 0 songs"},
        {"deep nesting", deep + "</plist>", "parsing aborted at line 1; 0 songs"},
        {"overlong element name", "<plist>\n<" + name + "></" + name + "></plist>",
         "parsing aborted at line 2; 0 songs"},
        {"comment", token("<!--" + huge + "-->"), aborted15},
        {"attribute value", token("<key a=\"" + huge + "\">k</key>"), aborted15},
        {"attribute name", token("<key a" + huge + "=\"1\">k</key>"), aborted15},
        {"element name", token("<k" + huge + "/>"), aborted15},
        {"processing instruction", token("<?pi " + huge + "?>"), aborted15},
        {"entity reference", token("<key>&" + huge + ";</key>"), aborted15},
        {"DOCTYPE comment", library("<!DOCTYPE plist [<!--" + huge + "-->]>\n", "", ""),
         "parsing aborted at line 2; 0 songs"},
        {"DOCTYPE system id", library("<!DOCTYPE plist SYSTEM \"" + huge + "\">\n", "", ""),
         "parsing aborted at line 2; 0 songs"},
        {"text", token("<key>Big</key><string>" + huge + "</string>"), "no error; 1 song"},
        {"CDATA", token("<key>Big</key><string><![CDATA[" + huge + "]]></string>"),
         "no error; 1 song"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const long before = procStatusKib(::getpid(), "VmHWM");
        auto scan = parseLibrary(row.document);
        const std::string prefix = "ITunesMediaScanner error: ";
        std::string got = scan.out.empty() ? "no error" : scan.out;
        if (got.rfind(prefix, 0) == 0 && got.back() == '\n')
            got = got.substr(prefix.size(), got.size() - prefix.size() - 1);
        got += "; " + std::to_string(scan.songs().size()) +
               (scan.songs().size() == 1 ? " song" : " songs");
        for (const auto* list : scan.playlists()) {
            got += "; " + str(prop(list, "name")) + ":";
            for (const auto& id : songsOf(list)) got += " " + id;
        }
        EXPECT_EQ(got, row.expected);
        EXPECT_LT(procStatusKib(::getpid(), "VmHWM") - before, 50 * 1024);
        ASSERT_NE(reportOf(scan.responses), nullptr);
        EXPECT_TRUE(isDone(scan.responses.back()));
        for (const auto& r : scan.responses)
            EXPECT_EQ(r->to_string().find("SECRET"), std::string::npos);
    }
}

// Through the helper binary, with the library found under $HOME.
class ScanMediaLibs : public ::testing::Test {
  protected:
    std::vector<Value> scan(TestHost& host) {
        amf::amf_object arg;
        arg.set_numeric_property("batchSize", 100);
        return host.call("scanMediaLibs", &arg, std::chrono::seconds(20));
    }
    // The scanner's lines among what the helper printed.
    static std::string scannerLines(const std::string& out) {
        std::istringstream in(out);
        std::string line, lines;
        while (std::getline(in, line))
            if (line.rfind("ITunesMediaScanner", 0) == 0) lines += line + "\n";
        return lines;
    }
    TempDir home;
    const std::string folder = home / "Music/iTunes";
};

// The library is "iTunes Music Library.xml", else "iTunes Library.xml", the
// first that is a regular file: one of another type is neither announced nor
// opened (a FIFO would block the open).
TEST_F(ScanMediaLibs, TheFirstRegularCandidateIsTheLibrary) {
    PlistWriter preferred;
    fileTrack(preferred, 1, "/m/1.mp3");
    fileTrack(preferred, 2, "/m/2.mp3");
    PlistWriter other;
    fileTrack(other, 9, "/other.mp3");
    std::string malformed = other.document();
    malformed.replace(malformed.find("<key>Playlists</key>"), 20, "<key>Playlists</wrong>");
    const struct {
        const char* name;
        std::string first;  // a document, or how the first candidate is made
        bool second;        // whether the second candidate is a library
        bool withHome;
        Texts paths;
        const char* out;  // the scanner's error line, less its prefix
    } rows[] = {
        {"both", preferred.document(), true, true, {"/m/1.mp3", "/m/2.mp3"}, ""},
        {"second alone", "", true, true, {"/other.mp3"}, ""},
        {"no HOME", preferred.document(), true, false, {}, ""},
        {"FIFO first", "mkfifo", true, true, {"/other.mp3"}, ""},
        {"folder alone", "mkdir", false, true, {}, ""},
        {"malformed", malformed, false, true, {"/other.mp3"}, "mismatched tag at line 15"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        testsupport::run("rm -rf '" + folder + "'");
        fs::create_directories(folder);
        const std::string first = folder + "/iTunes Music Library.xml";
        if (row.first == "mkfifo" || row.first == "mkdir") {
            ASSERT_EQ(testsupport::run(row.first + " '" + first + "'"), 0);
        } else if (!row.first.empty()) {
            testsupport::writeFile(first, row.first);
        }
        if (row.second) testsupport::writeFile(folder + "/iTunes Library.xml", other.document());
        TestHost host;
        host.startHelper({"HOME=" + (row.withHome ? home.path() : std::string())});
        auto responses = scan(host);
        EXPECT_EQ(host.quit(), 0);
        ASSERT_NE(reportOf(responses), nullptr);
        ASSERT_TRUE(isDone(responses.back()));
        const auto announced = items(prop(responses[0], "data"));
        EXPECT_EQ(announced.size() == 1 ? str(announced[0]) : std::to_string(announced.size()),
                  row.paths.empty() ? "0" : "iTunes");
        Texts paths;
        for (const auto* s : entriesOfType(responses, "song"))
            paths.push_back(str(prop(s, "path")));
        EXPECT_EQ(paths, row.paths);
        EXPECT_EQ(scannerLines(host.helper().out()),
                  *row.out ? "ITunesMediaScanner error: " + std::string(row.out) + "\n" : "");
    }
}

// Playlist items that name no track cost no memory: a playlist of 200,000 of
// them leaves the helper's peak where a small library puts it (under 1 MB
// above idle; kept, the items took about 50 MB), whichever comes first.
TEST_F(ScanMediaLibs, PlaylistItemsNamingNoTrackAreNotKept) {
    PlistWriter plist;
    fileTrack(plist, 1, "/a.mp3");
    Texts strangers;
    for (int i = 0; i < 200000; ++i) strangers.push_back(std::to_string(1000000 + i));
    strangers.push_back("1");
    plist.playlist({{"Name", xmlString("Strangers")}}, strangers);
    fs::create_directories(folder);
    for (bool playlistsFirst : {false, true}) {
        SCOPED_TRACE(playlistsFirst ? "playlists first" : "tracks first");
        testsupport::writeFile(folder + "/iTunes Music Library.xml",
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
        EXPECT_LT(peak - idle, 20 * 1024) << "idle " << idle << " KiB, peak " << peak << " KiB";
    }
}

// The library's name is swapped between a regular file and a FIFO while
// scans run: checking the name and then opening it would sooner or later
// open the FIFO and wait for a writer forever. Every scan must end.
TEST(ITunesMediaScannerFiles, NameSwappedToAFifoNeverBlocksTheScan) {
    TempDir home;
    fs::create_directories(home / "Music/iTunes");
    PlistWriter plist;
    fileTrack(plist, 1, "/a.mp3");
    testsupport::writeFile(home / "library.xml", plist.document());
    ASSERT_EQ(::mkfifo((home / "fifo").c_str(), 0600), 0);
    const std::string name = home / "Music/iTunes/iTunes Music Library.xml";
    const std::string other = home / "Music/iTunes/other";
    ASSERT_EQ(::symlink((home / "library.xml").c_str(), name.c_str()), 0);
    ASSERT_EQ(::symlink((home / "fifo").c_str(), other.c_str()), 0);
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", home.path().c_str(), 1);
    std::atomic<bool> stop{false}, done{false};
    std::atomic<int> scans{0}, read{0};
    std::thread swapper([&] {
        while (!stop) ::renameat2(AT_FDCWD, other.c_str(), AT_FDCWD, name.c_str(), RENAME_EXCHANGE);
    });
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
        done = true;
    });
    // A scan waiting on the FIFO stops the count for good.
    bool blocked = false;
    for (int i = 0, seen = -1, still = 0; i < 30 && !blocked; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        still = scans == seen ? still + 1 : 0;
        seen = scans;
        blocked = still > 15;
    }
    stop = true;
    swapper.join();
    // Release a scan that waits for a writer, so the test can end.
    for (; !done; std::this_thread::sleep_for(std::chrono::milliseconds(10)))
        ::close(::open((home / "fifo").c_str(), O_WRONLY | O_NONBLOCK));
    scanning.join();
    ::setenv("HOME", savedHome.c_str(), 1);
    EXPECT_FALSE(blocked) << "a scan waited on the FIFO after " << scans << " scans";
    EXPECT_GT(read, 0);
}

}  // namespace

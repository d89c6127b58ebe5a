// Tags read ahead on several threads must reach the processor exactly as a
// sequential walk gives them: same records, same bytes, same order.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <boost/make_shared.hpp>
#include <boost/thread/thread.hpp>
#include <future>
#include <string>
#include <vector>

#include "amf/amf0.h"
#include "scan/FSMediaScanner.h"
#include "support/TestHost.h"
#include "util/FileWorkers.h"

namespace {

namespace fs = boost::filesystem;
using testsupport::TempDir;

std::string encoded(const amf::amf_object& record) {
    std::vector<unsigned char> bytes(amf::get_size(&record));
    EXPECT_TRUE(amf::encode(bytes.data(), bytes.data() + bytes.size(), &record));
    return std::string(bytes.begin(), bytes.end());
}

// Keeps the encoded bytes of every song record, in arrival order.
class Recorder : public Ostra::IMediaProcessor {
  public:
    void processSongObject(amf::amf_object* song) override {
        records.push_back(encoded(*song));
        if (records.size() == signalAt) reached.set_value();
    }
    void processPlaylistObject(amf::amf_object*) override {}
    void finish() override {}
    void error(std::string message) override { errors.push_back(message); }

    std::vector<std::string> records;
    std::vector<std::string> errors;
    std::size_t signalAt = 0;
    std::promise<void> reached;
};

const std::vector<std::string> kExtensions = {"mp3", "m4a", "flac", "ogg"};

class ReadAhead : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        tree_ = new TempDir;
        const std::vector<std::pair<std::string, std::string>> sources = {
            {"a.mp3", "-metadata title=Alpha -metadata artist=One -metadata track=3"},
            {"b.m4a", "-metadata title=Beta -metadata album_artist=Two"},
            {"c.flac", "-metadata title=Gamma -metadata date=1999"},
            {"d.ogg", "-metadata title=Delta -metadata genre=Test"},
            {"e.mp3", "-map_metadata -1"}};
        for (const auto& source : sources) {
            const std::string command =
                "ffmpeg -nostdin -loglevel error -y -f lavfi -i sine=frequency=440:duration=1 " +
                source.second + " '" + (*tree_ / source.first) + "'";
            ASSERT_EQ(testsupport::run(command), 0) << command;
        }
        testsupport::writeFile(*tree_ / "junk.mp3", std::string(3000, '\x5a'));
        testsupport::writeFile(*tree_ / "empty.m4a", "");
        testsupport::writeFile(*tree_ / "notes.txt", "not audio");
        // A few thousand files over folders of uneven depth.
        const std::vector<std::string> names = {"a.mp3", "b.m4a",    "c.flac",    "d.ogg",
                                                "e.mp3", "junk.mp3", "empty.m4a", "notes.txt"};
        for (int i = 0; i < 3000; ++i) {
            fs::path folder = fs::path(tree_->path()) / "music";
            for (int level = 0; level <= i % 4; ++level)
                folder /= "f" + std::to_string((i / 7 + level) % 9);
            fs::create_directories(folder);
            const std::string& name = names[static_cast<std::size_t>(i) % names.size()];
            fs::create_hard_link(*tree_ / name, folder / (std::to_string(i) + "_" + name));
        }
    }
    static void TearDownTestSuite() {
        delete tree_;
        tree_ = nullptr;
    }
    static std::string music() { return *tree_ / "music"; }
    static TempDir* tree_;
};

TempDir* ReadAhead::tree_ = nullptr;

TEST_F(ReadAhead, RecordsMatchASequentialWalkByteForByte) {
    auto recorder = boost::make_shared<Recorder>();
    amf::amf_ecma_array list = testsupport::stringArray(kExtensions);
    Ostra::util::FileWorkers files(4);
    Ostra::FSMediaScanner scanner(recorder, music(), &list, &files);
    scanner.scanMediaLibrary();
    EXPECT_TRUE(recorder->errors.empty());

    // The sequential reference: the same pre-order walk, one file at a time.
    std::vector<std::string> expected;
    for (fs::recursive_directory_iterator it(music()), end; it != end; ++it) {
        if (!fs::is_regular_file(it->status())) continue;
        const std::string path = it->path().string();
        if (!scanner.filePathHasValidExtension(path)) continue;
        amf::amf_object song;
        song.set_string_property("path", path);
        scanner.fillInSongMetadataFromFile(&song, path);
        expected.push_back(encoded(song));
    }
    ASSERT_EQ(expected.size(), 2625u);
    ASSERT_EQ(recorder->records.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i)
        ASSERT_EQ(recorder->records[i], expected[i]) << "record " << i;

    // With one file worker, with a pool of none (every file read on the
    // scanning thread, the benchmark's sequential mode) and with no pool at
    // all, the records are the same.
    Ostra::util::FileWorkers one(1);
    Ostra::util::FileWorkers none(0);
    for (Ostra::util::FileWorkers* readers : {&one, &none, (Ostra::util::FileWorkers*)nullptr}) {
        SCOPED_TRACE(readers == nullptr ? -1 : static_cast<int>(readers->size()));
        auto again = boost::make_shared<Recorder>();
        Ostra::FSMediaScanner rescan(again, music(), &list, readers);
        rescan.scanMediaLibrary();
        EXPECT_TRUE(again->errors.empty());
        EXPECT_TRUE(again->records == recorder->records);
    }
}

TEST_F(ReadAhead, InterruptionEndsTheScanAndItsReaders) {
    auto recorder = boost::make_shared<Recorder>();
    recorder->signalAt = 10;
    std::future<void> reached = recorder->reached.get_future();
    amf::amf_ecma_array list = testsupport::stringArray(kExtensions);
    bool interrupted = false;
    Ostra::util::FileWorkers files(2);
    boost::thread scan([&] {
        Ostra::FSMediaScanner scanner(recorder, music(), &list, &files);
        try {
            scanner.scanMediaLibrary();
        } catch (const boost::thread_interrupted&) {
            interrupted = true;
        }
    });
    reached.wait();
    scan.interrupt();
    scan.join();
    EXPECT_TRUE(interrupted || recorder->records.size() == 2625u);
}

}  // namespace

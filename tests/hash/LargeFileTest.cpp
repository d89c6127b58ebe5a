// Files past 4 GiB, built sparse (a few written regions over a hole), so they
// cost no disk space. The expected digests are worked out in memory from the
// same layout, so only the generator reads the file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "HashTestSupport.h"
#include "hash/GetHasherForFile.h"
#include "support/MediaFixtures.h"
#include "support/TestHost.h"

namespace {

using hashtest::be64;
using hashtest::box;
using hashtest::noiseBytes;
using media::be32;

constexpr std::uint64_t kFourGiB = std::uint64_t(1) << 32;

class LargeFile : public ::testing::Test {
  protected:
    void SetUp() override {
        path = dir / "large.bin";
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override {
        if (fd >= 0) ::close(fd);
    }
    void writeAt(std::uint64_t offset, const std::string& bytes) {
        ASSERT_EQ(static_cast<ssize_t>(bytes.size()),
                  ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)));
        written[offset] = bytes;
    }
    std::string expected(const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges) {
        return hashtest::sha1OfSparseRanges(written, ranges);
    }
    // Renames the built file to name and hashes it through the factory.
    std::string hashAs(const std::string& name) {
        ::close(fd);
        fd = -1;
        const std::string named = dir / name;
        EXPECT_EQ(0, ::rename(path.c_str(), named.c_str()));
        std::unique_ptr<Ostra::FileHash::Generator> generator(Ostra::GetHasherForFile(named));
        std::string hash = "failed";
        if (!generator || !generator->getHashForFile(named, hash)) return "failed";
        return hash;
    }

    testsupport::TempDir dir;
    std::string path;
    int fd = -1;
    std::map<std::uint64_t, std::string> written;
};

TEST_F(LargeFile, Mp3PastFourGiBHashesWhole) {
    const std::string tag = hashtest::id3v2Tag("Large", 1000);
    const std::uint64_t payloadSize = kFourGiB + 70001;
    const std::uint64_t audioEnd = tag.size() + payloadSize;
    writeAt(0, tag + noiseBytes(4096, 1));
    // Markers either side of the 4 GiB line, where 32-bit offsets wrap.
    writeAt(kFourGiB - 100, noiseBytes(200, 2));
    writeAt(audioEnd - 5000, noiseBytes(5000, 3));
    writeAt(audioEnd, hashtest::id3v1Block("Trailer"));
    const std::string digest = expected({{tag.size(), payloadSize}});
    EXPECT_EQ(digest, hashAs("large.MP3"));
}

// A 64-bit "mdat" longer than 4 GiB, then boxes found past the 4 GiB line: a
// box to skip, a plain "mdat", and a size-0 "mdat" that runs to the end.
TEST_F(LargeFile, M4aPastFourGiBHashesEveryMdat) {
    const std::string ftyp = box("ftyp", "M4A mp42");
    const std::uint64_t bodySize = kFourGiB + 300;
    const std::string header = be32(1) + "mdat" + be64(16 + bodySize);
    const std::uint64_t bodyStart = ftyp.size() + header.size();
    const std::uint64_t bodyEnd = bodyStart + bodySize;
    writeAt(0, ftyp + header + noiseBytes(1000, 5));
    writeAt(kFourGiB - 10, noiseBytes(20, 6));
    writeAt(bodyEnd - 500, noiseBytes(500, 7));
    const std::string second = noiseBytes(10000, 8);
    const std::string third = noiseBytes(3000, 9);
    const std::string tail = box("moov", "index") + box("mdat", second) + be32(0) + "mdat" + third;
    writeAt(bodyEnd, tail);
    const std::uint64_t secondStart = bodyEnd + 8 + 5 + 8;
    const std::uint64_t thirdStart = bodyEnd + tail.size() - third.size();
    const std::string digest =
        expected({{bodyStart, bodySize}, {secondStart, second.size()}, {thirdStart, third.size()}});
    EXPECT_EQ(digest, hashAs("large.m4a"));
}

TEST_F(LargeFile, M4aSkipsA64BitBoxPastFourGiB) {
    const std::string ftyp = box("ftyp", "M4A mp42");
    const std::uint64_t freeSize = kFourGiB + 16 + 8;
    writeAt(0, ftyp + be32(1) + "free" + be64(freeSize));
    // A box where a skip cut to 32 bits would land.
    writeAt(ftyp.size() + 24, box("mdat", "wrapped skip"));
    const std::string body = noiseBytes(3000, 10);
    writeAt(ftyp.size() + freeSize, box("mdat", body));
    EXPECT_EQ(hashtest::sha1Hex(body), hashAs("skip.m4a"));
}

}  // namespace

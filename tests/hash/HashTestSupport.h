// Independent reference material for the payload-hash tests: SHA-1 straight
// from OpenSSL's one-shot call and hand-built tag and box bytes.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace hashtest {

// Hex SHA-1 of bytes, computed with EVP_Digest.
std::string sha1Hex(const std::string& bytes);
// Hex SHA-1 of the concatenated byte ranges [offset, offset + length) of a
// sparse file described by its written regions (offset to bytes, not
// overlapping); everything else reads as zeros. Computed in memory.
std::string sha1OfSparseRanges(const std::map<std::uint64_t, std::string>& written,
                               const std::vector<std::pair<std::uint64_t, std::uint64_t>>& ranges);

extern const std::string kEmptySha1;

// Pseudo-random bytes that never start a 128-byte block with "TAG".
std::string noiseBytes(std::size_t size, unsigned seed);

// An ID3v2 tag (header included) with one TIT2 frame and padding; its size
// field covers frames and padding. version is 3 or 4; with footer (v2.4
// only) the 10-byte footer is appended after the padding, outside the size.
std::string id3v2Tag(const std::string& title, std::size_t padding, int version = 3,
                     bool footer = false);
// A 128-byte ID3v1 block: "TAG" and the title, zero-filled.
std::string id3v1Block(const std::string& title);

std::string be64(std::uint64_t value);
// A box with a 32-bit size: size, type, body.
std::string box(const std::string& type, const std::string& body);

}  // namespace hashtest

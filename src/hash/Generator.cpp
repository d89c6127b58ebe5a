#include "hash/Generator.h"

#include <boost/thread/thread.hpp>
#include <exception>

#include "cache/FileCache.h"
#include "lib/openssl/Sha1.h"
#include "util/RegularFile.h"

namespace Ostra {
namespace FileHash {

namespace {

const std::string kKind = "hash";
// Raise it whenever the payload rules or the rendering change.
const std::string kVersion = "1";

}  // namespace

bool Generator::getHashForFile(const std::string& path, std::string& hash) {
    cache::FileCache* const cache = cache::processCache();
    cache::FileIdentity identity;
    if (cache != nullptr) {
        opened_ = util::RegularFile::open(path);
        if (opened_.isOpen()) {
            identity = cache::FileIdentity::of(opened_.status());
            std::string known;
            if (cache->find(path, kKind, kVersion, identity, known)) {
                opened_.close();
                hash.swap(known);
                return true;
            }
        }
    }
    const bool open = openFile(path);
    // openFile took the descriptor, unless it failed before reaching it.
    opened_.close();
    if (!open) return false;
    bool failed = false;
    {
        openssl::Sha1 sha;
        std::vector<unsigned char> buffer;
        std::uint64_t payloadBytes = 0;
        while (!failed && !endOfData()) {
            boost::this_thread::interruption_point();
            if (!readAudioData(kChunkSize, buffer) || !sha.update(buffer.data(), buffer.size())) {
                failed = true;
            }
            payloadBytes += buffer.size();
        }
        // No payload (an empty file, a lone tag, a tag running past the end,
        // boxes without audio bytes) is no audio: the digest of empty input
        // would give every such file the same hash, and a host that merges
        // files by hash would merge them all.
        if (payloadBytes == 0) failed = true;
        if (!failed) {
            try {
                unsigned int digest[openssl::kDigestWords];
                if (sha.finish(digest)) {
                    std::string text;
                    openssl::renderDigest(digest, text);
                    hash.swap(text);
                } else {
                    failed = true;
                }
            } catch (const std::exception&) {
                failed = true;
            }
        }
    }
    closeFile();
    if (!failed && cache != nullptr) cache->store(path, kKind, kVersion, identity, hash);
    return !failed;
}

Generator::FileHandle Generator::openRegularFile(const std::string& path, std::uint64_t& size) {
    util::RegularFile opened =
        opened_.isOpen() ? std::move(opened_) : util::RegularFile::open(path);
    if (!opened.isOpen()) return FileHandle();
    FileHandle file(::fdopen(opened.descriptor(), "rb"));
    if (!file) return FileHandle();
    opened.release();
    size = opened.size();
    return file;
}

bool Generator::closeHandle(FileHandle& file) {
    if (!file) return true;
    return std::fclose(file.release()) == 0;
}

}  // namespace FileHash
}  // namespace Ostra

// Hashers of an audio file's payload: the bytes left when the tag regions of
// the file's format are cut out, so that retagging keeps the hash.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "util/RegularFile.h"

namespace Ostra {
namespace FileHash {

// Abstract payload reader plus the SHA-1 driver over it. One generator serves
// one file at a time and one thread at a time; openFile closes any file still
// open, so a generator can be reused.
class Generator {
  public:
    virtual ~Generator() = default;

    // Opens the file and positions it at the first payload byte.
    virtual bool openFile(const std::string& path) = 0;
    // Replaces buffer with the next run of payload bytes, at most maxBytes.
    virtual bool readAudioData(unsigned long maxBytes, std::vector<unsigned char>& buffer) = 0;
    virtual bool endOfData() = 0;
    // True when nothing was open or the close succeeded.
    virtual bool closeFile() = 0;

    // SHA-1 over the whole payload, as 40 lowercase hex digits. False (the
    // output left as it was) also when the payload is empty. Passes a thread interruption point
    // between chunks, so a long file does not hold up shutdown. A file the
    // process's file cache knows unchanged answers from there unread.
    bool getHashForFile(const std::string& path, std::string& hash);

    // Every read asks for this many bytes. The MP3 trailer rule depends on
    // where the final chunk starts, so the digest depends on this value.
    static constexpr unsigned long kChunkSize = 65536;

  protected:
    struct FileClose {
        void operator()(std::FILE* file) const {
            if (file) std::fclose(file);
        }
    };
    typedef std::unique_ptr<std::FILE, FileClose> FileHandle;

    // Opens a regular file for reading and reports its size. Anything else
    // (a path holding a NUL byte, a directory, a FIFO that would block the
    // open, a device that never ends) is refused, so a path from the host can
    // neither hang nor feed an endless stream (RegularFile).
    // The descriptor getHashForFile opened for its cache lookup is the one
    // read, when there is one.
    FileHandle openRegularFile(const std::string& path, std::uint64_t& size);
    // Closes the handle; true when nothing was open or fclose succeeded.
    static bool closeHandle(FileHandle& file);

  private:
    // Opened by getHashForFile for the cache and handed to openFile.
    util::RegularFile opened_;
};

}  // namespace FileHash
}  // namespace Ostra

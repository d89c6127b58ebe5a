#pragma once

#include <taglib/tiostream.h>

#include <cstdint>
#include <string>

namespace Ostra {

// TagLib's input over a descriptor the caller holds open (it is not closed
// here), so TagLib reads the very file that was opened and checked, never a
// name again. Reads go by pread and stop at the size given, so a file that
// grows meanwhile cannot make a read larger than the file was. Writes are
// refused: tags are only ever read. One thread at a time, like any TagLib
// file.
//
// The stream also checks every ID3v2 tag TagLib reads through it before
// TagLib sees it (Id3v2TagWithinLimits): TagLib reads a tag as its 10-byte
// header and then, at once, the body, whichever file format holds the tag.
// A body that fails the check is handed over as empty padding and the stream
// remembers the refusal; the caller then treats the file as unreadable.
class DescriptorStream : public TagLib::IOStream {
  public:
    // name is what TagLib sees as the file name: it picks the file type by
    // its extension.
    DescriptorStream(int fd, std::string name, std::uint64_t size);

    TagLib::FileName name() const override;
    TagLib::ByteVector readBlock(unsigned long length) override;
    void writeBlock(const TagLib::ByteVector& data) override;
    void insert(const TagLib::ByteVector& data, unsigned long start = 0,
                unsigned long replace = 0) override;
    void removeBlock(unsigned long start = 0, unsigned long length = 0) override;
    bool readOnly() const override { return true; }
    bool isOpen() const override { return fd_ >= 0; }
    void seek(long offset, Position p = Beginning) override;
    long tell() const override;
    long length() override;
    void truncate(long length) override;

    // True once an ID3v2 tag read through this stream failed the check.
    bool refused() const { return refused_; }
    // True once a read was cut short because the reading thread was asked
    // to stop (a boost::thread interruption): the file then reads as ending
    // there, and what TagLib made of it must be thrown away.
    bool interrupted() const { return interrupted_; }

  private:
    TagLib::ByteVector readAt(std::uint64_t offset, std::uint64_t length);

    int fd_;
    std::string name_;
    std::uint64_t size_;
    std::uint64_t position_ = 0;
    // The last read, when it was 10 bytes that parse as an ID3v2 header: the
    // offset just past it and the tag size it gives.
    bool headerPending_ = false;
    std::uint64_t headerEnd_ = 0;
    TagLib::ByteVector header_;
    bool refused_ = false;
    bool interrupted_ = false;
};

}  // namespace Ostra

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
//
// FLAC's Vorbis comment block is checked the same way
// (XiphCommentWithinLimits): TagLib reads its 4-byte block header, then the
// body at once; and an APE tag's items (ApeItemsWithinLimits), which TagLib
// reads whole after its footer.
//
// So it does once TagLib has read kMaxBytesRead through the stream, or
// kMaxSmallBytesRead in reads of kSmallRead bytes or less: TagLib reads
// whatever sizes a file declares (an MP4 item, a FLAC block, a RIFF chunk, an
// APE tag of gigabytes in a sparse file) and keeps much of it, and it looks
// for frames through a file without any to its end, 1 KiB at a time (some
// 8 MB a second), so a file is otherwise bounded by nothing but its size,
// which a sparse file makes anything.
class DescriptorStream : public TagLib::IOStream {
  public:
    // Twice the largest ID3v2 tag (its size field counts to 256 MiB): room
    // for any real file, parsed once more as another format.
    static constexpr std::uint64_t kMaxBytesRead = 512u * 1024u * 1024u;
    // Headers and searches: a real file needs a few hundred KiB of them.
    static constexpr std::uint64_t kSmallRead = 4096;
    static constexpr std::uint64_t kMaxSmallBytesRead = 16u * 1024u * 1024u;

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

    // True once an ID3v2 tag read through this stream failed the check, or
    // a read would have taken the stream past its bounds.
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
    // The last read, when it was 4 bytes that read as the header of a FLAC
    // Vorbis comment block: the offset just past it and the body's length.
    bool commentPending_ = false;
    std::uint64_t commentEnd_ = 0;
    std::uint64_t commentLength_ = 0;
    // The last APE footer read: where its items lie, and how many it counts.
    bool apePending_ = false;
    std::uint64_t apeBodyOffset_ = 0;
    std::uint64_t apeBodyLength_ = 0;
    unsigned apeItems_ = 0;
    bool refused_ = false;
    bool interrupted_ = false;
    std::uint64_t bytesRead_ = 0;
    std::uint64_t smallBytesRead_ = 0;
};

}  // namespace Ostra

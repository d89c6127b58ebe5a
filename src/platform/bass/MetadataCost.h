#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <unordered_map>

namespace Ostra::bass {

// An estimate from above of the work FFmpeg spends on a file's metadata while
// opening and reading it, so that a file whose tags would hold a decoding
// thread for seconds is refused before FFmpeg sees it. FFmpeg keeps metadata
// in AVDictionary, a plain array: every av_dict_set first compares the new
// key, case-insensitively and character by character, with the entries
// before it; a repeated Vorbis comment key is appended to the value already
// there, copying it; and metadata conversions rebuild a dictionary entry by
// entry. Ten thousand fields therefore cost a second, and keys sharing a long
// prefix cost as many times more as the prefix is long: 2,000 fields with
// 1,000-byte keys held avformat_open_input for 6 s. A real file has tens of
// fields, some hundreds; the budget allows a few thousand short ones. Used
// by the one thread checking a file.
class MetadataCost {
  public:
    // What a repeated key does to the entry already there.
    enum class Repeat { Replace, Append };

    // One AVDictionary as FFmpeg fills it.
    class Dictionary {
      private:
        friend class MetadataCost;
        uint64_t entries_ = 0;
        // What one rebuild costs: every key compared with those before it,
        // every value copied.
        uint64_t rebuildWork_ = 0;
        // Keys short enough to recognise when repeated, folded as FFmpeg
        // compares them, with the length of the value kept under each.
        std::unordered_map<std::string, uint64_t> keys_;
    };

    // Keys up to this length are remembered; a longer key always counts as
    // a new entry, which overestimates and so stays safe.
    static constexpr size_t kRememberedKeyLength = 64;
    // One header FFmpeg reads and steps over, in characters compared: a
    // WAV, AIFF or FLAC chunk or an MP4 box takes it about a microsecond (it
    // seeks past each), an ID3v2 frame a tenth of that. A gigabyte of
    // zeros, sparse on disk, is a hundred million of them. Charged at half,
    // so that an MP4 file cut into a fragment per audio frame (a box every
    // few hundred bytes) still opens up to twenty minutes long.
    static constexpr uint64_t kChunkCost = 256;
    static constexpr uint64_t kFrameCost = 64;

    // A new, empty dictionary, owned by this estimate.
    Dictionary& dictionary();
    // One av_dict_set of a key of `keyLength` bytes whose text, ASCII letters
    // in upper case, is `key` when the length is at most
    // kRememberedKeyLength (an empty `key` is never taken for a repeat).
    void add(Dictionary& dictionary, const std::string& key, uint64_t keyLength,
             uint64_t valueLength, Repeat repeat);
    // A conversion that copies the dictionary entry by entry, `passes` times.
    void rebuild(Dictionary& dictionary, unsigned passes);
    // One more chapter: FFmpeg may look through those before it for its id.
    void chapter();
    // A lookup of a chapter by its id, through every chapter so far.
    void findChapter();
    // Bytes of compressed tag data FFmpeg inflates and keeps.
    void inflate(uint64_t bytes);
    // Bytes of tags those inflated bytes come from; each allows some inflation.
    void tagBytes(uint64_t bytes);
    // Work spent some other way.
    void spend(uint64_t units);
    // A structure that cannot be judged without more than the checks allow.
    void refuse() { refused_ = true; }

    // Past the budget: the walks may stop early.
    bool exceeded() const;

  private:
    std::deque<Dictionary> dictionaries_;
    uint64_t work_ = 0;
    uint64_t chapters_ = 0;
    uint64_t inflated_ = 0;
    uint64_t tagBytes_ = 0;
    bool refused_ = false;
};

// Upper-cases the ASCII letters of `text` as av_toupper does, nothing else.
std::string foldKey(const std::string& text);

}  // namespace Ostra::bass

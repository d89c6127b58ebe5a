#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "lib/ffmpeg/Owners.h"
#include "platform/bass/FileInput.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace Ostra::bass {

using Ostra::ffmpeg::CodecContextPtr;
using Ostra::ffmpeg::FormatContextPtr;
using Ostra::ffmpeg::FramePtr;
using Ostra::ffmpeg::PacketPtr;
using Ostra::ffmpeg::ResamplerPtr;

// One decode stream: the audio of one file as interleaved PCM at the source's
// own rate and channel count, signed 16-bit, or unsigned 8-bit for 8-bit PCM
// sources; or, when opened `native`, in the codec's own sample type (planar
// samples interleaved, nothing else converted). Not thread-safe by itself:
// callers hold mutex() around every call.
class DecodeStream {
  public:
    // Sets `error` to a BASS error code and returns null on failure.
    static std::unique_ptr<DecodeStream> open(const std::string& path, bool native, int& error);
    ~DecodeStream();
    DecodeStream(const DecodeStream&) = delete;
    DecodeStream& operator=(const DecodeStream&) = delete;

    std::mutex& mutex() { return mutex_; }

    int sampleRate() const { return sampleRate_; }
    int channels() const { return channels_; }
    int bytesPerSample() const { return bytesPerSample_; }
    bool floatSamples() const { return floatSamples_; }
    // The codec's own sample type, which a native stream delivers.
    int nativeBits() const { return nativeBits_; }
    bool nativeFloat() const { return nativeFloat_; }
    // The speaker positions the codec gives its channels, as FFmpeg's channel
    // mask (AV_CH_*); 0 when it names none.
    uint64_t channelMask() const { return channelMask_; }
    int frameBytes() const { return channels_ * bytesPerSample_; }
    uint64_t position() const { return position_; }
    // The status of the file read, from its descriptor at the open.
    const struct stat& fileStatus() const { return input_->status(); }

    // Decoded length in bytes: the container's figure, exact for PCM and FLAC
    // and an estimate for the lossy formats (from a VBR header, the bit rate,
    // the last page's position), as the container gives it without reading
    // the whole file. Never below the bytes decoded and pending, so a reader
    // that stops at the length asks again and finds the rest.
    uint64_t length();
    // True while decoded data remains (decodes ahead to find out).
    bool active();
    // Copies up to `count` bytes (rounded down to whole frames) into `out`, or
    // discards them when `out` is null. Returns the bytes produced; -1 when
    // the stream had already ended.
    int64_t read(uint8_t* out, uint64_t count);
    // The next decoded frames without a copy into the caller's buffer: one
    // pointer per channel when planar(), else one pointer to interleaved
    // frames, valid until the next call on the stream. Returns the number of
    // frames; -1 when the stream had already ended.
    int64_t readRun(const uint8_t* const*& planes);
    // A native stream of a planar codec with more than one channel: its
    // runs come one plane per channel, as the codec made them.
    bool planar() const { return planar_; }

  private:
    DecodeStream() = default;
    bool prime(int& error);
    uint64_t containerFrames() const;
    // Where a frame may go instead of the pending buffer: `room` bytes at
    // `to` (null: discard them); `written` says how many it took.
    // With `hold` set, a frame that needs no converting is kept in held_
    // instead, `written` then counting its frames.
    struct Direct {
        uint8_t* to;
        uint64_t room;
        uint64_t written;
        bool hold = false;
        bool held = false;
    };
    // Decodes until at least one more frame is pending, or written to
    // `direct`; false at the end.
    bool decodeMore(Direct* direct = nullptr);
    bool convert(const AVFrame& frame, Direct* direct);
    void interleave(const AVFrame& frame, uint8_t* out) const;
    // Whether `frame` can be handed as a run as it is.
    bool runLayout(const AVFrame& frame) const;
    bool configureResampler(const AVFrame& frame);
    bool flushResampler();
    uint8_t* appendSpace(uint64_t bytes);
    uint64_t pendingBytes() const { return pending_.size() - pendingOffset_; }

    std::mutex mutex_;
    bool native_ = false;
    // Declared before the format context, which reads through it, so that it
    // is destroyed after.
    std::unique_ptr<FileInput> input_;
    FormatContextPtr format_;
    CodecContextPtr codec_;
    ResamplerPtr resampler_;
    PacketPtr packet_;
    FramePtr frame_;
    // The frame the last run pointed into.
    FramePtr held_;
    int streamIndex_ = -1;

    int sampleRate_ = 0;
    int channels_ = 0;
    int bytesPerSample_ = 0;
    bool floatSamples_ = false;
    int nativeBits_ = 0;
    bool nativeFloat_ = false;
    bool planar_ = false;
    uint64_t channelMask_ = 0;
    AVSampleFormat outputFormat_ = AV_SAMPLE_FMT_NONE;
    AVChannelLayout outputLayout_{};
    // Input side of the resampler as configured, to notice a format change.
    int resamplerFormat_ = AV_SAMPLE_FMT_NONE;
    int resamplerRate_ = 0;
    AVChannelLayout resamplerLayout_{};

    // Leaves new elements uninitialised: every byte of the pending buffer is
    // written by a decoder or a converter before it is read, and zeroing it
    // first would be one more pass over all the audio.
    template <typename T>
    struct NoInitAllocator : std::allocator<T> {
        template <typename U>
        struct rebind {
            using other = NoInitAllocator<U>;
        };
        template <typename U>
        void construct(U* p) {
            ::new (static_cast<void*>(p)) U;
        }
        template <typename U, typename... Args>
        void construct(U* p, Args&&... args) {
            ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
        }
    };
    std::vector<uint8_t, NoInitAllocator<uint8_t>> pending_;
    uint64_t pendingOffset_ = 0;
    // Pending bytes of a planar stream's run, one plane after another, and
    // the pointers a run hands out.
    std::vector<uint8_t, NoInitAllocator<uint8_t>> runPlanes_;
    std::vector<const uint8_t*> runPointers_;
    uint64_t position_ = 0;
    uint64_t lengthEstimate_ = 0;
    bool inputDone_ = false;
    bool decoderDone_ = false;
    bool resamplerFlushed_ = false;
    bool ended_ = false;
};

}  // namespace Ostra::bass

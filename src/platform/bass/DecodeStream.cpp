#include "platform/bass/DecodeStream.h"

#include <algorithm>
#include <boost/thread/thread.hpp>
#include <cerrno>
#include <cstring>

#include "platform/bass/DemuxerLimits.h"
#include "platform/bass/bass.h"

extern "C" {
#include <libavutil/avstring.h>
#include <libavutil/opt.h>
}

namespace Ostra::bass {

namespace {

// Demuxers of the containers we decode (names as FFmpeg registers them).
const char kFormatWhitelist[] = "mp3,ogg,wav,aiff,flac,mov,mp4,m4a,3gp,3g2,mj2,aac";

// A stream claiming more than this is treated as damaged: one second of it
// must stay a reasonable allocation for the decoder's callers.
const int kMaxChannels = 32;
const int kMaxSampleRate = 768000;

// Nested opens by name (external references in a container, say) are
// refused: the stream reads its one descriptor and nothing else.
int refuseOpen(AVFormatContext*, AVIOContext**, const char*, int, AVDictionary**) {
    return AVERROR(EPERM);
}

// FFmpeg's loops over packets (the stream probe's among them) ask this
// between packets: a stop request ends them as it ends the input's reads.
int stopRequested(void*) {
    return boost::this_thread::interruption_requested() ? 1 : 0;
}

// Opens the audio read through `input` with FFmpeg, restricted to the audio
// containers we decode, so a host-supplied file can never reach a playlist
// demuxer. `name` only hints the container by its extension, as a file name
// does for FFmpeg's own file reader. The container is probed here, exactly as
// avformat_open_input would probe it, so that the file can be checked against
// what that demuxer will do with its metadata before FFmpeg reads it (see
// DemuxerLimits.h). Returns a negative FFmpeg error on failure.
int openInput(const FileInput& input, const std::string& name, FormatContextPtr& out) {
    const AVInputFormat* format = nullptr;
    int ret = av_probe_input_buffer2(input.context(), &format, name.c_str(), nullptr, 0, 0);
    if (ret < 0) return ret;
    if (av_match_list(format->name, kFormatWhitelist, ',') <= 0 ||
        !demuxerInputWithinLimits(input.descriptor(), input.size(), format->name))
        return AVERROR_INVALIDDATA;
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr) return AVERROR(ENOMEM);
    raw->pb = input.context();
    raw->io_open = &refuseOpen;
    raw->interrupt_callback.callback = &stopRequested;
    AVDictionary* options = nullptr;
    av_dict_set(&options, "format_whitelist", kFormatWhitelist, 0);
    ret = avformat_open_input(&raw, name.c_str(), format, &options);
    av_dict_free(&options);
    if (ret < 0) return ret;  // avformat_open_input freed the context
    out.reset(raw);
    return 0;
}

// Planar samples interleaved into `out`, copied as integers of their size
// (`Sample` may alias the codec's floats). Stereo, by far the most common
// case, gets a loop of its own.
template <typename Sample>
void interleaveSamples(const AVFrame& frame, int channels, uint8_t* out) {
    const size_t frames = static_cast<size_t>(frame.nb_samples);
    Sample* to = reinterpret_cast<Sample*>(out);
    if (channels == 2) {
        const Sample* left = reinterpret_cast<const Sample*>(frame.extended_data[0]);
        const Sample* right = reinterpret_cast<const Sample*>(frame.extended_data[1]);
        for (size_t i = 0; i < frames; ++i) {
            to[2 * i] = left[i];
            to[2 * i + 1] = right[i];
        }
        return;
    }
    for (int c = 0; c < channels; ++c) {
        const Sample* in = reinterpret_cast<const Sample*>(frame.extended_data[c]);
        for (size_t i = 0; i < frames; ++i) to[i * channels + c] = in[i];
    }
}

typedef uint8_t __attribute__((may_alias)) AnySample8;
typedef uint16_t __attribute__((may_alias)) AnySample16;
typedef uint32_t __attribute__((may_alias)) AnySample32;
typedef uint64_t __attribute__((may_alias)) AnySample64;

}  // namespace

std::unique_ptr<DecodeStream> DecodeStream::open(const std::string& path, bool native, int& error) {
    std::unique_ptr<DecodeStream> stream(new DecodeStream());
    stream->native_ = native;
    stream->input_ = FileInput::open(path);
    if (!stream->input_) {
        error = BASS_ERROR_FILEOPEN;
        return nullptr;
    }
    if (openInput(*stream->input_, path, stream->format_) < 0) {
        error = BASS_ERROR_FILEFORM;
        return nullptr;
    }
    stream->input_->progress();
    AVFormatContext* format = stream->format_.get();
    if (avformat_find_stream_info(format, nullptr) < 0) {
        error = BASS_ERROR_FILEFORM;
        return nullptr;
    }
    const AVCodec* decoder = nullptr;
    int index = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, -1, &decoder, 0);
    if (index < 0) {
        error = index == AVERROR_DECODER_NOT_FOUND ? BASS_ERROR_CODEC : BASS_ERROR_FILEFORM;
        return nullptr;
    }
    stream->streamIndex_ = index;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        if (static_cast<int>(i) != index) format->streams[i]->discard = AVDISCARD_ALL;
    }
    AVStream* audio = format->streams[index];
    stream->codec_.reset(avcodec_alloc_context3(decoder));
    stream->packet_.reset(av_packet_alloc());
    stream->frame_.reset(av_frame_alloc());
    stream->held_.reset(av_frame_alloc());
    if (!stream->codec_ || !stream->packet_ || !stream->frame_ || !stream->held_) {
        error = BASS_ERROR_MEM;
        return nullptr;
    }
    AVCodecContext* codec = stream->codec_.get();
    if (avcodec_parameters_to_context(codec, audio->codecpar) < 0) {
        error = BASS_ERROR_FILEFORM;
        return nullptr;
    }
    codec->pkt_timebase = audio->time_base;
    // A native stream asks the decoder for what fpcalc asks of it, so that
    // the fingerprint gets the samples fpcalc's converter gets (few codecs
    // heed it). The 16-bit stream keeps each codec's default output, which
    // the WAV files have always been converted from.
    if (native) codec->request_sample_fmt = AV_SAMPLE_FMT_S16;
    // ALAC decodes slowly enough to be worth spreading its frames over
    // threads, as the ffmpeg tool does by default. FLAC (and every other
    // format) decodes on the caller's thread: its frames decode so fast that
    // handing each to another thread costs a third more processor time, which
    // a second request or a second conversion lane would rather have.
    // A thread-sanitizer build needs FFmpeg suppressed (tests/audio/tsan.supp):
    // it cannot see the library's own hand-offs between its frame threads.
    if ((decoder->capabilities & AV_CODEC_CAP_FRAME_THREADS) && decoder->id == AV_CODEC_ID_ALAC) {
        codec->thread_count = 0;
        codec->thread_type = FF_THREAD_FRAME;
    } else {
        codec->thread_count = 1;
    }
    if (avcodec_open2(codec, decoder, nullptr) < 0) {
        error = BASS_ERROR_CODEC;
        return nullptr;
    }
    // Taken where fpcalc takes the layout it converts from: the opened codec.
    if (codec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE)
        stream->channelMask_ = codec->ch_layout.u.mask;
    if (!stream->prime(error)) return nullptr;

    stream->lengthEstimate_ =
        stream->containerFrames() * static_cast<uint64_t>(stream->frameBytes());
    return stream;
}

DecodeStream::~DecodeStream() {
    av_channel_layout_uninit(&outputLayout_);
    av_channel_layout_uninit(&resamplerLayout_);
}

// Decodes the first frame: it fixes the output format, and a file that yields
// no audio at all fails here rather than as an empty stream.
bool DecodeStream::prime(int& error) {
    if (!decodeMore()) {
        error = channels_ == 0 ? BASS_ERROR_FILEFORM : BASS_ERROR_DECODE;
        return false;
    }
    return true;
}

uint64_t DecodeStream::containerFrames() const {
    const AVStream* audio = format_->streams[streamIndex_];
    const AVRational rate{1, sampleRate_};
    const AVRounding up = static_cast<AVRounding>(AV_ROUND_UP | AV_ROUND_PASS_MINMAX);
    if (audio->duration != AV_NOPTS_VALUE && audio->duration > 0)
        return static_cast<uint64_t>(av_rescale_q_rnd(audio->duration, audio->time_base, rate, up));
    if (format_->duration != AV_NOPTS_VALUE && format_->duration > 0)
        return static_cast<uint64_t>(av_rescale_q_rnd(format_->duration, AV_TIME_BASE_Q, rate, up));
    return 0;
}

uint64_t DecodeStream::length() {
    active();
    return std::max(lengthEstimate_, position_ + pendingBytes());
}

bool DecodeStream::active() {
    if (pendingBytes() > 0) return true;
    if (ended_) return false;
    return decodeMore();
}

int64_t DecodeStream::read(uint8_t* out, uint64_t count) {
    const uint64_t frame = static_cast<uint64_t>(frameBytes());
    count -= count % frame;
    if (count > 0 && !active()) return -1;
    uint64_t produced = 0;
    while (produced < count) {
        if (pendingBytes() == 0) {
            // A frame that needs no converting and fits goes straight to the
            // caller: one pass less over the audio.
            Direct direct{out != nullptr ? out + produced : nullptr, count - produced, 0};
            if (!decodeMore(&direct)) break;
            produced += direct.written;
            continue;
        }
        uint64_t take = std::min(count - produced, pendingBytes());
        if (out != nullptr) std::memcpy(out + produced, pending_.data() + pendingOffset_, take);
        pendingOffset_ += take;
        produced += take;
    }
    position_ += produced;
    return static_cast<int64_t>(produced);
}

int64_t DecodeStream::readRun(const uint8_t* const*& planes) {
    av_frame_unref(held_.get());
    runPointers_.assign(static_cast<size_t>(channels_), nullptr);
    planes = runPointers_.data();
    if (pendingBytes() == 0) {
        Direct direct{nullptr, 0, 0, true, false};
        if (!decodeMore(&direct)) return -1;
        if (direct.held) {
            const AVFrame& frame = *held_;
            for (int c = 0; c < (planar_ ? channels_ : 1); ++c)
                runPointers_[static_cast<size_t>(c)] = frame.extended_data[c];
            position_ += direct.written * static_cast<uint64_t>(frameBytes());
            return static_cast<int64_t>(direct.written);
        }
    }
    // Frames that were converted, or decoded before the first run: handed
    // from the pending buffer, split into planes when the runs are planar.
    const uint64_t bytes = pendingBytes();
    const size_t frames = static_cast<size_t>(bytes / static_cast<uint64_t>(frameBytes()));
    const uint8_t* from = pending_.data() + pendingOffset_;
    if (planar_) {
        const size_t size = static_cast<size_t>(bytesPerSample_);
        const size_t stride = static_cast<size_t>(frameBytes());
        runPlanes_.resize(bytes);
        for (size_t c = 0; c < static_cast<size_t>(channels_); ++c) {
            uint8_t* to = runPlanes_.data() + c * frames * size;
            runPointers_[c] = to;
            for (size_t i = 0; i < frames; ++i)
                std::memcpy(to + i * size, from + i * stride + c * size, size);
        }
    } else {
        runPointers_[0] = from;
    }
    pendingOffset_ += bytes;
    position_ += bytes;
    return static_cast<int64_t>(frames);
}

uint8_t* DecodeStream::appendSpace(uint64_t bytes) {
    if (pendingOffset_ == pending_.size()) {
        pending_.clear();
        pendingOffset_ = 0;
    }
    size_t old = pending_.size();
    pending_.resize(old + bytes);
    return pending_.data() + old;
}

bool DecodeStream::decodeMore(Direct* direct) {
    AVCodecContext* codec = codec_.get();
    while (!ended_) {
        if (decoderDone_) {
            if (!flushResampler()) ended_ = true;
            return !ended_;
        }
        int ret = avcodec_receive_frame(codec, frame_.get());
        if (ret == 0) {
            bool converted = convert(*frame_, direct);
            if (direct != nullptr && direct->held) {
                av_frame_move_ref(held_.get(), frame_.get());
            } else {
                av_frame_unref(frame_.get());
            }
            if (!converted) {
                ended_ = true;
                return false;
            }
            if (pendingBytes() > 0 || (direct != nullptr && direct->written > 0)) return true;
            continue;
        }
        if (ret == AVERROR_EOF || inputDone_) {
            decoderDone_ = true;
            continue;
        }
        // EAGAIN, or a damaged packet: feed the next packet, as the ffmpeg
        // tool does, so one bad frame does not end the file.
        ret = av_read_frame(format_.get(), packet_.get());
        if (ret < 0) {
            inputDone_ = true;
            if (avcodec_send_packet(codec, nullptr) < 0) decoderDone_ = true;
            continue;
        }
        input_->progress();
        if (packet_->stream_index == streamIndex_) avcodec_send_packet(codec, packet_.get());
        av_packet_unref(packet_.get());
    }
    return false;
}

bool DecodeStream::convert(const AVFrame& frame, Direct* direct) {
    if (frame.nb_samples <= 0) return true;
    if (channels_ == 0) {
        const int channels = frame.ch_layout.nb_channels;
        if (channels < 1 || channels > kMaxChannels || frame.sample_rate < 1 ||
            frame.sample_rate > kMaxSampleRate)
            return false;
        const AVSampleFormat source = static_cast<AVSampleFormat>(frame.format);
        // The codec's own type, interleaved; 64-bit integers (which no codec
        // we decode uses) as the 64-bit float libswresample would make of them.
        AVSampleFormat nativeFormat = av_get_packed_sample_fmt(source);
        if (nativeFormat == AV_SAMPLE_FMT_S64) nativeFormat = AV_SAMPLE_FMT_DBL;
        if (nativeFormat == AV_SAMPLE_FMT_NONE) return false;
        nativeBits_ = av_get_bytes_per_sample(nativeFormat) * 8;
        nativeFloat_ = nativeFormat == AV_SAMPLE_FMT_FLT || nativeFormat == AV_SAMPLE_FMT_DBL;
        channels_ = channels;
        sampleRate_ = frame.sample_rate;
        if (native_) {
            outputFormat_ = nativeFormat;
        } else {
            outputFormat_ =
                av_get_bytes_per_sample(source) == 1 ? AV_SAMPLE_FMT_U8 : AV_SAMPLE_FMT_S16;
        }
        bytesPerSample_ = av_get_bytes_per_sample(outputFormat_);
        floatSamples_ = native_ && nativeFloat_;
        planar_ = native_ && channels > 1 && av_sample_fmt_is_planar(source);
        if (av_channel_layout_copy(&outputLayout_, &frame.ch_layout) < 0) return false;
    }
    // Already in the output format, or its planar form: a plain copy, or
    // the channels interleaved sample by sample.
    if (av_get_packed_sample_fmt(static_cast<AVSampleFormat>(frame.format)) == outputFormat_ &&
        frame.sample_rate == sampleRate_ &&
        av_channel_layout_compare(&frame.ch_layout, &outputLayout_) == 0 && !resampler_) {
        const uint64_t bytes = static_cast<uint64_t>(frame.nb_samples) * frameBytes();
        if (direct != nullptr && direct->hold && runLayout(frame)) {
            direct->written = static_cast<uint64_t>(frame.nb_samples);
            direct->held = true;
            return true;
        }
        uint8_t* out = nullptr;
        if (direct != nullptr && !direct->hold && bytes <= direct->room) {
            direct->written = bytes;
            out = direct->to;
            if (out == nullptr) return true;  // discarded
        } else {
            out = appendSpace(bytes);
        }
        if (frame.format == outputFormat_) {
            std::memcpy(out, frame.data[0], bytes);
        } else {
            interleave(frame, out);
        }
        return true;
    }
    if (!configureResampler(frame)) return false;
    const int room = swr_get_out_samples(resampler_.get(), frame.nb_samples);
    if (room < 0) return false;
    uint8_t* out = appendSpace(static_cast<uint64_t>(room) * frameBytes());
    const uint64_t start = out - pending_.data();
    int produced = swr_convert(resampler_.get(), &out, room,
                               const_cast<const uint8_t**>(frame.extended_data), frame.nb_samples);
    if (produced < 0) return false;
    pending_.resize(start + static_cast<uint64_t>(produced) * frameBytes());
    return true;
}

bool DecodeStream::runLayout(const AVFrame& frame) const {
    if (planar_) return av_sample_fmt_is_planar(static_cast<AVSampleFormat>(frame.format)) != 0;
    // One channel's plane is its interleaved form.
    return frame.format == outputFormat_ || channels_ == 1;
}

void DecodeStream::interleave(const AVFrame& frame, uint8_t* out) const {
    if (channels_ == 1) {
        std::memcpy(out, frame.extended_data[0],
                    static_cast<size_t>(frame.nb_samples) * bytesPerSample_);
        return;
    }
    switch (bytesPerSample_) {
        case 1:
            interleaveSamples<AnySample8>(frame, channels_, out);
            break;
        case 2:
            interleaveSamples<AnySample16>(frame, channels_, out);
            break;
        case 4:
            interleaveSamples<AnySample32>(frame, channels_, out);
            break;
        default:
            interleaveSamples<AnySample64>(frame, channels_, out);
            break;
    }
}

// The output format never changes; if the source changes format mid-stream
// (rate, layout or sample type), the resampler is rebuilt to keep delivering
// the format announced at the start.
bool DecodeStream::configureResampler(const AVFrame& frame) {
    if (resampler_ && frame.format == resamplerFormat_ && frame.sample_rate == resamplerRate_ &&
        av_channel_layout_compare(&frame.ch_layout, &resamplerLayout_) == 0)
        return true;
    if (resampler_) flushResampler();
    resampler_.reset();
    av_channel_layout_uninit(&resamplerLayout_);
    if (av_channel_layout_copy(&resamplerLayout_, &frame.ch_layout) < 0) return false;
    resamplerFormat_ = frame.format;
    resamplerRate_ = frame.sample_rate;
    SwrContext* raw = nullptr;
    if (swr_alloc_set_opts2(&raw, &outputLayout_, outputFormat_, sampleRate_, &resamplerLayout_,
                            static_cast<AVSampleFormat>(frame.format), frame.sample_rate, 0,
                            nullptr) < 0)
        return false;
    resampler_.reset(raw);
    if (swr_init(raw) < 0) {
        resampler_.reset();
        return false;
    }
    resamplerFlushed_ = false;
    return true;
}

// Drains what a rate-converting resampler still holds. False when nothing came out.
bool DecodeStream::flushResampler() {
    if (!resampler_ || resamplerFlushed_) return false;
    resamplerFlushed_ = true;
    const int room = swr_get_out_samples(resampler_.get(), 0);
    if (room <= 0) return false;
    uint8_t* out = appendSpace(static_cast<uint64_t>(room) * frameBytes());
    const uint64_t start = out - pending_.data();
    int produced = swr_convert(resampler_.get(), &out, room, nullptr, 0);
    pending_.resize(start + static_cast<uint64_t>(std::max(produced, 0)) * frameBytes());
    return produced > 0;
}

}  // namespace Ostra::bass

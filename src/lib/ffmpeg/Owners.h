// FFmpeg, wrapped once: one owner type per FFmpeg object the program keeps,
// each releasing it the one way FFmpeg wants.
#pragma once

#include <memory>

struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVIOContext;
struct AVPacket;
struct SwrContext;

namespace Ostra {
namespace ffmpeg {

struct FormatContextCloser {
    // avformat_close_input: the demuxer's own state and the streams go too.
    void operator()(AVFormatContext* context) const;
};
struct CodecContextFreer {
    void operator()(AVCodecContext* context) const;
};
struct FrameFreer {
    void operator()(AVFrame* frame) const;
};
struct PacketFreer {
    void operator()(AVPacket* packet) const;
};
struct ResamplerFreer {
    void operator()(SwrContext* context) const;
};
struct IoContextFreer {
    // Frees the context's current buffer as well: FFmpeg may have replaced
    // the one it was given, and the context does not own either.
    void operator()(AVIOContext* context) const;
};

typedef std::unique_ptr<AVFormatContext, FormatContextCloser> FormatContextPtr;
typedef std::unique_ptr<AVCodecContext, CodecContextFreer> CodecContextPtr;
typedef std::unique_ptr<AVFrame, FrameFreer> FramePtr;
typedef std::unique_ptr<AVPacket, PacketFreer> PacketPtr;
typedef std::unique_ptr<SwrContext, ResamplerFreer> ResamplerPtr;
typedef std::unique_ptr<AVIOContext, IoContextFreer> IoContextPtr;

}  // namespace ffmpeg
}  // namespace Ostra

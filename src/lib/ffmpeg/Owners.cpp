#include "lib/ffmpeg/Owners.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswresample/swresample.h>
}

namespace Ostra {
namespace ffmpeg {

void FormatContextCloser::operator()(AVFormatContext* context) const {
    avformat_close_input(&context);
}

void CodecContextFreer::operator()(AVCodecContext* context) const {
    avcodec_free_context(&context);
}

void FrameFreer::operator()(AVFrame* frame) const {
    av_frame_free(&frame);
}

void PacketFreer::operator()(AVPacket* packet) const {
    av_packet_free(&packet);
}

void ResamplerFreer::operator()(SwrContext* context) const {
    swr_free(&context);
}

void IoContextFreer::operator()(AVIOContext* context) const {
    av_freep(&context->buffer);
    avio_context_free(&context);
}

}  // namespace ffmpeg
}  // namespace Ostra

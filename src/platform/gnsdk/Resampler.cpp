#include "platform/gnsdk/Resampler.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace gnsdk_impl {

Resampler::~Resampler() {
    swr_free(&m_swr);
}

bool Resampler::Init(AVSampleFormat format, int sampleRate, int channels, uint64_t layout,
                     int outRate, std::string& why) {
    swr_free(&m_swr);
    m_swr = swr_alloc();
    if (m_swr == nullptr) {
        why = "out of memory";
        return false;
    }
    AVChannelLayout inLayout;
    if (layout != 0) {
        av_channel_layout_from_mask(&inLayout, layout);
    } else {
        av_channel_layout_default(&inLayout, channels);
    }
    AVChannelLayout outLayout = AV_CHANNEL_LAYOUT_MONO;
    av_opt_set_int(m_swr, "resampler", SWR_ENGINE_SWR, 0);
    av_opt_set_int(m_swr, "filter_size", 16, 0);
    av_opt_set_int(m_swr, "phase_shift", 8, 0);
    av_opt_set_int(m_swr, "linear_interp", 1, 0);
    av_opt_set_double(m_swr, "cutoff", 0.8, 0);
    av_opt_set_chlayout(m_swr, "in_chlayout", &inLayout, 0);
    av_opt_set_sample_fmt(m_swr, "in_sample_fmt", format, 0);
    av_opt_set_int(m_swr, "in_sample_rate", sampleRate, 0);
    av_opt_set_chlayout(m_swr, "out_chlayout", &outLayout, 0);
    av_opt_set_sample_fmt(m_swr, "out_sample_fmt", AV_SAMPLE_FMT_S16, 0);
    av_opt_set_int(m_swr, "out_sample_rate", outRate, 0);
    av_channel_layout_uninit(&inLayout);
    int ret = swr_init(m_swr);
    if (ret < 0) {
        char text[AV_ERROR_MAX_STRING_SIZE] = {0};
        av_strerror(ret, text, sizeof text);
        why = text;
        swr_free(&m_swr);
        return false;
    }
    return true;
}

int Resampler::Convert(const uint8_t* in, int frames) {
    if (m_swr == nullptr || in == nullptr || frames < 0) return -1;
    int capacity = swr_get_out_samples(m_swr, frames);
    if (capacity < 0) return -1;
    if (m_out.size() < static_cast<size_t>(capacity) + 1) m_out.resize(capacity + 1);
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(m_out.data())};
    const uint8_t* input[1] = {in};
    return swr_convert(m_swr, out, static_cast<int>(m_out.size()), input, frames);
}

}  // namespace gnsdk_impl

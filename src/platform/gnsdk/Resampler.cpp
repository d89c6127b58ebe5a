#include "platform/gnsdk/Resampler.h"

#include "lib/ffmpeg/Error.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libswresample/swresample.h>
}

namespace Ostra::gnsdk {

bool Resampler::Init(AVSampleFormat format, int sampleRate, int channels, uint64_t layout,
                     int outRate, std::string& why) {
    m_swr.reset(swr_alloc());
    if (!m_swr) {
        why = "out of memory";
        return false;
    }
    SwrContext* swr = m_swr.get();
    AVChannelLayout inLayout;
    if (layout != 0) {
        av_channel_layout_from_mask(&inLayout, layout);
    } else {
        av_channel_layout_default(&inLayout, channels);
    }
    AVChannelLayout outLayout = AV_CHANNEL_LAYOUT_MONO;
    av_opt_set_int(swr, "resampler", SWR_ENGINE_SWR, 0);
    av_opt_set_int(swr, "filter_size", 16, 0);
    av_opt_set_int(swr, "phase_shift", 8, 0);
    av_opt_set_int(swr, "linear_interp", 1, 0);
    av_opt_set_double(swr, "cutoff", 0.8, 0);
    av_opt_set_chlayout(swr, "in_chlayout", &inLayout, 0);
    av_opt_set_sample_fmt(swr, "in_sample_fmt", format, 0);
    av_opt_set_int(swr, "in_sample_rate", sampleRate, 0);
    av_opt_set_chlayout(swr, "out_chlayout", &outLayout, 0);
    av_opt_set_sample_fmt(swr, "out_sample_fmt", AV_SAMPLE_FMT_S16, 0);
    av_opt_set_int(swr, "out_sample_rate", outRate, 0);
    av_channel_layout_uninit(&inLayout);
    int ret = swr_init(swr);
    if (ret < 0) {
        why = Ostra::ffmpeg::errorText(ret);
        m_swr.reset();
        return false;
    }
    return true;
}

int Resampler::Convert(const uint8_t* const* in, int frames) {
    if (!m_swr || in == nullptr || in[0] == nullptr || frames < 0) return -1;
    int capacity = swr_get_out_samples(m_swr.get(), frames);
    if (capacity < 0) return -1;
    if (m_out.size() < static_cast<size_t>(capacity) + 1) m_out.resize(capacity + 1);
    uint8_t* out[1] = {reinterpret_cast<uint8_t*>(m_out.data())};
    return swr_convert(m_swr.get(), out, static_cast<int>(m_out.size()),
                       const_cast<const uint8_t**>(in), frames);
}

}  // namespace Ostra::gnsdk

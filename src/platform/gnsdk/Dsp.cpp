// The DSP library's feature calls. Each handle owns its own converter and
// Chromaprint context, so handles never share state. A write converts and
// fingerprints on the caller's thread: the caller is a file worker, and the
// other workers' files keep the other cores busy, so a thread per handle
// would only add a copy of every block and a hand-off per second of audio.

#include <chromaprint.h>

#include <mutex>
#include <new>
#include <string>
#include <unordered_set>

extern "C" {
#include <libavutil/avutil.h>
}

#include "platform/gnsdk/Feature.h"
#include "platform/gnsdk/Manager.h"
#include "platform/gnsdk/gnsdk.h"

struct gnsdk_feature_s {
    explicit gnsdk_feature_s(Ostra::gnsdk::Algorithm algorithm) : feature(algorithm) {}
    Ostra::gnsdk::Feature feature;
};

using Ostra::gnsdk::Fail;

namespace {

// The handles handed out and not yet released, so that a released or foreign
// pointer is refused instead of used. Only lookups take the lock; the work on
// a handle runs outside it.
struct LiveFeatures {
    std::mutex mutex;
    std::unordered_set<gnsdk_feature_s*> set;
};

LiveFeatures& Live() {
    static LiveFeatures* live = new LiveFeatures();
    return *live;
}

bool IsLive(gnsdk_dsp_feature_handle_t feature) {
    LiveFeatures& live = Live();
    std::lock_guard<std::mutex> lock(live.mutex);
    return live.set.count(feature) != 0;
}

}  // namespace

extern "C" {

gnsdk_error_t gnsdk_dsp_feature_audio_begin(gnsdk_user_handle_t user, gnsdk_cstr_t algorithm,
                                            gnsdk_uint32_t sample_rate,
                                            gnsdk_uint32_t bits_per_sample, gnsdk_uint32_t channels,
                                            gnsdk_dsp_feature_handle_t* p_feature) {
    const char* fn = "gnsdk_dsp_feature_audio_begin";
    if (p_feature == nullptr) return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_InvalidArg);
    *p_feature = nullptr;
    if (!Ostra::gnsdk::DspReady()) return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_NotInited);
    if (!Ostra::gnsdk::UserIsLive(user)) {
        return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_InvalidHandle, "user");
    }
    Ostra::gnsdk::Algorithm which;
    if (!Ostra::gnsdk::AlgorithmFromName(algorithm, which)) {
        return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_UnsupportedAlgorithm,
                    algorithm != nullptr ? algorithm : "(null)");
    }
    gnsdk_feature_s* feature = new (std::nothrow) gnsdk_feature_s(which);
    if (feature == nullptr) return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_NoMemory);
    std::string why;
    gnsdk_error_t code = feature->feature.Begin(sample_rate, bits_per_sample, channels, why);
    if (code != GNSDK_SUCCESS) {
        delete feature;
        return Fail(GNSDK_LOG_PKG_DSP, fn, code, why);
    }
    {
        LiveFeatures& live = Live();
        std::lock_guard<std::mutex> lock(live.mutex);
        live.set.insert(feature);
    }
    *p_feature = feature;
    return GNSDK_SUCCESS;
}

gnsdk_error_t gnsdk_dsp_feature_audio_channel_layout(gnsdk_dsp_feature_handle_t feature,
                                                     uint64_t channel_mask) {
    const char* fn = "gnsdk_dsp_feature_audio_channel_layout";
    if (!IsLive(feature)) return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_InvalidHandle);
    std::string why;
    gnsdk_error_t code = feature->feature.SetChannelLayout(channel_mask, why);
    return code == GNSDK_SUCCESS ? code : Fail(GNSDK_LOG_PKG_DSP, fn, code, why);
}

gnsdk_error_t gnsdk_dsp_feature_audio_write(gnsdk_dsp_feature_handle_t feature,
                                            const gnsdk_void_t* audio, gnsdk_size_t size,
                                            gnsdk_bool_t* p_complete) {
    const char* fn = "gnsdk_dsp_feature_audio_write";
    if (!IsLive(feature)) return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_InvalidHandle);
    if (audio == nullptr && size != 0) return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_InvalidArg);
    bool complete = false;
    std::string why;
    gnsdk_error_t code =
        feature->feature.Write(static_cast<const uint8_t*>(audio), size, complete, why);
    if (p_complete != nullptr) *p_complete = complete ? 1 : 0;
    return code == GNSDK_SUCCESS ? code : Fail(GNSDK_LOG_PKG_DSP, fn, code, why);
}

gnsdk_error_t gnsdk_dsp_feature_audio_write_planes(gnsdk_dsp_feature_handle_t feature,
                                                   const gnsdk_void_t* const* planes,
                                                   gnsdk_size_t frames, gnsdk_bool_t* p_complete) {
    const char* fn = "gnsdk_dsp_feature_audio_write_planes";
    if (!IsLive(feature)) return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_InvalidHandle);
    if (planes == nullptr && frames != 0) return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_InvalidArg);
    bool complete = false;
    std::string why;
    gnsdk_error_t code = feature->feature.WritePlanes(
        reinterpret_cast<const uint8_t* const*>(planes), frames, complete, why);
    if (p_complete != nullptr) *p_complete = complete ? 1 : 0;
    return code == GNSDK_SUCCESS ? code : Fail(GNSDK_LOG_PKG_DSP, fn, code, why);
}

gnsdk_error_t gnsdk_dsp_feature_end_of_write(gnsdk_dsp_feature_handle_t feature) {
    const char* fn = "gnsdk_dsp_feature_end_of_write";
    if (!IsLive(feature)) return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_InvalidHandle);
    if (feature->feature.Ended()) {
        Ostra::gnsdk::Log(GNSDK_LOG_PKG_DSP, GNSDK_LOG_LEVEL_WARNING,
                          "%s: end of write was already signalled", fn);
        return GNSDK_SUCCESS;
    }
    std::string why;
    gnsdk_error_t code = feature->feature.EndOfWrite(why);
    return code == GNSDK_SUCCESS ? code : Fail(GNSDK_LOG_PKG_DSP, fn, code, why);
}

gnsdk_error_t gnsdk_dsp_feature_retrieve_data(gnsdk_dsp_feature_handle_t feature,
                                              gnsdk_uint32_t* p_quality, gnsdk_cstr_t* p_data) {
    const char* fn = "gnsdk_dsp_feature_retrieve_data";
    if (p_data != nullptr) *p_data = nullptr;
    if (p_quality != nullptr) *p_quality = 0;
    if (!IsLive(feature)) return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_InvalidHandle);
    if (p_data == nullptr) return Fail(GNSDK_LOG_PKG_DSP, fn, DSPERR_InvalidArg);
    gnsdk_error_t code = feature->feature.Retrieve(p_quality, p_data);
    return code == GNSDK_SUCCESS ? code : Fail(GNSDK_LOG_PKG_DSP, fn, code);
}

gnsdk_error_t gnsdk_dsp_feature_release(gnsdk_dsp_feature_handle_t feature) {
    bool known;
    {
        LiveFeatures& live = Live();
        std::lock_guard<std::mutex> lock(live.mutex);
        known = live.set.erase(feature) != 0;
    }
    if (!known) {
        return Fail(GNSDK_LOG_PKG_DSP, "gnsdk_dsp_feature_release", DSPERR_InvalidHandle);
    }
    delete feature;
    return GNSDK_SUCCESS;
}

}  // extern "C"

gnsdk_cstr_t gnsdk_dsp_get_version(void) {
    // Built once, from the libraries loaded (not the headers built against).
    static const std::string version =
        std::string("Chromaprint ") + chromaprint_get_version() + ", FFmpeg " + av_version_info();
    return version.c_str();
}

// The fingerprint SDK's process-wide set-up, its error records, and the
// fingerprinter that feeds it decoded audio. Every SDK error record names this
// file, so everything that makes one lives here.

#include "fingerprint/Fingerprinter.h"

#include <boost/archive/iterators/base64_from_binary.hpp>
#include <boost/archive/iterators/transform_width.hpp>
#include <boost/thread/lock_guard.hpp>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <sstream>
#include <vector>

#include "audio/AudioHeader.h"
#include "cache/FileCache.h"
#include "util/RegularFile.h"
#include "util/Trace.h"

namespace cache = Ostra::cache;

namespace {

const char kReportingFile[] = "Fingerprinter.cpp";
const char kNoSource[] = "N/A";
// SDK log lines longer than this are cut: a record is meant to be read.
constexpr int kMaxLogLine = 64 * 1024;

}  // namespace

const char* const GNSDK_ALGORITHM_NAME[kAlgorithmCount] = {
    GNSDK_DSP_ALGORITHM_MICRO, GNSDK_DSP_ALGORITHM_NANO, GNSDK_DSP_ALGORITHM_CMX};

std::string LogGNSDKError(uint32_t code, const std::string& source, const std::string& message,
                          int line) {
    std::ostringstream text;
    text << "***ERROR***: GNSDK Error(" << std::hex << code << std::dec << "): " << message << "\n"
         << "\tSource File: " << source << "\n"
         << "\tFile: " << kReportingFile << "\n"
         << "\tLine: " << line << "\n";
    if (code != kAppError && code != kAppLogLine) {
        text << "\tError: " << gnsdk_manager_error_string(code) << "\n";
    }
    std::string record = text.str();
    Ostra::util::writeOutputLine(record + "\n");
    return record;
}

void gnsdk_manager_logging_callback(const void* /*user_data*/, uint16_t /*package_id*/,
                                    uint32_t mask, const char* format, va_list args) {
    if ((mask & 0x3u) == 0 || format == nullptr) return;
    // Called from inside the SDK: nothing may propagate out of here.
    try {
        va_list measure;
        va_copy(measure, args);
        int length = std::vsnprintf(nullptr, 0, format, measure);
        va_end(measure);
        if (length < 0) return;
        if (length > kMaxLogLine) length = kMaxLogLine;
        std::vector<char> message(static_cast<size_t>(length) + 1);
        std::vsnprintf(message.data(), message.size(), format, args);
        LogGNSDKError(kAppLogLine, kNoSource, message.data(), __LINE__);
    } catch (const std::exception&) {
    }
}

GNSDKSingleton GNSDKSingleton::m_inst;

GNSDKSingleton& GNSDKSingleton::Instance() {
    // A failed start-up is not retried, even when it left no manager handle.
    if (m_inst.m_managerHandle == nullptr && m_inst.m_lastError == 0) {
        std::string error;
        uint32_t code = m_inst.Initialize(error);
        if (code != 0) LogGNSDKError(code, kNoSource, error, __LINE__);
    }
    return m_inst;
}

uint32_t GNSDKSingleton::Initialize(std::string& error) {
    if (m_managerHandle != nullptr) return 0;
    boost::lock_guard<boost::mutex> lock(m_mutex);

    // Records the failure of one step and returns its code.
    auto fail = [this, &error](uint32_t code, const char* message, int line) {
        m_lastError = code;
        error = LogGNSDKError(code, kNoSource, message, line);
        m_lastErrorText = error;
        return code;
    };

    uint32_t code =
        gnsdk_manager_initialize(&m_managerHandle, kGNSDKInitData, std::strlen(kGNSDKInitData));
    m_lastError = code;
    if (code != 0) return fail(code, "gnsdk_manager_initialize failed", __LINE__);
    if (m_managerHandle == nullptr) {
        return fail(kAppError, "gnsdk_manager_initialize returned a bad handle", __LINE__);
    }
    code = gnsdk_manager_logging_register_package(kAppLogPackage, kAppLogPackageName);
    m_lastError = code;
    if (code != 0) return fail(code, "gnsdk_manager_logging_register_package failed", __LINE__);
    code = gnsdk_manager_logging_enable_callback(gnsdk_manager_logging_callback, nullptr,
                                                 GNSDK_LOG_PKG_ALL,
                                                 GNSDK_LOG_LEVEL_ERROR | GNSDK_LOG_LEVEL_WARNING);
    m_lastError = code;
    if (code != 0) return fail(code, "gnsdk_manager_logging_enable_callback failed", __LINE__);
    code = gnsdk_dsp_initialize(m_managerHandle);
    m_lastError = code;
    if (code != 0) return fail(code, "gnsdk_dsp_initialize failed", __LINE__);
    gnsdk_user_handle_t user = nullptr;
    code = gnsdk_manager_user_deserialize(kGNSDKStoredUser, &user);
    m_lastError = code;
    if (code != 0) return fail(code, "gnsdk_manager_user_deserialize failed", __LINE__);
    if (user == nullptr) {
        return fail(kAppError, "gnsdk_manager_user_deserialize returned a bad handle", __LINE__);
    }
    m_userHandle = user;
    return 0;
}

uint32_t GNSDKSingleton::GetUserHandle(gnsdk_user_handle_t& handle, std::string& error) {
    handle = nullptr;
    error.clear();
    if (m_lastError != 0) {
        error = m_lastErrorText;
        return m_lastError;
    }
    if (m_managerHandle == nullptr) {
        m_lastError = kAppError;
        error = LogGNSDKError(kAppError, kNoSource, "GN SDK Not initialized", __LINE__);
        return kAppError;
    }
    handle = m_userHandle;
    return 0;
}

GNSDKSingleton::~GNSDKSingleton() {
    boost::lock_guard<boost::mutex> lock(m_mutex);
    if (m_userHandle == nullptr) return;
    try {
        uint32_t code = gnsdk_manager_user_release(m_userHandle);
        if (code != 0)
            LogGNSDKError(code, kNoSource, "gnsdk_manager_user_release failed", __LINE__);
        code = gnsdk_dsp_shutdown();
        if (code != 0) LogGNSDKError(code, kNoSource, "gnsdk_dsp_shutdown failed", __LINE__);
        code = gnsdk_manager_shutdown();
        if (code != 0) LogGNSDKError(code, kNoSource, "gnsdk_manager_shutdown failed", __LINE__);
    } catch (const std::exception&) {
        // Printing failed at exit; nothing is left to report it to.
    }
    m_userHandle = nullptr;
}

bool FingerprintSystem::Init() {
    GNSDKSingleton& sdk = GNSDKSingleton::Instance();
    std::string error;
    uint32_t code = sdk.GetUserHandle(GNSDKFingerprinter::m_huser, error);
    if (code != 0) {
        GNSDKFingerprinter::m_huser = nullptr;
        Ostra::util::writeOutputLine(error + "\n");
        return false;
    }
    return GNSDKFingerprinter::m_huser != nullptr;
}

bool FingerprintSystem::IsInited() {
    return GNSDKFingerprinter::m_huser != nullptr;
}

bool FingerprintSystem::IsValidAlgorithm(const std::string& name) {
    for (const char* algorithm : GNSDK_ALGORITHM_NAME) {
        if (name == algorithm) return true;
    }
    return false;
}

boost::shared_ptr<IFingerprinter> FingerprintSystem::CreateFingerprinter() {
    return boost::shared_ptr<IFingerprinter>(new GNSDKFingerprinter());
}

std::string EncodeBase64NoPadding(const std::string& text) {
    typedef boost::archive::iterators::base64_from_binary<
        boost::archive::iterators::transform_width<std::string::const_iterator, 6, 8>>
        ToBase64;
    return std::string(ToBase64(text.begin()), ToBase64(text.end()));
}

FeatureHandles::~FeatureHandles() {
    for (gnsdk_dsp_feature_handle_t& handle : m_handles) {
        if (handle == nullptr) continue;
        uint32_t code = gnsdk_dsp_feature_release(handle);
        handle = nullptr;
        if (code != 0) {
            try {
                LogGNSDKError(code, kNoSource, "gnsdk_dsp_feature_release failed", __LINE__);
            } catch (const std::exception&) {
                // A destructor must not throw; the handle is gone either way.
            }
        }
    }
}

gnsdk_user_handle_t GNSDKFingerprinter::m_huser = nullptr;

namespace {

int AlgorithmIndex(const std::string& name) {
    for (int i = 0; i < kAlgorithmCount; ++i) {
        if (name == GNSDK_ALGORITHM_NAME[i]) return i;
    }
    return -1;
}

// What a fingerprint depends on besides the audio: this feeding loop and the
// SDK's libraries. Raise the number whenever the loop changes what it feeds.
const std::string& CacheVersion() {
    static const std::string version = std::string("1 ") + gnsdk_dsp_get_version();
    return version;
}

// Every requested fingerprint of an unchanged file, from the file cache; the
// file is opened only for its identity.
bool FindCached(cache::FileCache& cache, const std::string& path,
                const std::set<std::string>& algorithms,
                std::map<std::string, std::string>& fingerprints) {
    const Ostra::util::RegularFile file = Ostra::util::RegularFile::open(path);
    if (!file.isOpen()) return false;
    const cache::FileIdentity identity = cache::FileIdentity::of(file.status());
    std::map<std::string, std::string> found;
    for (const std::string& name : algorithms) {
        if (!cache.find(path, name, CacheVersion(), identity, found[name])) return false;
    }
    fingerprints.swap(found);
    return true;
}

}  // namespace

bool GNSDKFingerprinter::Fingerprint(boost::shared_ptr<IDecoder> decoder, const std::string& path,
                                     const std::set<std::string>& algorithms,
                                     std::map<std::string, std::string>& fingerprints,
                                     std::string& error) {
    fingerprints.clear();
    error.clear();
    auto fail = [&error, &path](uint32_t code, const std::string& message, int line) {
        error = LogGNSDKError(code, path, message, line);
        return false;
    };

    if (!decoder) return fail(kAppError, "invalid decoder", __LINE__);
    for (const std::string& name : algorithms) {
        if (!FingerprintSystem::IsValidAlgorithm(name)) {
            return fail(kAppError, "invalid algorithm specified for GNSDK: " + name, __LINE__);
        }
    }
    if (m_huser == nullptr) {
        return fail(kAppError, "Gracenote user handle not initialized", __LINE__);
    }
    // With no algorithm there is nothing to remember, and the decode itself
    // is the answer.
    cache::FileCache* const cache = algorithms.empty() ? nullptr : cache::processCache();
    if (cache != nullptr && FindCached(*cache, path, algorithms, fingerprints)) return true;
    // Before the decoder's open, so the file's times are judged no later
    // than its status is taken.
    const std::int64_t openedNs = cache::FileIdentity::realtimeNs();

    // The codec's own samples: the SDK converts them for the fingerprint the
    // way fpcalc converts what its decoder produces, and a conversion to
    // 16-bit on the way would round them differently.
    AudioHeader header;
    if (!decoder->StartDecode(path, 0, header, IDecoder::Output::Native)) {
        decoder->EndDecode(nullptr);
        return fail(kAppError, "failed to start decode", __LINE__);
    }

    struct stat source;
    const bool identified = cache != nullptr && decoder->SourceStatus(source);

    // The decoder's own frames where it can hand them out: no one-second
    // blocks to copy them into, and the decode stops within a frame of
    // where the fingerprints are complete. The first run says whether the
    // frames come as planes, which the features must know from the start.
    IDecoder::FrameRun run;
    IDecoder::Run next = decoder->NextRun(run);
    const bool runs = next != IDecoder::Run::Unsupported;
    const bool planar = runs && run.planar;

    // Releases whatever was begun on every way out from here.
    FeatureHandles handles;
    for (const std::string& name : algorithms) {
        int index = AlgorithmIndex(name);
        uint32_t code = gnsdk_dsp_feature_audio_begin(
            m_huser, name.c_str(), static_cast<gnsdk_uint32_t>(header.sampleRate),
            static_cast<gnsdk_uint32_t>(header.bytesPerSample * 8) |
                (header.isFloat ? GNSDK_DSP_SAMPLE_FLOAT : 0) |
                (planar ? GNSDK_DSP_SAMPLE_PLANAR : 0),
            static_cast<gnsdk_uint32_t>(header.channels), &handles.m_handles[index]);
        if (code != 0) {
            decoder->EndDecode(nullptr);
            return fail(code, "gnsdk_dsp_feature_audio_begin failed", __LINE__);
        }
        if (handles.m_handles[index] == nullptr) {
            decoder->EndDecode(nullptr);
            return fail(kAppError, "gnsdk_dsp_feature_audio_begin returned a bad handle", __LINE__);
        }
        // Which speakers the channels are decides how they are mixed down.
        if (header.channelLayout != 0) {
            code = gnsdk_dsp_feature_audio_channel_layout(handles.m_handles[index],
                                                          header.channelLayout);
            if (code != 0) {
                decoder->EndDecode(nullptr);
                return fail(code, "gnsdk_dsp_feature_audio_channel_layout failed", __LINE__);
            }
        }
    }

    // One block per pass, written to every algorithm. The final block, which
    // the decoder hands over together with `done`, is written as well, so a
    // file shorter than an algorithm's duration is fingerprinted over all of
    // its audio.
    bool complete = false;
    bool done = false;
    const size_t frameBytes = static_cast<size_t>(header.bytesPerSample) * header.channels;
    while (runs && next == IDecoder::Run::Frames) {
        complete = true;
        for (gnsdk_dsp_feature_handle_t handle : handles.m_handles) {
            if (handle == nullptr) continue;
            gnsdk_bool_t written = 0;
            uint32_t code =
                planar ? gnsdk_dsp_feature_audio_write_planes(
                             handle, reinterpret_cast<const gnsdk_void_t* const*>(run.planes),
                             run.frames, &written)
                       : gnsdk_dsp_feature_audio_write(handle, run.planes[0],
                                                       run.frames * frameBytes, &written);
            if (code != 0) {
                decoder->EndDecode(nullptr);
                return fail(code,
                            planar ? "gnsdk_dsp_feature_audio_write_planes failed"
                                   : "gnsdk_dsp_feature_audio_write failed",
                            __LINE__);
            }
            complete = complete && written != 0;
        }
        if (complete) break;
        next = decoder->NextRun(run);
    }
    if (runs) done = next == IDecoder::Run::End;
    std::vector<unsigned char> block;
    while (!runs) {
        bool more = decoder->StepDecode(block, done);
        bool finalBlock = !more && done && !block.empty();
        if ((!more && !finalBlock) || complete || block.empty()) break;
        complete = true;
        for (gnsdk_dsp_feature_handle_t handle : handles.m_handles) {
            if (handle == nullptr) continue;
            gnsdk_bool_t written = 0;
            uint32_t code =
                gnsdk_dsp_feature_audio_write(handle, block.data(), block.size(), &written);
            if (code != 0) {
                decoder->EndDecode(nullptr);
                return fail(code, "gnsdk_dsp_feature_audio_write failed", __LINE__);
            }
            complete = complete && written != 0;
        }
        if (finalBlock) break;
    }

    double seconds = 0.0;
    if (!decoder->EndDecode(&seconds)) return fail(kAppError, "failed to end decode", __LINE__);
    if (!complete && !done) {
        return fail(kAppError, "failed to generate an entire fingerprint", __LINE__);
    }

    for (const std::string& name : algorithms) {
        int index = AlgorithmIndex(name);
        gnsdk_dsp_feature_handle_t handle = handles.m_handles[index];
        uint32_t code = gnsdk_dsp_feature_end_of_write(handle);
        if (code != 0) return fail(code, "gnsdk_dsp_feature_end_of_write failed", __LINE__);
        gnsdk_uint32_t quality = 0;
        gnsdk_cstr_t text = nullptr;
        code = gnsdk_dsp_feature_retrieve_data(handle, index == 2 ? &quality : nullptr, &text);
        if (code != 0) return fail(code, "gnsdk_dsp_feature_retrieve_data failed", __LINE__);
        if (text == nullptr) {
            return fail(kAppError, "gnsdk_dsp_feature_retrieve_data returned invalid data (NULL)",
                        __LINE__);
        }
        if (text[0] == '\0') {
            return fail(kAppError, "gnsdk_dsp_feature_retrieve_data returned invalid data (EMPTY)",
                        __LINE__);
        }
        if ((quality & GNSDK_DSP_FEATURE_QUALITY_SHORT) != 0) {
            return fail(kAppError, "gnsdk_dsp_feature_retrieve_data returned invalid data (SHORT)",
                        __LINE__);
        }
        fingerprints[name] = index == 2 ? std::string(text) : EncodeBase64NoPadding(text);
    }
    if (identified) {
        const cache::FileIdentity identity = cache::FileIdentity::of(source, openedNs);
        for (const auto& fingerprint : fingerprints) {
            cache->store(path, fingerprint.first, CacheVersion(), identity, fingerprint.second);
        }
    }
    return true;
}

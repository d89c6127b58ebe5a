#include "platform/bass/bass.h"

#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/bass/DecodeStream.h"

extern "C" {
#include <libavutil/log.h>
}

namespace {

using Ostra::bass::DecodeStream;

// The FLAC plug-in's file name, as the decoder system loads it.
const char* const kFlacPluginNames[] = {"libbassflac.dylib", "libbassflac.so"};
const HPLUGIN kFlacPlugin = 1;

// Library-wide state. Never destroyed: the decoder system frees the library
// from a static destructor at exit, which may run after this would have died.
struct Library {
    std::mutex mutex;  // guards every field below
    bool inited = false;
    DWORD updatePeriod = 100;
    bool flacLoaded = false;
    DWORD nextHandle = 0x10000;
    std::map<DWORD, std::shared_ptr<DecodeStream>> streams;
};

Library& library() {
    static Library* instance = new Library();
    return *instance;
}

thread_local int t_lastError = BASS_OK;

BOOL fail(int code) {
    t_lastError = code;
    return 0;
}

template <typename T>
T failWith(int code, T value) {
    t_lastError = code;
    return value;
}

// The stream for a handle, kept alive by the returned pointer even if another
// thread frees the handle meanwhile.
std::shared_ptr<DecodeStream> findStream(DWORD handle) {
    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    auto it = lib.streams.find(handle);
    if (it == lib.streams.end()) return nullptr;
    return it->second;
}

bool flacAvailable() {
    return avcodec_find_decoder(AV_CODEC_ID_FLAC) != nullptr &&
           av_find_input_format("flac") != nullptr;
}

}  // namespace

extern "C" {

DWORD BASS_GetVersion() {
    return 0x02040000;
}

DWORD BASS_GetConfig(DWORD option) {
    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    t_lastError = BASS_OK;
    switch (option) {
        case BASS_CONFIG_UPDATEPERIOD:
            return lib.updatePeriod;
        case BASS_CONFIG_MP3_DECODER:
            return static_cast<DWORD>(-1);
        default:
            return failWith(BASS_ERROR_ILLTYPE, static_cast<DWORD>(-1));
    }
}

BOOL BASS_SetConfig(DWORD option, DWORD value) {
    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    if (option != BASS_CONFIG_UPDATEPERIOD) return fail(BASS_ERROR_ILLTYPE);
    lib.updatePeriod = value;
    t_lastError = BASS_OK;
    return 1;
}

HPLUGIN BASS_PluginLoad(const char* file, DWORD flags) {
    (void)flags;
    if (file == nullptr) return fail(BASS_ERROR_FILEOPEN);
    bool known = false;
    for (const char* name : kFlacPluginNames) known = known || std::strcmp(file, name) == 0;
    if (!known) return fail(BASS_ERROR_FILEOPEN);
    if (!flacAvailable()) return fail(BASS_ERROR_FILEFORM);
    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    if (lib.flacLoaded) return fail(BASS_ERROR_ALREADY);
    lib.flacLoaded = true;
    t_lastError = BASS_OK;
    return kFlacPlugin;
}

BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, const void* clsid) {
    (void)freq;
    (void)flags;
    (void)win;
    (void)clsid;
    if (device != 0) return fail(BASS_ERROR_DEVICE);
    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    if (lib.inited) return fail(BASS_ERROR_ALREADY);
    // The helper owns its standard streams; a damaged file must not spill
    // FFmpeg's diagnostics there.
    av_log_set_level(AV_LOG_QUIET);
    lib.inited = true;
    t_lastError = BASS_OK;
    return 1;
}

BOOL BASS_SetDevice(DWORD device) {
    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    if (device != 0) return fail(BASS_ERROR_DEVICE);
    if (!lib.inited) return fail(BASS_ERROR_INIT);
    t_lastError = BASS_OK;
    return 1;
}

BOOL BASS_Free() {
    std::map<DWORD, std::shared_ptr<DecodeStream>> doomed;
    {
        Library& lib = library();
        std::lock_guard<std::mutex> lock(lib.mutex);
        if (!lib.inited) return fail(BASS_ERROR_INIT);
        lib.inited = false;
        doomed.swap(lib.streams);
    }
    t_lastError = BASS_OK;
    return 1;
}

HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags) {
    {
        Library& lib = library();
        std::lock_guard<std::mutex> lock(lib.mutex);
        if (!lib.inited) return fail(BASS_ERROR_INIT);
    }
    if (mem || offset != 0 || length != 0) return fail(BASS_ERROR_NOTAVAIL);
    if ((flags & BASS_STREAM_DECODE) == 0) return fail(BASS_ERROR_NOTAVAIL);
    if (flags & BASS_SAMPLE_FLOAT) return fail(BASS_ERROR_FORMAT);
    if (file == nullptr) return fail(BASS_ERROR_FILEOPEN);
    const char* path = static_cast<const char*>(file);
    if (*path == '\0') return fail(BASS_ERROR_FILEOPEN);

    // Opening probes and decodes the first frame; it runs outside the table lock.
    int error = BASS_ERROR_UNKNOWN;
    std::shared_ptr<DecodeStream> stream(
        DecodeStream::open(path, (flags & BASS_SAMPLE_NATIVE) != 0, error));
    if (!stream) return fail(error);

    Library& lib = library();
    std::lock_guard<std::mutex> lock(lib.mutex);
    if (!lib.inited) return fail(BASS_ERROR_INIT);
    DWORD handle = lib.nextHandle;
    while (handle == 0 || lib.streams.count(handle) != 0) ++handle;
    lib.nextHandle = handle + 1;
    lib.streams.emplace(handle, std::move(stream));
    t_lastError = BASS_OK;
    return handle;
}

BOOL BASS_StreamFree(HSTREAM handle) {
    std::shared_ptr<DecodeStream> doomed;
    {
        Library& lib = library();
        std::lock_guard<std::mutex> lock(lib.mutex);
        auto it = lib.streams.find(handle);
        if (it == lib.streams.end()) return fail(BASS_ERROR_HANDLE);
        doomed = std::move(it->second);
        lib.streams.erase(it);
    }
    // Waits for a call still running on the stream, then releases it here,
    // outside the table lock.
    { std::lock_guard<std::mutex> lock(doomed->mutex()); }
    doomed.reset();
    t_lastError = BASS_OK;
    return 1;
}

BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info) {
    std::shared_ptr<DecodeStream> stream = findStream(handle);
    if (!stream) return fail(BASS_ERROR_HANDLE);
    if (info == nullptr) return fail(BASS_ERROR_ILLPARAM);
    std::lock_guard<std::mutex> lock(stream->mutex());
    std::memset(info, 0, sizeof *info);
    info->freq = static_cast<DWORD>(stream->sampleRate());
    info->chans = static_cast<DWORD>(stream->channels());
    info->flags = BASS_STREAM_DECODE | (stream->bytesPerSample() == 1 ? BASS_SAMPLE_8BITS : 0) |
                  (stream->floatSamples() ? BASS_SAMPLE_FLOAT : 0);
    info->origres = static_cast<DWORD>(stream->nativeBits()) |
                    (stream->nativeFloat() ? BASS_ORIGRES_FLOAT : 0) |
                    (stream->planar() ? BASS_ORIGRES_PLANAR : 0);
    t_lastError = BASS_OK;
    return 1;
}

QWORD BASS_ChannelGetLayout(DWORD handle) {
    std::shared_ptr<DecodeStream> stream = findStream(handle);
    if (!stream) return failWith(BASS_ERROR_HANDLE, static_cast<QWORD>(-1));
    std::lock_guard<std::mutex> lock(stream->mutex());
    t_lastError = BASS_OK;
    return stream->channelMask();
}

BOOL BASS_ChannelGetFileStatus(DWORD handle, struct stat* status) {
    std::shared_ptr<DecodeStream> stream = findStream(handle);
    if (!stream) return fail(BASS_ERROR_HANDLE);
    if (status == nullptr) return fail(BASS_ERROR_ILLPARAM);
    std::lock_guard<std::mutex> lock(stream->mutex());
    *status = stream->fileStatus();
    t_lastError = BASS_OK;
    return 1;
}

QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode) {
    std::shared_ptr<DecodeStream> stream = findStream(handle);
    if (!stream) return failWith(BASS_ERROR_HANDLE, static_cast<QWORD>(-1));
    if (mode != BASS_POS_BYTE) return failWith(BASS_ERROR_NOTAVAIL, static_cast<QWORD>(-1));
    std::lock_guard<std::mutex> lock(stream->mutex());
    t_lastError = BASS_OK;
    return stream->length();
}

DWORD BASS_ChannelIsActive(DWORD handle) {
    std::shared_ptr<DecodeStream> stream = findStream(handle);
    if (!stream) return failWith(BASS_ERROR_HANDLE, static_cast<DWORD>(BASS_ACTIVE_STOPPED));
    std::lock_guard<std::mutex> lock(stream->mutex());
    t_lastError = BASS_OK;
    return stream->active() ? BASS_ACTIVE_PLAYING : BASS_ACTIVE_STOPPED;
}

DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length) {
    const DWORD error = static_cast<DWORD>(-1);
    std::shared_ptr<DecodeStream> stream = findStream(handle);
    if (!stream) return failWith(BASS_ERROR_HANDLE, error);
    // Float, FFT and other special requests are not supported.
    if (length & BASS_DATA_FLAGS) return failWith(BASS_ERROR_ILLPARAM, error);
    std::lock_guard<std::mutex> lock(stream->mutex());
    int64_t produced = stream->read(static_cast<uint8_t*>(buffer), length);
    if (produced < 0) return failWith(BASS_ERROR_ENDED, error);
    t_lastError = BASS_OK;
    return static_cast<DWORD>(produced);
}

DWORD BASS_ChannelGetPlanes(DWORD handle, const void* const** planes) {
    const DWORD error = static_cast<DWORD>(-1);
    if (planes == nullptr) return failWith(BASS_ERROR_ILLPARAM, error);
    *planes = nullptr;
    std::shared_ptr<DecodeStream> stream = findStream(handle);
    if (!stream) return failWith(BASS_ERROR_HANDLE, error);
    std::lock_guard<std::mutex> lock(stream->mutex());
    const uint8_t* const* run = nullptr;
    int64_t frames = stream->readRun(run);
    if (frames < 0) return failWith(BASS_ERROR_ENDED, error);
    *planes = reinterpret_cast<const void* const*>(run);
    t_lastError = BASS_OK;
    return static_cast<DWORD>(frames);
}

QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode) {
    std::shared_ptr<DecodeStream> stream = findStream(handle);
    if (!stream) return failWith(BASS_ERROR_HANDLE, static_cast<QWORD>(-1));
    if (mode != BASS_POS_BYTE) return failWith(BASS_ERROR_NOTAVAIL, static_cast<QWORD>(-1));
    std::lock_guard<std::mutex> lock(stream->mutex());
    t_lastError = BASS_OK;
    return stream->position();
}

double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos) {
    std::shared_ptr<DecodeStream> stream = findStream(handle);
    if (!stream) return failWith(BASS_ERROR_HANDLE, -1.0);
    std::lock_guard<std::mutex> lock(stream->mutex());
    t_lastError = BASS_OK;
    return static_cast<double>(pos) /
           (static_cast<double>(stream->frameBytes()) * stream->sampleRate());
}

int BASS_ErrorGetCode() {
    return t_lastError;
}

}  // extern "C"

#if defined(__SANITIZE_THREAD__)
// FFmpeg's frame threads and buffer reference counts synchronise through
// atomics compiled without TSan instrumentation, so TSan sees buffers
// allocated on a decoder thread and freed by the caller as racing. Those
// reports are about FFmpeg's own, uninstrumented synchronisation.
extern "C" const char* __tsan_default_suppressions() {
    return "race:libavcodec.so\n"
           "race:libavutil.so\n";
}
#endif

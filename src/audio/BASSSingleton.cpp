#include "audio/BASSSingleton.h"

#include "platform/bass/bass.h"
#include "util/Trace.h"

const char* const PLUGINS[] = {"libbassflac.dylib"};
const size_t PLUGINS_COUNT = sizeof PLUGINS / sizeof PLUGINS[0];

const char* const BASSEXTENSIONS[] = {".mp3",  ".ogg",  ".wav", ".aif",
                                      ".aiff", ".flac", ".m4a", ".aac"};
const size_t BASSEXTENSIONS_COUNT = sizeof BASSEXTENSIONS / sizeof BASSEXTENSIONS[0];

BASSSingleton BASSSingleton::m_inst;

BASSSingleton::~BASSSingleton() {
    boost::mutex::scoped_lock lock(m_mutex);
    if (m_inited) BASS_Free();
}

bool BASSSingleton::Init() {
    boost::mutex::scoped_lock lock(m_mutex);
    if (m_inited) return true;
    if ((BASS_GetVersion() & 0xFFFF0000) != 0x02040000) return false;
    // Only the build without its own MP3 decoder may ship: it answers -1.
    if (BASS_GetConfig(BASS_CONFIG_MP3_DECODER) != static_cast<DWORD>(-1)) {
        Ostra::util::writeOutputLine("OstraNative is not using the mp3-free version of bass\n");
        return false;
    }
    for (size_t i = 0; i < PLUGINS_COUNT; ++i) {
        if (BASS_PluginLoad(PLUGINS[i], 0) == 0) return false;
    }
    // A decode-only set-up: no playback thread needs waking.
    if (!BASS_SetConfig(BASS_CONFIG_UPDATEPERIOD, 0)) return false;
    if (!BASS_Init(0, 44100, 0, nullptr, nullptr)) return false;
    if (!BASS_SetDevice(0)) return false;
    m_inited = true;
    return true;
}

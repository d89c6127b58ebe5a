// The decoding library's C interface, implemented over FFmpeg. Only the calls,
// constants and results the decoder system relies on are provided.
//
// Every function may be called from any thread. Stream handles live in a
// locked table; calls on one stream are serialised by that stream's own lock,
// so different streams decode in parallel. The error code of the last call is
// kept per thread.
#pragma once

#include <sys/stat.h>

#include <cstdint>

typedef uint32_t DWORD;
typedef uint64_t QWORD;
typedef int BOOL;
typedef DWORD HSTREAM;
typedef DWORD HPLUGIN;

#define BASSVERSION 0x204

// Configuration options.
#define BASS_CONFIG_UPDATEPERIOD 1
// Answered with -1: this build carries no MP3 decoder of its own.
#define BASS_CONFIG_MP3_DECODER 35

// Stream and sample flags.
#define BASS_SAMPLE_8BITS 1
#define BASS_SAMPLE_FLOAT 256
#define BASS_STREAM_DECODE 0x200000
// This build's own creation flag: the stream delivers the codec's own sample
// type unconverted (interleaved) instead of 16-bit: 32-bit float for the
// lossy codecs, 16- or 32-bit signed integers for PCM, FLAC and ALAC,
// unsigned 8-bit, or 64-bit float. BASS_ChannelGetInfo reports which.
#define BASS_SAMPLE_NATIVE 0x400000

// In BASS_CHANNELINFO.origres: the codec's own samples are floating point.
#define BASS_ORIGRES_FLOAT 0x10000
// In BASS_CHANNELINFO.origres: BASS_ChannelGetPlanes hands the native
// stream's frames one plane per channel.
#define BASS_ORIGRES_PLANAR 0x20000

// Position modes.
#define BASS_POS_BYTE 0

// Flags in the length argument of BASS_ChannelGetData.
#define BASS_DATA_AVAILABLE 0
#define BASS_DATA_FLOAT 0x40000000
#define BASS_DATA_FLAGS 0xC0000000u

// Channel activity.
#define BASS_ACTIVE_STOPPED 0
#define BASS_ACTIVE_PLAYING 1

// Error codes.
#define BASS_OK 0
#define BASS_ERROR_MEM 1
#define BASS_ERROR_FILEOPEN 2
#define BASS_ERROR_HANDLE 5
#define BASS_ERROR_FORMAT 6
#define BASS_ERROR_INIT 8
#define BASS_ERROR_ALREADY 14
#define BASS_ERROR_ILLTYPE 19
#define BASS_ERROR_ILLPARAM 20
#define BASS_ERROR_DEVICE 23
#define BASS_ERROR_NOTAVAIL 37
#define BASS_ERROR_DECODE 38
#define BASS_ERROR_FILEFORM 41
#define BASS_ERROR_CODEC 44
#define BASS_ERROR_ENDED 45
#define BASS_ERROR_UNKNOWN -1

struct BASS_CHANNELINFO {
    DWORD freq;     // sample rate
    DWORD chans;    // channel count
    DWORD flags;    // BASS_STREAM_DECODE, plus BASS_SAMPLE_8BITS for 8-bit and
                    // BASS_SAMPLE_FLOAT for floating-point output
    DWORD ctype;    // not used here: 0
    DWORD origres;  // the codec's own sample type, which a BASS_SAMPLE_NATIVE
                    // stream delivers: bits per sample (8, 16, 32 or 64), plus
                    // BASS_ORIGRES_FLOAT when it is floating point
    HPLUGIN plugin;
    DWORD sample;
    const char* filename;
};

extern "C" {

DWORD BASS_GetVersion();
DWORD BASS_GetConfig(DWORD option);
BOOL BASS_SetConfig(DWORD option, DWORD value);
// Accepts the FLAC plug-in's file name when FLAC decoding is available.
HPLUGIN BASS_PluginLoad(const char* file, DWORD flags);
// Only device 0, the no-sound device, exists.
BOOL BASS_Init(int device, DWORD freq, DWORD flags, void* win, const void* clsid);
BOOL BASS_SetDevice(DWORD device);
// Frees every open stream.
BOOL BASS_Free();
// Opens a decode-only stream (BASS_STREAM_DECODE is required; memory streams,
// offsets and lengths are not supported). Output is interleaved signed 16-bit
// PCM, or unsigned 8-bit for 8-bit PCM sources, at the source's own rate and
// channel count; with BASS_SAMPLE_NATIVE, the codec's own sample type. Only a
// regular file is opened, and it is read through the one descriptor opened
// here: the name is never looked up again.
HSTREAM BASS_StreamCreateFile(BOOL mem, const void* file, QWORD offset, QWORD length, DWORD flags);
BOOL BASS_StreamFree(HSTREAM handle);
BOOL BASS_ChannelGetInfo(DWORD handle, BASS_CHANNELINFO* info);
// This build's own call: the speaker positions of the stream's channels as an
// FFmpeg channel mask (AV_CH_*), or 0 when the file names none and the usual
// order for the channel count applies. -1 on error.
QWORD BASS_ChannelGetLayout(DWORD handle);
// This build's own call: the status (fstat) of the file the stream reads, taken
// from the descriptor it reads when the stream was created.
BOOL BASS_ChannelGetFileStatus(DWORD handle, struct stat* status);
// Decoded length in bytes: exact where the container records it, otherwise an
// upper bound, never below what the stream delivers. -1 on error.
QWORD BASS_ChannelGetLength(DWORD handle, DWORD mode);
// BASS_ACTIVE_PLAYING while decoded data remains, BASS_ACTIVE_STOPPED after.
DWORD BASS_ChannelIsActive(DWORD handle);
// Fills buffer with up to `length` bytes (whole frames), or discards them when
// buffer is null. Returns the count produced, fewer only at the end of the
// stream, or -1 (BASS_ERROR_ENDED once the end has been reached).
DWORD BASS_ChannelGetData(DWORD handle, void* buffer, DWORD length);
// This build's own call: the next frames as the decoder made them, without
// copying them into a buffer of the caller's: *planes receives one pointer
// per channel when origres has BASS_ORIGRES_PLANAR, else one pointer to
// interleaved frames; the samples stay valid until the next call on the
// stream. Returns the frame count, or -1 (BASS_ERROR_ENDED at the end).
DWORD BASS_ChannelGetPlanes(DWORD handle, const void* const** planes);
QWORD BASS_ChannelGetPosition(DWORD handle, DWORD mode);
double BASS_ChannelBytes2Seconds(DWORD handle, QWORD pos);
int BASS_ErrorGetCode();

}  // extern "C"

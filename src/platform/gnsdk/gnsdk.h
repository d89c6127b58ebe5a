// The fingerprint SDK's C interface (manager and DSP libraries), implemented
// over Chromaprint and libswresample. Only the calls, handle types and error
// codes the fingerprinting code relies on are provided.
//
// Every call returns GNSDK_SUCCESS (0) or one of the error codes below;
// gnsdk_manager_error_string describes each. Errors and warnings found by the
// SDK itself are also passed to the registered log callback.
//
// Threads: the manager calls may be made from any thread (they share one
// lock). Feature handles are independent of each other: different handles may
// be used on different threads at once, one handle by one thread at a time.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>

typedef uint32_t gnsdk_error_t;
typedef uint32_t gnsdk_uint32_t;
typedef uint16_t gnsdk_uint16_t;
typedef size_t gnsdk_size_t;
typedef unsigned char gnsdk_bool_t;
typedef char gnsdk_char_t;
typedef const char* gnsdk_cstr_t;
typedef void gnsdk_void_t;

typedef struct gnsdk_manager_s* gnsdk_manager_handle_t;
typedef struct gnsdk_user_s* gnsdk_user_handle_t;
typedef struct gnsdk_feature_s* gnsdk_dsp_feature_handle_t;

#define GNSDK_SUCCESS 0u

// Error codes: 0x9 (error), the package id in bits 16 to 23, a number below.
#define GNSDKERR_InvalidArg 0x90800001u
#define GNSDKERR_NotInited 0x90800002u
#define GNSDKERR_InitDataInvalid 0x90800003u
#define GNSDKERR_UserInvalid 0x90800004u
#define GNSDKERR_InvalidHandle 0x90800005u
#define GNSDKERR_NoMemory 0x90800006u
#define GNSDKERR_PackageIdReserved 0x90800007u
#define GNSDKERR_NotLicensed 0x90800008u
#define DSPERR_InvalidArg 0x90a00001u
#define DSPERR_NotInited 0x90a00002u
#define DSPERR_InvalidHandle 0x90a00003u
#define DSPERR_NoMemory 0x90a00004u
#define DSPERR_UnsupportedAlgorithm 0x90a00005u
#define DSPERR_UnsupportedFormat 0x90a00006u
#define DSPERR_WriteAfterEnd 0x90a00007u
#define DSPERR_NotEnded 0x90a00008u
#define DSPERR_ProcessingFailed 0x90a00009u

// Log packages and level bits.
#define GNSDK_LOG_PKG_MANAGER 0x80
#define GNSDK_LOG_PKG_DSP 0xa0
#define GNSDK_LOG_PKG_ALL 0xff
#define GNSDK_LOG_LEVEL_ERROR 0x1u
#define GNSDK_LOG_LEVEL_WARNING 0x2u
#define GNSDK_LOG_LEVEL_INFO 0x4u

// Quality flags from gnsdk_dsp_feature_retrieve_data.
// Fewer than three seconds of audio (after conversion to the fingerprint's
// 11025 Hz mono) reached the fingerprint.
#define GNSDK_DSP_FEATURE_QUALITY_SHORT 0x1u

// Added to bits_per_sample of gnsdk_dsp_feature_audio_begin: the samples are
// IEEE floating point (32 or 64 bits) rather than integers.
#define GNSDK_DSP_SAMPLE_FLOAT 0x100u
// This build's own flag, added to bits_per_sample: the audio comes one plane
// per channel through gnsdk_dsp_feature_audio_write_planes instead.
#define GNSDK_DSP_SAMPLE_PLANAR 0x200u

// The fingerprint algorithms.
#define GNSDK_DSP_ALGORITHM_MICRO "MicroFAPI-Q"
#define GNSDK_DSP_ALGORITHM_NANO "NanoFAPI-Q"
#define GNSDK_DSP_ALGORITHM_CMX "Cantametrix-Q"

// The log callback: user data, the package that logs, the level bit, and a
// printf-style message. It may be called on any thread that calls the SDK.
typedef void (*gnsdk_logging_callback_fn)(const gnsdk_void_t* user_data, gnsdk_uint16_t package_id,
                                          gnsdk_uint32_t mask, gnsdk_cstr_t format, va_list args);

extern "C" {

// Initialisation data: text lines, the first "gnsdk-init/1", then
// "client=<name>" and "libraries=<comma list>" (which must name "manager";
// "dsp" enables the DSP library). A terminating zero byte within `size` is
// allowed. Calling it again while initialised returns the same handle and must
// be matched by one more gnsdk_manager_shutdown.
gnsdk_error_t gnsdk_manager_initialize(gnsdk_manager_handle_t* p_manager,
                                       const gnsdk_void_t* init_data, gnsdk_size_t size);
gnsdk_error_t gnsdk_manager_shutdown(void);

// Names a caller's own log package (ids below 0x80 and from 0xe0 to 0xfe).
gnsdk_error_t gnsdk_manager_logging_register_package(gnsdk_uint16_t package_id,
                                                     gnsdk_cstr_t package_name);
// Sends the log lines of `package_id` (GNSDK_LOG_PKG_ALL for every package)
// whose level bit is in `mask` to `callback`; one callback at a time.
gnsdk_error_t gnsdk_manager_logging_enable_callback(gnsdk_logging_callback_fn callback,
                                                    const gnsdk_void_t* user_data,
                                                    gnsdk_uint16_t package_id, gnsdk_uint32_t mask);

// A serialised user is 172 base64 characters issued for the client named in
// the initialisation data.
gnsdk_error_t gnsdk_manager_user_deserialize(gnsdk_cstr_t serialized_user,
                                             gnsdk_user_handle_t* p_user);
gnsdk_error_t gnsdk_manager_user_release(gnsdk_user_handle_t user);

// Never null; texts of unknown codes read "unknown error".
gnsdk_cstr_t gnsdk_manager_error_string(gnsdk_error_t code);

gnsdk_error_t gnsdk_dsp_initialize(gnsdk_manager_handle_t manager);
gnsdk_error_t gnsdk_dsp_shutdown(void);
// The DSP library's version text. Here it names what a fingerprint depends on
// besides the audio: the Chromaprint and FFmpeg builds the process runs with
// (the FFmpeg build also decodes the audio it is given).
gnsdk_cstr_t gnsdk_dsp_get_version(void);

// Begins one fingerprint of interleaved (or, with GNSDK_DSP_SAMPLE_PLANAR,
// planar) PCM: 8-bit unsigned, 16-bit or 32-bit
// signed, or (with GNSDK_DSP_SAMPLE_FLOAT) 32- or 64-bit float samples in the
// machine's byte order, 1 to 32 channels, 1 Hz to 1 MHz. The audio reaches the
// fingerprint the way fpcalc's does for a decoder that produces that format.
gnsdk_error_t gnsdk_dsp_feature_audio_begin(gnsdk_user_handle_t user, gnsdk_cstr_t algorithm,
                                            gnsdk_uint32_t sample_rate,
                                            gnsdk_uint32_t bits_per_sample, gnsdk_uint32_t channels,
                                            gnsdk_dsp_feature_handle_t* p_feature);
// This build's own call, before the first write: the speaker positions of the
// channels as an FFmpeg channel mask (AV_CH_*) with one bit per channel. They
// decide how the channels are mixed down; without this call (or with mask 0)
// the usual order for the channel count applies.
gnsdk_error_t gnsdk_dsp_feature_audio_channel_layout(gnsdk_dsp_feature_handle_t feature,
                                                     uint64_t channel_mask);
// Sets *p_complete once the algorithm has all the audio it uses; audio written
// after that is ignored. The byte count need not be a whole number of frames.
gnsdk_error_t gnsdk_dsp_feature_audio_write(gnsdk_dsp_feature_handle_t feature,
                                            const gnsdk_void_t* audio, gnsdk_size_t size,
                                            gnsdk_bool_t* p_complete);
// This build's own call, for a feature begun with GNSDK_DSP_SAMPLE_PLANAR:
// `frames` samples of every channel, each channel's at its own pointer. The
// converter reads them where they are, sparing the interleaved copy.
gnsdk_error_t gnsdk_dsp_feature_audio_write_planes(gnsdk_dsp_feature_handle_t feature,
                                                   const gnsdk_void_t* const* planes,
                                                   gnsdk_size_t frames, gnsdk_bool_t* p_complete);
gnsdk_error_t gnsdk_dsp_feature_end_of_write(gnsdk_dsp_feature_handle_t feature);
// After end of write: the fingerprint text, owned by the handle and valid until
// it is released (empty when the audio was too short for any fingerprint), and
// the quality flags when p_quality is given.
gnsdk_error_t gnsdk_dsp_feature_retrieve_data(gnsdk_dsp_feature_handle_t feature,
                                              gnsdk_uint32_t* p_quality, gnsdk_cstr_t* p_data);
gnsdk_error_t gnsdk_dsp_feature_release(gnsdk_dsp_feature_handle_t feature);

}  // extern "C"

// SDK initialisation data and stored users for helper builds whose fingerprint
// start-up must fail at one chosen step.

#include "fingerprint/FingerprintSystem.h"

#if defined(OSTRA_BROKEN_INIT)
// Not the initialisation data format at all.
extern const char kGNSDKInitData[] = "gnsdk-init/9\nclient=OstraNative\n";
#elif defined(OSTRA_NO_DSP)
// Valid, but without the DSP library.
extern const char kGNSDKInitData[] = "gnsdk-init/1\nclient=OstraNative\nlibraries=manager\n";
#else
extern const char kGNSDKInitData[] =
    "gnsdk-init/1\n"
    "client=OstraNative\n"
    "libraries=manager,dsp\n";
#endif

#if defined(OSTRA_BROKEN_USER)
// The program's user with one character of its payload changed.
extern const char kGNSDKStoredUser[] =
    "T1NUUkFVU1IBPQewM5USxq/"
    "jnbWZhJOTO09zdHJhTmF0aXZlAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAABAAAAAAAAAAAAAAOAQfgwtqitx7/hLFKheLa3PsNxE";
#else
extern const char kGNSDKStoredUser[] =
    "T1NUUkFVU1IBPQewM5USxq/"
    "jnbWZhJOTO09zdHJhTmF0aXZlAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAOAQfgwtqitx7/hLFKheLa3PsNxE";
#endif

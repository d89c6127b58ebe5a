// The SDK initialisation data and serialised user this program carries. Kept
// in a file of its own so that a test build can link different ones.

#include "fingerprint/FingerprintSystem.h"

extern const char kGNSDKInitData[] =
    "gnsdk-init/1\n"
    "client=OstraNative\n"
    "libraries=manager,dsp\n";

extern const char kGNSDKStoredUser[] =
    "T1NUUkFVU1IBPQewM5USxq/"
    "jnbWZhJOTO09zdHJhTmF0aXZlAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"
    "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAOAQfgwtqitx7/hLFKheLa3PsNxE";

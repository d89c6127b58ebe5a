#include "lib/ffmpeg/Error.h"

extern "C" {
#include <libavutil/error.h>
}

namespace Ostra {
namespace ffmpeg {

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {0};
    av_strerror(code, text, sizeof text);
    return text;
}

}  // namespace ffmpeg
}  // namespace Ostra

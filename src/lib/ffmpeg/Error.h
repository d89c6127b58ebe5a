// FFmpeg's own text for its error codes.
#pragma once

#include <string>

namespace Ostra {
namespace ffmpeg {

// The text av_strerror gives for a negative FFmpeg result (AVERROR(...)).
std::string errorText(int code);

}  // namespace ffmpeg
}  // namespace Ostra

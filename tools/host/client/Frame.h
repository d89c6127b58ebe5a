#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "amf/amf0.h"

namespace Ostra::host {

// Frames from the helper are bounded like frames to it: a length past this
// means a broken stream, not a large answer.
constexpr std::uint32_t kMaxFrameBytes = 64u * 1024u * 1024u;

// The AMF0 encoding of `value` (marker and body). Throws std::runtime_error
// when the value cannot be encoded (a short string past 65532 bytes).
std::string encodeValue(const amf::amf0_data_type& value);
// A frame: the body's length as 4 little-endian bytes, then the body.
std::string frameOfBody(const std::string& body);
std::string frame(const amf::amf0_data_type& value);
// The little-endian length in a frame header.
std::uint32_t frameLength(const unsigned char header[4]);

// The request envelope {"arg", "cmd", "id"}; without `arg` the key is left out.
amf::amf_object makeRequest(const std::string& command, double id, const amf::amf0_data_type* arg);
// An ECMA array of strings keyed "0", "1", ..., the shape of every file list.
amf::amf_ecma_array stringArray(const std::vector<std::string>& items);

}  // namespace Ostra::host

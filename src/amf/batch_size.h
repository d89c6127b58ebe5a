// The "batchSize" parameter of the list commands, read one way for all.
#pragma once

#include <cstdint>

#include "amf/amf0.h"

namespace amf {

// The largest batch size: the host counts records in 32 bits, and a larger
// request means "everything in one batch".
constexpr std::uint32_t kMaxBatchSize = 4294967295u;

// The "batchSize" property of a command's parameters as every list command
// ("scanDirectory", "scanMediaLibs", "extractMetadataFromFiles", "audioHash",
// "fingerprints") takes it: a number is truncated toward zero, capped at
// kMaxBatchSize (infinity too), and raised to 1 when that leaves less than 1;
// anything else (absent, not a number, NaN) means 1. Some commands once
// answered 0 for a positive fraction under 1, which their batches already
// treated as 1: no response differs.
std::uint32_t getBatchSize(const amf_property_map& parameters);

}  // namespace amf

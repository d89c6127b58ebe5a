#include "amf/batch_size.h"

#include <cmath>
#include <optional>

#include "amf/access.h"

namespace amf {

std::uint32_t getBatchSize(const amf_property_map& parameters) {
    const std::optional<double> number = getNumber(parameters, "batchSize");
    if (!number) return 1;
    const double size = std::trunc(*number);
    // NaN fails this test as well.
    if (!(size >= 1)) return 1;
    // Converting a double beyond the target's range is undefined, so large
    // sizes are capped first.
    if (size >= kMaxBatchSize) return kMaxBatchSize;
    return static_cast<std::uint32_t>(size);
}

}  // namespace amf

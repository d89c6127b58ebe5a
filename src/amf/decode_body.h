// The container classes' own decode_and_step run the one decoder.
#pragma once

#include "amf/amf0.h"

namespace amf {
namespace detail {

// Decodes the body (no marker) of a container of into's type into `into`,
// which must be empty; with the decoder's depth and count checks and no
// memory bound.
bool decode_body(const unsigned char*& p, const unsigned char* end, amf0_data_type& into);

}  // namespace detail
}  // namespace amf

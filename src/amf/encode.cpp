// Encoding a value with its marker.

#include "amf/amf0.h"
#include "amf/wire.h"

namespace amf {

using namespace detail;

std::size_t get_size(const amf0_data_type* v) {
    return v == nullptr ? 0 : v->get_size() + 1;
}

bool encode(unsigned char* p, const unsigned char* end, const amf0_data_type* v) {
    // Sized once up front, so a buffer that is too short is left untouched.
    if (v == nullptr || !fits(p, end, get_size(v))) return false;
    return encode_and_step(p, end, v);
}

// Every write checks its own room as it goes, so a container never sizes
// itself (and with it all its descendants) again at each level; a failure
// leaves p where it was, with the bytes past it unspecified.
bool encode_and_step(unsigned char*& p, const unsigned char* end, const amf0_data_type* v) {
    if (v == nullptr || !fits(p, end, 1)) return false;
    unsigned char* q = p;
    *q++ = static_cast<unsigned char>(v->get_type());
    if (!v->encode_and_step(q, end)) return false;
    p = q;
    return true;
}

}  // namespace amf

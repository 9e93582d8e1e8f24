// Big-endian loads from the input. The input carries no alignment guarantee,
// so each field is copied out with memcpy and byte-swapped; no pointer casts.
#pragma once

#include "_cquelm/common.h"

#include <cstring>

namespace quelm {

QUELM_INLINE uint16_t load_be16(const unsigned char *p) noexcept {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap16(v);
}

QUELM_INLINE uint32_t load_be32(const unsigned char *p) noexcept {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap32(v);
}

QUELM_INLINE uint64_t load_be64(const unsigned char *p) noexcept {
    uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return __builtin_bswap64(v);
}

// IEEE binary32 (widened exactly to double) and binary64.
QUELM_INLINE double load_be_float32(const unsigned char *p) noexcept {
    const uint32_t bits = load_be32(p);
    float v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

QUELM_INLINE double load_be_float64(const unsigned char *p) noexcept {
    const uint64_t bits = load_be64(p);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

}  // namespace quelm

// Reading the wire for the typed decoder: what the first byte of a value
// announces (Head), read in one step with any length field and payload, and
// skipping a whole value without building it.
#pragma once

#include "_typed/decode_value.h"
#include "_unpacker/big_endian.h"

namespace quelm {

// The first byte of a value and what it announces. Strings, byte strings
// and extension values are read whole (their payload is in the input);
// arrays and maps only up to their count.
struct Head {
    uint32_t family;
    bool negative;      // W_INT: the value is in i, else in u
    uint64_t u;
    int64_t i;
    double d;
    uint64_t n;         // payload length, item count or pair count
    const char *data;   // str/bin payload; ext: the type code, then n data bytes
    const char *start;  // the value's first byte
};

QUELM_INLINE bool short_of(const char *p, const char *end, uint64_t k) noexcept {
    return static_cast<uint64_t>(end - p) < k;
}

QUELM_INLINE uint64_t load_width(const unsigned char *p, unsigned width) noexcept {
    switch (width) {
    case 1:
        return p[0];
    case 2:
        return load_be16(p);
    case 4:
        return load_be32(p);
    default:
        return load_be64(p);
    }
}

// A payload of n bytes at p: present, or T_NEED_MORE.
QUELM_INLINE int take_payload(const char *&p, const char *end, uint32_t family, uint64_t n,
                              Head &h) noexcept {
    if (short_of(p, end, n))
        return T_NEED_MORE;
    h.family = family;
    h.n = n;
    h.data = p;
    p += n;
    return T_OK;
}

inline int read_head(const char *&p, const char *end, Head &h) noexcept {
    if (QUELM_UNLIKELY(p >= end))
        return T_NEED_MORE;
    h.start = p;
    const auto *u = reinterpret_cast<const unsigned char *>(p);
    const unsigned b = u[0];
    ++p;
    if (b <= 0x7f) {
        h.family = W_INT;
        h.negative = false;
        h.u = b;
        return T_OK;
    }
    if (b >= 0xe0) {
        h.family = W_INT;
        h.negative = true;
        h.i = static_cast<int8_t>(b);
        return T_OK;
    }
    if (b <= 0x9f) {
        h.family = b <= 0x8f ? W_MAP : W_ARRAY;
        h.n = b & 0x0f;
        return T_OK;
    }
    if (b <= 0xbf)
        return take_payload(p, end, W_STR, b & 0x1f, h);
    unsigned width;
    switch (b) {
    case 0xc0:
        h.family = W_NIL;
        return T_OK;
    case 0xc1:
        p = h.start;
        return T_INVALID_BYTE;
    case 0xc2:
    case 0xc3:
        h.family = W_BOOL;
        h.u = b & 1;
        return T_OK;
    case 0xc4:
    case 0xc5:
    case 0xc6:
    case 0xd9:
    case 0xda:
    case 0xdb: {
        width = b <= 0xc6 ? 1u << (b - 0xc4) : 1u << (b - 0xd9);
        if (short_of(p, end, width))
            return T_NEED_MORE;
        const uint64_t n = load_width(reinterpret_cast<const unsigned char *>(p), width);
        p += width;
        return take_payload(p, end, b <= 0xc6 ? W_BIN : W_STR, n, h);
    }
    case 0xc7:
    case 0xc8:
    case 0xc9:
    case 0xd4:
    case 0xd5:
    case 0xd6:
    case 0xd7:
    case 0xd8: {
        uint64_t n;
        if (b <= 0xc9) {
            width = 1u << (b - 0xc7);
            if (short_of(p, end, width))
                return T_NEED_MORE;
            n = load_width(reinterpret_cast<const unsigned char *>(p), width);
            p += width;
        } else {
            n = b == 0xd8 ? 16 : uint64_t{1} << (b & 3);
        }
        if (short_of(p, end, n + 1))
            return T_NEED_MORE;
        h.family = static_cast<signed char>(*p) == -1 ? W_TIMESTAMP : W_EXT;
        h.n = n;
        h.data = p;
        p += n + 1;
        return T_OK;
    }
    case 0xca:
    case 0xcb:
        width = b == 0xca ? 4 : 8;
        if (short_of(p, end, width))
            return T_NEED_MORE;
        h.family = W_FLOAT;
        h.d = b == 0xca ? load_be_float32(reinterpret_cast<const unsigned char *>(p))
                        : load_be_float64(reinterpret_cast<const unsigned char *>(p));
        p += width;
        return T_OK;
    case 0xdc:
    case 0xdd:
    case 0xde:
    case 0xdf:
        width = b & 1 ? 4 : 2;
        if (short_of(p, end, width))
            return T_NEED_MORE;
        h.family = b <= 0xdd ? W_ARRAY : W_MAP;
        h.n = load_width(reinterpret_cast<const unsigned char *>(p), width);
        p += width;
        return T_OK;
    default: {  // 0xcc..0xd3: unsigned, then signed, integers
        width = 1u << (b & 3);
        if (short_of(p, end, width))
            return T_NEED_MORE;
        const uint64_t v = load_width(reinterpret_cast<const unsigned char *>(p), width);
        p += width;
        h.family = W_INT;
        h.negative = false;
        h.u = v;
        if (b >= 0xd0) {
            const unsigned shift = 64 - 8 * width;
            h.i = static_cast<int64_t>(v << shift) >> shift;
            h.negative = h.i < 0;
            h.u = static_cast<uint64_t>(h.i);
        }
        return T_OK;
    }
    }
}

// Consumes one value without building anything (unknown keys of a record,
// and a value the type refuses, so that malformed bytes inside it are
// reported as such). Returns T_OK or the failing status.
int skip_value(TypedState &s, const char *&p) noexcept;

}  // namespace quelm

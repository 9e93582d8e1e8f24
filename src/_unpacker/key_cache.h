// The key cache of the decoder: map keys that are short ASCII str are
// decoded and interned once, then found again by their bytes. The lookup is
// inline (it runs for every key); filling a slot is in construct.cpp.
#pragma once

#include "_cquelm/common.h"

#include <cstring>

namespace quelm {

// The key cache: slots chosen by a hash of the key's bytes, each holding a
// strong reference to an interned, compact ASCII str (or NULL). Strings
// found here are equal to the bytes they are looked up with, byte for byte,
// so a hit yields what decoding would have yielded.
inline constexpr size_t kKeyCacheSlots = 1024;
inline constexpr uint64_t kKeyCacheMaxLength = 32;
extern PyObject *g_key_cache[kKeyCacheSlots];

// The slot of a key: a multiplicative hash of its length and of up to
// sixteen of its bytes (the first and last eight, or fewer for short keys,
// never reading outside the n bytes). Collisions only cost a miss.
QUELM_INLINE size_t key_slot(const unsigned char *p, uint64_t n) noexcept {
    uint64_t lo = 0, hi = 0;
    if (n >= 8) {
        std::memcpy(&lo, p, 8);
        std::memcpy(&hi, p + n - 8, 8);
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, p, 4);
        std::memcpy(&b, p + n - 4, 4);
        lo = a;
        hi = b;
    } else if (n > 0) {
        lo = p[0] | (uint64_t{p[n / 2]} << 8) | (uint64_t{p[n - 1]} << 16);
    }
    const uint64_t h = ((lo * 0x9e3779b97f4a7c15ull) ^ hi ^ n) * 0xff51afd7ed558ccdull;
    return static_cast<size_t>(h >> 54) & (kKeyCacheSlots - 1);
}

// memcmp for the short runs of the key cache, inline: overlapping eight-
// or four-byte words (never outside the n bytes), single bytes below four.
QUELM_INLINE bool same_word8(const unsigned char *a, const unsigned char *b) noexcept {
    uint64_t x, y;
    std::memcpy(&x, a, 8);
    std::memcpy(&y, b, 8);
    return x == y;
}

QUELM_INLINE bool same_word4(const unsigned char *a, const unsigned char *b) noexcept {
    uint32_t x, y;
    std::memcpy(&x, a, 4);
    std::memcpy(&y, b, 4);
    return x == y;
}

QUELM_INLINE bool same_bytes(const unsigned char *a, const unsigned char *b, uint64_t n) noexcept {
    if (n >= 8) {
        for (uint64_t i = 0; i + 8 < n; i += 8)
            if (!same_word8(a + i, b + i))
                return false;
        return same_word8(a + n - 8, b + n - 8);
    }
    if (n >= 4)
        return same_word4(a, b) && same_word4(a + n - 4, b + n - 4);
    for (uint64_t i = 0; i < n; ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

// The cached str of the n bytes at p, as a new reference, or NULL (no
// exception set) with `*slot` set to the slot the key belongs in.
QUELM_INLINE PyObject *key_cache_find(const char *p, uint64_t n, PyObject ***slot) noexcept {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(p);
    PyObject **at = &g_key_cache[key_slot(bytes, n)];
    PyObject *cached = *at;
    // Every cached str is compact ASCII, so its characters follow the
    // PyASCIIObject header.
    if (cached != nullptr && static_cast<uint64_t>(PyUnicode_GET_LENGTH(cached)) == n &&
        same_bytes(reinterpret_cast<const unsigned char *>(
                       reinterpret_cast<PyASCIIObject *>(cached) + 1),
                   bytes, n))
        return Py_NewRef(cached);
    *slot = at;
    return nullptr;
}

}  // namespace quelm

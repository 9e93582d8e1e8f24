// The string caches of the decoder, found by the bytes of a short ASCII
// str. The key cache: map keys are decoded and interned once, then found
// again. The text cache: short str values (tags, states, names repeated
// across records) are decoded once and shared, as str are immutable. The
// lookup is inline (it runs for every such str); filling a slot is in
// construct.cpp.
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

// The text cache: slots of the same kind, holding strong references to
// compact ASCII str (not interned: values that never repeat would otherwise
// fill the interpreter's table of interned strings).
inline constexpr size_t kTextCacheSlots = 1024;
inline constexpr uint64_t kTextCacheMaxLength = 16;
extern PyObject *g_text_cache[kTextCacheSlots];

// The map keys by position: records of one shape repeat their keys in the
// same order, so for each of the first kPositionKeys pair positions the last
// short key seen there is kept with its bytes, header byte first, as one
// big-endian word (the bytes after them zero). A key whose word matches
// is that interned str again, found without hashing or comparing its bytes.
// No valid word is 0, so the zeroed table matches nothing.
struct PositionKey {
    uint64_t word;
    PyObject *key;  // strong reference to an interned, compact ASCII str, or NULL
};
inline constexpr size_t kPositionKeys = 16;
inline constexpr uint64_t kPositionKeyMaxLength = 7;
extern PositionKey g_position_keys[kPositionKeys];

// Values that never repeat would pay the lookup and the slot update for
// nothing, so the text cache pauses itself: a hit earns credit, a miss
// spends it, and once it is spent the next kTextCachePause short str skip the
// cache before it is tried again with kTextCacheRetry credit.
inline constexpr int32_t kTextCacheMaxCredit = 4096;
inline constexpr int32_t kTextCacheRetry = 32;
inline constexpr int32_t kTextCachePause = 1024;
extern int32_t g_text_cache_credit;

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

// The str cached in `table` for the n bytes at p, as a new reference, or
// NULL (no exception set) with `*slot` set to the slot the str belongs in.
// Both tables have kKeyCacheSlots slots.
static_assert(kTextCacheSlots == kKeyCacheSlots);
QUELM_INLINE PyObject *cache_find(PyObject **table, const char *p, uint64_t n,
                                  PyObject ***slot) noexcept {
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(p);
    PyObject **at = &table[key_slot(bytes, n)];
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

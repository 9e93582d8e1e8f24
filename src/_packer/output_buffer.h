// The growable output buffer and the writers that append one encoded item
// (or the header of one) to it. The writers take machine integers, doubles
// and byte ranges; they never see a Python object. Each returns 0, or -1
// with MemoryError (or BufferError, see `frozen`) set and the buffer as it
// was before the call.
#pragma once

#include "_cquelm/common.h"
#include "_packer/wire.h"

#include <bit>
#include <cassert>
#include <cstring>
#include <limits>
#include <type_traits>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#include <immintrin.h>
#endif

namespace quelm {

struct OutputBuffer {
    // Start of the content. The storage is laid out as a bytes object (see
    // buffer_take_bytes), so buf sits just after room for that object's
    // header; while no storage is held it points at a shared empty area.
    // Never null.
    char *buf;
    // Bytes written so far: the content is buf[0:length].
    size_t length;
    // Capacity of the storage, 0 while none is held.
    size_t buf_size;
    // Writers choose the bin family and str 8 when true.
    bool use_bin_type;
    // Capacity the inline reserve compares against: buf_size normally, 0
    // while the storage is exported. Zeroing it sends every write to the
    // cold path, which refuses it, so exported bytes can neither move nor
    // be overwritten and the hot path pays nothing for the guard.
    size_t write_limit;
    bool frozen;
    // The capacity new storage starts with: buf_size as the Packer was
    // given it (0 when it was not: then a default, or what the last output
    // in the process suggests), and in `next_size` the size of this
    // buffer's last output once one was handed over, so that a loop packing
    // similar values allocates their size at once instead of growing to it
    // step by step.
    size_t initial_size;
    size_t next_size;
};

// Storage. It comes from the object allocator, with room for a bytes
// object's header in front of the content and for its closing NUL behind,
// so that a finished output becomes the result bytes object where it lies
// instead of being copied into one.

// An empty buffer that holds no storage yet and will start with
// `initial_size` bytes of capacity (0: a size of its own choosing).
void buffer_init_empty(OutputBuffer *b, size_t initial_size) noexcept;

// Allocates storage of `capacity` bytes for an empty buffer holding none.
// Returns 0, or -1 (nothing set: the caller chooses the error) with the
// buffer unchanged.
[[nodiscard]] int buffer_allocate(OutputBuffer *b, size_t capacity) noexcept;

// Frees the storage; the buffer is left empty, holding none.
void buffer_release(OutputBuffer *b) noexcept;

// The content as a new bytes object, after which the buffer is empty; null
// with MemoryError and the buffer emptied all the same. A large output is
// not copied: its storage is shrunk to fit and becomes the bytes object,
// and the next write starts new storage. A small one is copied and the
// storage kept for the next output. Never called while exported.
PyObject *buffer_take_bytes(OutputBuffer *b) noexcept;
// What a write to a frozen buffer, and every guarded Packer operation while
// views exist, fails with (BufferError).
inline constexpr char export_guard_message[] = "Existing exports of data: Packer cannot be changed";

// Called with the owner's export count going from 0 to 1 and back.
QUELM_INLINE void buffer_freeze(OutputBuffer *b) noexcept {
    b->frozen = true;
    b->write_limit = 0;
}
QUELM_INLINE void buffer_thaw(OutputBuffer *b) noexcept {
    b->frozen = false;
    b->write_limit = b->buf_size;
}

// Out of line: refuses writes to a frozen buffer (BufferError), otherwise
// grows the storage to twice length + n (or starts it at initial_size if
// that is more). Overflow is checked before the arithmetic, and the new
// storage is committed only once allocated.
[[nodiscard]] QUELM_COLD int buffer_grow(OutputBuffer *b, size_t n) noexcept;

// Makes room for n more bytes; afterwards buf[length:length+n] is writable.
[[nodiscard]] QUELM_INLINE int buffer_reserve(OutputBuffer *b, size_t n) noexcept {
    if (QUELM_UNLIKELY(b->length + n > b->write_limit))
        return buffer_grow(b, n);
    return 0;
}

// Where the next reserved bytes go; `commit` then counts n of them as written.
QUELM_INLINE unsigned char *buffer_tail(OutputBuffer *b) noexcept {
    return reinterpret_cast<unsigned char *>(b->buf) + b->length;
}
QUELM_INLINE void buffer_commit(OutputBuffer *b, size_t n) noexcept {
    assert(b->length + n <= b->buf_size);
    b->length += n;
}

// Big-endian stores into possibly unaligned bytes.
QUELM_INLINE void store_be16(unsigned char *p, uint16_t v) noexcept {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}
QUELM_INLINE void store_be32(unsigned char *p, uint32_t v) noexcept {
    uint32_t be = __builtin_bswap32(v);
    std::memcpy(p, &be, 4);
}
QUELM_INLINE void store_be64(unsigned char *p, uint64_t v) noexcept {
    uint64_t be = __builtin_bswap64(v);
    std::memcpy(p, &be, 8);
}
static_assert(std::endian::native == std::endian::little,
              "the byte swaps above assume a little-endian host");

[[nodiscard]] QUELM_INLINE int append(OutputBuffer *b, const void *data, size_t n) noexcept {
    if (buffer_reserve(b, n) < 0)
        return -1;
    std::memcpy(buffer_tail(b), data, n);
    buffer_commit(b, n);
    return 0;
}

[[nodiscard]] QUELM_INLINE int write_bytes(OutputBuffer *b, const void *data, size_t n) noexcept {
    if (n == 0)
        return 0;
    return append(b, data, n);
}

[[nodiscard]] QUELM_INLINE int write_byte(OutputBuffer *b, uint8_t first) noexcept {
    if (buffer_reserve(b, 1) < 0)
        return -1;
    *buffer_tail(b) = first;
    buffer_commit(b, 1);
    return 0;
}

[[nodiscard]] QUELM_INLINE int write_nil(OutputBuffer *b) noexcept { return write_byte(b, wire::nil); }

[[nodiscard]] QUELM_INLINE int write_bool(OutputBuffer *b, bool v) noexcept {
    return write_byte(b, v ? wire::true_ : wire::false_);
}

// A first byte followed by a 1-, 2-, 4- or 8-byte big-endian field.
template <typename T>
[[nodiscard]] QUELM_INLINE int write_field(OutputBuffer *b, uint8_t first, T v) noexcept {
    static_assert(std::is_unsigned_v<T>);
    if (buffer_reserve(b, 1 + sizeof(T)) < 0)
        return -1;
    unsigned char *p = buffer_tail(b);
    p[0] = first;
    if constexpr (sizeof(T) == 1)
        p[1] = v;
    else if constexpr (sizeof(T) == 2)
        store_be16(p + 1, v);
    else if constexpr (sizeof(T) == 4)
        store_be32(p + 1, v);
    else
        store_be64(p + 1, v);
    buffer_commit(b, 1 + sizeof(T));
    return 0;
}

[[nodiscard]] QUELM_INLINE int write_uint64(OutputBuffer *b, uint64_t v) noexcept {
    if (v <= wire::fixint_max)
        return write_byte(b, static_cast<uint8_t>(v));
    if (v <= 0xff)
        return write_field<uint8_t>(b, wire::uint8, static_cast<uint8_t>(v));
    if (v <= 0xffff)
        return write_field<uint16_t>(b, wire::uint16, static_cast<uint16_t>(v));
    if (v <= 0xffffffffULL)
        return write_field<uint32_t>(b, wire::uint32, static_cast<uint32_t>(v));
    return write_field<uint64_t>(b, wire::uint64, v);
}

[[nodiscard]] QUELM_INLINE int write_int64(OutputBuffer *b, int64_t v) noexcept {
    if (v < wire::negative_fixint_min) {
        if (v < -32768) {
            if (v < INT32_MIN)
                return write_field<uint64_t>(b, wire::int64, static_cast<uint64_t>(v));
            return write_field<uint32_t>(b, wire::int32, static_cast<uint32_t>(v));
        }
        if (v < -128)
            return write_field<uint16_t>(b, wire::int16, static_cast<uint16_t>(v));
        return write_field<uint8_t>(b, wire::int8, static_cast<uint8_t>(v));
    }
    if (v < 128)
        return write_byte(b, static_cast<uint8_t>(v));
    return write_uint64(b, static_cast<uint64_t>(v));
}

// float 32 through the interpreter's packer, which refuses (OverflowError)
// a finite double beyond the binary32 range; nothing is written then.
[[nodiscard]] QUELM_NOINLINE int write_float32(OutputBuffer *b, double d) noexcept;

[[nodiscard]] QUELM_INLINE int write_float64(OutputBuffer *b, double d) noexcept {
    static_assert(sizeof(double) == 8 && std::numeric_limits<double>::is_iec559,
                  "doubles are written as their IEEE binary64 bits");
    return write_field<uint64_t>(b, wire::float64, std::bit_cast<uint64_t>(d));
}

// Header bytes of a string or byte string, stored at p (room for
// max_header_size bytes); returns how many were stored.
constexpr size_t max_header_size = 5;

// A first byte of the 8-, 16- or 32-bit length form (the 8-bit one only if
// `allow8`), then the length.
QUELM_INLINE size_t put_length(unsigned char *p, size_t len, uint8_t first8, uint8_t first16,
                               uint8_t first32, bool allow8) noexcept {
    if (len <= 0xff && allow8) {
        p[0] = first8;
        p[1] = static_cast<unsigned char>(len);
        return 2;
    }
    if (len <= 0xffff) {
        p[0] = first16;
        store_be16(p + 1, static_cast<uint16_t>(len));
        return 3;
    }
    p[0] = first32;
    store_be32(p + 1, static_cast<uint32_t>(len));
    return 5;
}

// Without the bin family, str 8 is never written.
QUELM_INLINE size_t put_str_header(unsigned char *p, size_t len, bool use_bin_type) noexcept {
    if (len <= wire::fixstr_max) {
        p[0] = static_cast<unsigned char>(wire::fixstr | len);
        return 1;
    }
    return put_length(p, len, wire::str8, wire::str16, wire::str32, use_bin_type);
}

// Without the bin family, byte strings are written as strings.
QUELM_INLINE size_t put_bin_header(unsigned char *p, size_t len, bool use_bin_type) noexcept {
    if (!use_bin_type)
        return put_str_header(p, len, false);
    return put_length(p, len, wire::bin8, wire::bin16, wire::bin32, true);
}

// Copies n bytes. Short runs, the usual size of keys and strings, take two
// overlapping fixed-size moves that compile to plain loads and stores
// instead of a call into memcpy; neither side is touched out of bounds.
QUELM_INLINE void copy_bytes(unsigned char *dst, const void *from, size_t n) noexcept {
    const auto *src = static_cast<const unsigned char *>(from);
    if (n >= 8 && n <= 16) {
        uint64_t head, tail;
        std::memcpy(&head, src, 8);
        std::memcpy(&tail, src + n - 8, 8);
        std::memcpy(dst, &head, 8);
        std::memcpy(dst + n - 8, &tail, 8);
    } else if (n >= 4 && n < 8) {
        uint32_t head, tail;
        std::memcpy(&head, src, 4);
        std::memcpy(&tail, src + n - 4, 4);
        std::memcpy(dst, &head, 4);
        std::memcpy(dst + n - 4, &tail, 4);
    } else if (n > 0 && n < 4) {
        dst[0] = src[0];
        dst[n / 2] = src[n / 2];
        dst[n - 1] = src[n - 1];
    } else if (n > 16) {
        std::memcpy(dst, src, n);
    }
}

template <size_t (*put_header)(unsigned char *, size_t, bool)>
[[nodiscard]] QUELM_INLINE int write_header(OutputBuffer *b, size_t len) noexcept {
    if (buffer_reserve(b, max_header_size) < 0)
        return -1;
    buffer_commit(b, put_header(buffer_tail(b), len, b->use_bin_type));
    return 0;
}

// Header and payload with a single reservation.
template <size_t (*put_header)(unsigned char *, size_t, bool)>
[[nodiscard]] QUELM_INLINE int write_with_header(OutputBuffer *b, const void *data,
                                                 size_t len) noexcept {
    if (buffer_reserve(b, max_header_size + len) < 0)
        return -1;
    unsigned char *p = buffer_tail(b);
    const size_t head = put_header(p, len, b->use_bin_type);
    copy_bytes(p + head, data, len);
    buffer_commit(b, head + len);
    return 0;
}

// A string of at most short_str_max bytes, given by its end, when the 16
// bytes that end there are readable (the caller guarantees it; they may
// begin before the text). Two fixed 16-byte moves replace a copy whose
// branches depend on the length: for short strings of mixed lengths those
// mispredict on nearly every item. The tail move takes the 16 bytes that
// end at the text's end, shifted down to the text's first byte when the
// text is shorter than 16; the head move, made first, takes the text's
// first 16 bytes when it has that many and otherwise stores bytes that the
// tail move then covers. Which of the two applies is chosen by conditional
// moves, not branches. The stores cover 32 reserved bytes after the header,
// of which only the first n are committed.
constexpr size_t short_str_max = wire::fixstr_max;
constexpr size_t short_str_window = 16;

// The text of write_short_str, stored at p; the 32 bytes from p are
// writable.
QUELM_INLINE void put_window_text(unsigned char *p, const unsigned char *end, size_t n) noexcept {
    // How far the text reaches beyond one window (0 for a text of up to 16
    // bytes), by arithmetic rather than a comparison the compiler could
    // turn back into a branch.
    const size_t wide = static_cast<size_t>(n >= short_str_window);
    const size_t beyond = (n - short_str_window) & (0 - wide);
    unsigned char head[short_str_window];
    std::memcpy(head, end - short_str_window - beyond, short_str_window);
    std::memcpy(p, head, short_str_window);
    unsigned __int128 tail;
    std::memcpy(&tail, end - short_str_window, short_str_window);
    // Little-endian: a shorter text's first byte is at bit 8 * (16 - n).
    // With n == 0 nothing is committed, and the mask keeps the shift defined.
    tail >>= (8 * (short_str_window - n + beyond)) & 127;
    std::memcpy(p + beyond, &tail, short_str_window);
}

[[nodiscard]] QUELM_INLINE int write_short_str(OutputBuffer *b, const unsigned char *end,
                                               size_t n) noexcept {
    assert(n <= short_str_max);
    if (buffer_reserve(b, 1 + 2 * short_str_window) < 0)
        return -1;
    unsigned char *p = buffer_tail(b);
    p[0] = static_cast<unsigned char>(wire::fixstr | n);
    put_window_text(p + 1, end, n);
    buffer_commit(b, 1 + n);
    return 0;
}

// Four 8-byte moves of s[0:last+8] to p, at offsets 0, 8, 16 and last
// clamped to last: the same instructions for every length from 8 to 32.
QUELM_INLINE void put_words_clamped(unsigned char *p, const char *s, size_t last) noexcept {
    const size_t second = last < 8 ? last : 8;
    const size_t third = last < 16 ? last : 16;
    uint64_t w0, w1, w2, w3;
    std::memcpy(&w0, s, 8);
    std::memcpy(&w1, s + second, 8);
    std::memcpy(&w2, s + third, 8);
    std::memcpy(&w3, s + last, 8);
    std::memcpy(p, &w0, 8);
    std::memcpy(p + second, &w1, 8);
    std::memcpy(p + third, &w2, 8);
    std::memcpy(p + last, &w3, 8);
}

// A string of at most fixstr_max bytes, read only within its n bytes: the
// one-byte header, then the text by fixed-size moves. From 8 bytes on, four
// 8-byte moves at offsets clamped into the text cover every length up to 32
// with the same instructions, so texts of mixed lengths cost no
// mispredicted branches; shorter texts take copy_bytes's smaller pairs.
[[nodiscard]] QUELM_INLINE int write_fixstr(OutputBuffer *b, const char *s, size_t n) noexcept {
    assert(n <= wire::fixstr_max);
    if (buffer_reserve(b, 1 + wire::fixstr_max) < 0)
        return -1;
    unsigned char *p = buffer_tail(b);
    p[0] = static_cast<unsigned char>(wire::fixstr | n);
    if (n >= 8) {
        put_words_clamped(p + 1, s, n - 8);
    } else {
        copy_bytes(p + 1, s, n);
    }
    buffer_commit(b, 1 + n);
    return 0;
}

// The text of a string of at most fixstr_max bytes stored at p, reading
// only s[0:n] (the text may be an allocation of exactly n bytes and a NUL)
// and choosing nothing by branches, so that strings of mixed lengths cost
// no mispredictions. Three groups of moves, 8, 4 and 1 byte wide:
// each is right for every length from its width up (the 8-byte group at
// offsets clamped into the text, like write_fixstr's). A group wider than
// the text reads a row of zeros instead and stores it at p[0:width], where
// the narrower groups after it overwrite what the text needs. Stores only
// within p[0:max(n, 8)], that is p[0:fixstr_max].
QUELM_INLINE void put_short_text(unsigned char *p, const char *s, size_t n) noexcept {
    assert(n <= wire::fixstr_max);
    static constexpr char zeros[8] = {};
    // All ones when the group fits the text, else zero.
    const size_t fits8 = 0 - static_cast<size_t>(n >= 8);
    const size_t fits4 = 0 - static_cast<size_t>(n >= 4);
    const size_t fits1 = 0 - static_cast<size_t>(n >= 1);
    const auto pick = [s](size_t fits) noexcept {
        const auto text = reinterpret_cast<uintptr_t>(s);
        const auto none = reinterpret_cast<uintptr_t>(zeros);
        return reinterpret_cast<const char *>((text & fits) | (none & ~fits));
    };
    put_words_clamped(p, pick(fits8), (n - 8) & fits8);
    const char *s4 = pick(fits4);
    const size_t last4 = (n - 4) & fits4;
    uint32_t h0, h1;
    std::memcpy(&h0, s4, 4);
    std::memcpy(&h1, s4 + last4, 4);
    std::memcpy(p, &h0, 4);
    std::memcpy(p + last4, &h1, 4);
    const char *s1 = pick(fits1);
    const size_t last1 = (n - 1) & fits1;
    const size_t middle = n / 2 & fits1;
    p[0] = static_cast<unsigned char>(s1[0]);
    p[middle] = static_cast<unsigned char>(s1[middle]);
    p[last1] = static_cast<unsigned char>(s1[last1]);
}

// Header and text together when the CPU has masked byte loads (checked at
// run time, see pack_list_exact): one load that reads exactly the text's n
// bytes, the header byte set in lane 0, one 32-byte store. No branch and
// no read outside s[0:n], whatever the text's length and where it lies.
// The 32 bytes from p are writable. Only the functions marked with
// QUELM_TARGET_MASKED_TEXT are compiled for these instructions, so the
// build itself assumes no more than the baseline. (Windows builds leave it
// out: the run-time CPU check needs a compiler runtime there.)
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__)) && !defined(_WIN32)
#define QUELM_HAVE_MASKED_TEXT 1
#define QUELM_TARGET_MASKED_TEXT __attribute__((target("avx2,avx512f,avx512bw,avx512vl")))
QUELM_TARGET_MASKED_TEXT inline void put_fixstr_masked(unsigned char *p, const char *s,
                                                      size_t n) noexcept {
    assert(n <= wire::fixstr_max);
    // Lanes 1..n take the text, read from one byte before it; lane 0,
    // masked off, is not read.
    const auto lanes = static_cast<__mmask32>(((uint32_t{1} << n) - 1) << 1);
    const auto *from = reinterpret_cast<const void *>(reinterpret_cast<uintptr_t>(s) - 1);
    __m256i v = _mm256_maskz_loadu_epi8(lanes, from);
    v = _mm256_mask_set1_epi8(v, 1, static_cast<char>(wire::fixstr | n));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v);
}

// A text of 32 to longest_masked_text bytes the same way: its header (str
// 8, or str 16 without the bin family) and text by two masked loads and two
// 32-byte stores. The 64 bytes from p are writable.
inline constexpr size_t longest_masked_text = 60;
QUELM_TARGET_MASKED_TEXT inline void put_str_masked(unsigned char *p, const char *s, size_t n,
                                                    bool use_bin_type) noexcept {
    assert(n > wire::fixstr_max && n <= longest_masked_text);
    const size_t head = use_bin_type ? 2 : 3;
    const uint32_t header = use_bin_type ? wire::str8 | static_cast<uint32_t>(n) << 8
                                         : wire::str16 | static_cast<uint32_t>(n) << 16;
    const auto first = reinterpret_cast<uintptr_t>(s) - head;
    // The first store takes 32 - head bytes of the text, the second the
    // rest (at most 32 bytes; the count is computed in 64 bits).
    const auto low = static_cast<__mmask32>(~uint32_t{0} << head);
    const auto high = static_cast<__mmask32>((uint64_t{1} << (n + head - 32)) - 1);
    __m256i v0 = _mm256_maskz_loadu_epi8(low, reinterpret_cast<const void *>(first));
    const __m256i v1 = _mm256_maskz_loadu_epi8(high, reinterpret_cast<const void *>(first + 32));
    v0 = _mm256_mask_mov_epi8(v0, static_cast<__mmask32>((1u << head) - 1),
                              _mm256_set1_epi32(static_cast<int>(header)));
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p), v0);
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(p + 32), v1);
}
#endif

[[nodiscard]] QUELM_INLINE int write_str_header(OutputBuffer *b, size_t len) noexcept {
    return write_header<put_str_header>(b, len);
}

[[nodiscard]] QUELM_INLINE int write_bin_header(OutputBuffer *b, size_t len) noexcept {
    return write_header<put_bin_header>(b, len);
}

// A whole string (header and UTF-8 payload) or byte string.
[[nodiscard]] QUELM_INLINE int write_str(OutputBuffer *b, const char *s, size_t len) noexcept {
    return write_with_header<put_str_header>(b, s, len);
}

[[nodiscard]] QUELM_INLINE int write_bin(OutputBuffer *b, const void *data, size_t len) noexcept {
    return write_with_header<put_bin_header>(b, data, len);
}

[[nodiscard]] QUELM_INLINE int write_array_header(OutputBuffer *b, uint32_t n) noexcept {
    if (n <= wire::fixarray_max)
        return write_byte(b, static_cast<uint8_t>(wire::fixarray | n));
    if (n <= 0xffff)
        return write_field<uint16_t>(b, wire::array16, static_cast<uint16_t>(n));
    return write_field<uint32_t>(b, wire::array32, n);
}

[[nodiscard]] QUELM_INLINE int write_map_header(OutputBuffer *b, uint32_t n) noexcept {
    if (n <= wire::fixmap_max)
        return write_byte(b, static_cast<uint8_t>(wire::fixmap | n));
    if (n <= 0xffff)
        return write_field<uint16_t>(b, wire::map16, static_cast<uint16_t>(n));
    return write_field<uint32_t>(b, wire::map32, n);
}

// Header of an extension value of `len` data bytes; the caller appends the
// data with write_bytes.
[[nodiscard]] int write_ext_header(OutputBuffer *b, int8_t code, size_t len) noexcept;

// A complete timestamp extension value, in the shortest of its three layouts.
// Nanoseconds must be below 10^9 (the caller checks). Written in one piece.
[[nodiscard]] int write_timestamp(OutputBuffer *b, int64_t seconds, uint32_t nanoseconds) noexcept;

}  // namespace quelm

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

namespace quelm {

struct OutputBuffer {
    // Start of the storage (PyMem_Malloc'd by the owner, never null).
    char *buf;
    // Bytes written so far: the content is buf[0:length].
    size_t length;
    // Capacity of the storage.
    size_t buf_size;
    // Writers choose the bin family and str 8 when true.
    bool use_bin_type;
    // Capacity the inline reserve compares against: buf_size normally, 0
    // while the storage is exported. Zeroing it sends every write to the
    // cold path, which refuses it, so exported bytes can neither move nor
    // be overwritten and the hot path pays nothing for the guard.
    size_t write_limit;
    bool frozen;
};

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
// grows the storage to twice length + n. Overflow is checked before the
// arithmetic, and the new storage is committed only once allocated.
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

[[nodiscard]] QUELM_INLINE int write_str_header(OutputBuffer *b, size_t len) noexcept {
    if (len <= wire::fixstr_max)
        return write_byte(b, static_cast<uint8_t>(wire::fixstr | len));
    if (len <= 0xff && b->use_bin_type)
        return write_field<uint8_t>(b, wire::str8, static_cast<uint8_t>(len));
    if (len <= 0xffff)
        return write_field<uint16_t>(b, wire::str16, static_cast<uint16_t>(len));
    return write_field<uint32_t>(b, wire::str32, static_cast<uint32_t>(len));
}

[[nodiscard]] QUELM_INLINE int write_bin_header(OutputBuffer *b, size_t len) noexcept {
    if (!b->use_bin_type)
        return write_str_header(b, len);
    if (len <= 0xff)
        return write_field<uint8_t>(b, wire::bin8, static_cast<uint8_t>(len));
    if (len <= 0xffff)
        return write_field<uint16_t>(b, wire::bin16, static_cast<uint16_t>(len));
    return write_field<uint32_t>(b, wire::bin32, static_cast<uint32_t>(len));
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

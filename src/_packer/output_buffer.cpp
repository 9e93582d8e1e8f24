// The cold and less frequent halves of the output buffer: growth, float 32,
// extension headers and timestamps.
#include "_packer/output_buffer.h"

namespace quelm {

int buffer_grow(OutputBuffer *b, size_t n) noexcept {
    if (b->frozen) {
        PyErr_SetString(PyExc_BufferError, export_guard_message);
        return -1;
    }
    // Twice the needed size keeps a long series of appends amortised
    // linear; both steps are checked before they are computed.
    constexpr size_t max_size = static_cast<size_t>(PY_SSIZE_T_MAX);
    if (n > max_size - b->length || b->length + n > max_size / 2) {
        PyErr_NoMemory();
        return -1;
    }
    size_t need = b->length + n;
    if (need <= b->buf_size)
        return 0;
    size_t capacity = need * 2;
    char *grown = static_cast<char *>(PyMem_Realloc(b->buf, capacity));
    if (grown == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    b->buf = grown;
    b->buf_size = capacity;
    b->write_limit = capacity;
    return 0;
}

int write_float32(OutputBuffer *b, double d) noexcept {
    unsigned char packed[4];
#if PY_VERSION_HEX >= 0x030B0000
    if (PyFloat_Pack4(d, reinterpret_cast<char *>(packed), 0) < 0)
#else
    if (_PyFloat_Pack4(d, packed, 0) < 0)
#endif
        return -1;
    if (buffer_reserve(b, 5) < 0)
        return -1;
    unsigned char *p = buffer_tail(b);
    p[0] = wire::float32;
    std::memcpy(p + 1, packed, 4);
    buffer_commit(b, 5);
    return 0;
}

int write_ext_header(OutputBuffer *b, int8_t code, size_t len) noexcept {
    unsigned char head[max_header_size + 1];
    size_t n = 1;
    switch (len) {
    case 1: head[0] = wire::fixext1; break;
    case 2: head[0] = wire::fixext2; break;
    case 4: head[0] = wire::fixext4; break;
    case 8: head[0] = wire::fixext8; break;
    case 16: head[0] = wire::fixext16; break;
    default: n = put_length(head, len, wire::ext8, wire::ext16, wire::ext32, true);
    }
    head[n++] = static_cast<unsigned char>(code);
    return append(b, head, n);
}

int write_timestamp(OutputBuffer *b, int64_t seconds, uint32_t nanoseconds) noexcept {
    const auto code_byte = static_cast<unsigned char>(wire::timestamp_code);
    unsigned char item[15];
    size_t n;
    const auto useconds = static_cast<uint64_t>(seconds);
    if (useconds & wire::timestamp34_mask) {
        // Negative or beyond 34 bits: nanoseconds and full signed seconds.
        item[0] = wire::ext8;
        item[1] = 12;
        item[2] = code_byte;
        store_be32(item + 3, nanoseconds);
        store_be64(item + 7, useconds);
        n = 15;
    } else {
        const uint64_t word = (static_cast<uint64_t>(nanoseconds) << 34) | useconds;
        if ((word >> 32) == 0) {
            item[0] = wire::fixext4;
            item[1] = code_byte;
            store_be32(item + 2, static_cast<uint32_t>(word));
            n = 6;
        } else {
            item[0] = wire::fixext8;
            item[1] = code_byte;
            store_be64(item + 2, word);
            n = 10;
        }
    }
    return append(b, item, n);
}

}  // namespace quelm

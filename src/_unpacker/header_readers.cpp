// Container-header readers: read one array (map) header whole, or nothing,
// and leave its count in ctx->result. They share the shape and the statuses
// of the decoding routines so that the Unpacker's driver runs them alike;
// the items that follow are decoded afterwards as top-level values.
#include "_unpacker/big_endian.h"
#include "_unpacker/context.h"

namespace quelm {

namespace {

// First bytes of the two header families. A short header holds its count
// in the low four bits; the 16- and 32-bit forms carry a big-endian count.
struct HeaderForm {
    unsigned char short_base;  // 0x90 for arrays, 0x80 for maps
    unsigned char wide16;      // 0xdc, 0xde
    unsigned char wide32;      // 0xdd, 0xdf
};

constexpr HeaderForm kArrayForm = {0x90, 0xdc, 0xdd};
constexpr HeaderForm kMapForm = {0x80, 0xde, 0xdf};

QUELM_COLD int raise_unexpected_header() noexcept {
    PyErr_SetString(PyExc_ValueError, "Unexpected type header on stream");
    return DECODE_ERROR;
}

// Requires *offset < length (the caller presents at least one byte).
int read_container_header(const HeaderForm &form, DecodeContext *ctx, const char *data,
                          Py_ssize_t length, Py_ssize_t *offset) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(data) + *offset;
    Py_ssize_t remaining = length - *offset;
    uint32_t count;
    Py_ssize_t taken;
    if ((p[0] & 0xf0) == form.short_base) {
        count = p[0] & 0x0f;
        taken = 1;
    } else if (p[0] == form.wide32) {
        // A cut-off count is not consumed at all: there is no partial state.
        taken = 5;
        if (remaining < taken)
            return DECODE_NEED_MORE;
        count = load_be32(p + 1);
    } else if (p[0] == form.wide16) {
        taken = 3;
        if (remaining < taken)
            return DECODE_NEED_MORE;
        count = load_be16(p + 1);
    } else {
        return raise_unexpected_header();
    }
    *offset += taken;
    PyObject *n = PyLong_FromUnsignedLong(count);
    if (n == nullptr)
        return DECODE_ERROR;
    // The caller takes every earlier result out, so nothing is overwritten.
    ctx->result = n;
    return DECODE_COMPLETE;
}

}  // namespace

int read_array_header(DecodeContext *ctx, const char *data, Py_ssize_t length,
                      Py_ssize_t *offset) noexcept {
    return read_container_header(kArrayForm, ctx, data, length, offset);
}

int read_map_header(DecodeContext *ctx, const char *data, Py_ssize_t length,
                    Py_ssize_t *offset) noexcept {
    return read_container_header(kMapForm, ctx, data, length, offset);
}

}  // namespace quelm

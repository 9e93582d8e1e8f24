// The decoder's resumable state machine: one flat loop over a switch, with the
// open containers on the explicit stack of the DecodeContext (no C
// recursion). It consumes as many bytes as it can and stops when the
// top-level value completes, when the input runs out (the context then says
// exactly where decoding stands, so a later call with more bytes resumes),
// or on failure.
#include "_unpacker/big_endian.h"
#include "_unpacker/construct.h"

namespace quelm {

namespace {

// States. Those entered from the first bytes 0xc4..0xdf are the byte's low
// five bits; 1..3 and 20..24 are never used.
enum State : uint32_t {
    HEADER = 0,
    BIN8_LENGTH = 4,
    BIN16_LENGTH = 5,
    BIN32_LENGTH = 6,
    EXT8_LENGTH = 7,
    EXT16_LENGTH = 8,
    EXT32_LENGTH = 9,
    FLOAT32 = 10,
    FLOAT64 = 11,
    UINT8 = 12,
    UINT16 = 13,
    UINT32 = 14,
    UINT64 = 15,
    INT8 = 16,
    INT16 = 17,
    INT32 = 18,
    INT64 = 19,
    STR8_LENGTH = 25,
    STR16_LENGTH = 26,
    STR32_LENGTH = 27,
    ARRAY16_LENGTH = 28,
    ARRAY32_LENGTH = 29,
    MAP16_LENGTH = 30,
    MAP32_LENGTH = 31,
    STR_PAYLOAD = 32,
    BIN_PAYLOAD = 33,
    EXT_PAYLOAD = 34,
};

// A length or count field of 1, 2 or 4 bytes (the length states' trail).
QUELM_INLINE uint64_t load_be_field(const unsigned char *p, uint64_t width) noexcept {
    if (width == 1)
        return p[0];
    if (width == 2)
        return load_be16(p);
    return load_be32(p);
}

QUELM_COLD int raise_invalid_state(uint32_t state) noexcept {
    PyErr_Format(PyExc_RuntimeError, "Invalid state: %d", static_cast<int>(state));
    return -1;
}

QUELM_COLD int raise_invalid_container_type(uint32_t type) noexcept {
    PyErr_Format(PyExc_RuntimeError, "Invalid container type: %u", static_cast<unsigned>(type));
    return -1;
}

}  // namespace

int decode_execute(bool construct, DecodeContext *ctx, const char *data, Py_ssize_t length,
                   Py_ssize_t *offset) noexcept {
    Py_ssize_t p = *offset;
    if (p >= length)
        return DECODE_NEED_MORE;
    const unsigned char *const d = reinterpret_cast<const unsigned char *>(data);
    const DecodeOptions &o = ctx->options;
    uint32_t state = ctx->state;
    uint64_t trail = ctx->trail;
    uint32_t depth = ctx->depth;
    // Nothing is awaited outside a container, whatever a reset left behind.
    uint64_t awaited = depth != 0 ? ctx->awaited : 0;
    PyObject *item = nullptr;  // the completed item (owned; NULL in skip mode)
    Py_ssize_t q = p;          // last byte of the item or header just read
    uint64_t n = 0;            // count of the container being opened
    bool is_map = false;
    int status;

    for (;;) {
        if (state == HEADER) {
            const unsigned b = d[p];
            q = p;
            switch (b >> 4) {
            case 0x0: case 0x1: case 0x2: case 0x3:
            case 0x4: case 0x5: case 0x6: case 0x7:
                if (construct && (item = construct_uint(b)) == nullptr)
                    goto error;
                goto complete;
            case 0xe: case 0xf:
                if (construct && (item = construct_int(static_cast<int>(b) - 256)) == nullptr)
                    goto error;
                goto complete;
            case 0x8:
                n = b & 0x0f;
                is_map = true;
                goto open;
            case 0x9:
                n = b & 0x0f;
                is_map = false;
                goto open;
            case 0xa: case 0xb:
                if (b == 0xa0) {
                    if (construct && (item = construct_str(o, nullptr, 0)) == nullptr)
                        goto error;
                    goto complete;
                }
                state = STR_PAYLOAD;
                trail = b & 0x1f;
                break;
            default:  // 0xc0..0xdf
                switch (b & 0x1f) {
                case 0:
                    if (construct)
                        item = construct_nil();
                    goto complete;
                case 1:
                    status = DECODE_INVALID_BYTE;
                    goto stop;
                case 2:
                case 3:
                    if (construct)
                        item = construct_bool(b == 0xc3);
                    goto complete;
                case 4: case 5: case 6:        // bin 8/16/32: 1, 2, 4 length bytes
                case 7: case 8: case 9:        // ext 8/16/32
                    state = b & 0x1f;
                    trail = 1u << ((state - 4) % 3);
                    break;
                case 10: case 11:              // float 32/64: 4, 8 bytes
                case 12: case 13: case 14: case 15:  // uint 8..64
                case 16: case 17: case 18: case 19:  // int 8..64
                    state = b & 0x1f;
                    trail = 1u << (b & 3);
                    break;
                case 20: case 21: case 22: case 23:  // fixed ext 1, 2, 4, 8
                    state = EXT_PAYLOAD;
                    trail = (1u << (b & 3)) + 1;
                    break;
                case 24:                       // fixed ext 16
                    state = EXT_PAYLOAD;
                    trail = 17;
                    break;
                case 25:                       // str 8
                    state = STR8_LENGTH;
                    trail = 1;
                    break;
                default:                       // str 16/32, array and map 16/32
                    state = b & 0x1f;
                    trail = 2u << (b & 1);
                    break;
                }
                break;
            }
            p += 1;
        }

        // The current state needs `trail` bytes from p.
        if (static_cast<uint64_t>(length - p) < trail) {
            status = DECODE_NEED_MORE;
            goto stop;
        }
        {
            const unsigned char *f = d + p;
            q = p + static_cast<Py_ssize_t>(trail) - 1;
            switch (state) {
            case UINT8:
            case UINT16:
            case UINT32:
            case UINT64: {
                const uint64_t v = trail == 1   ? f[0]
                                   : trail == 2 ? load_be16(f)
                                   : trail == 4 ? load_be32(f)
                                                : load_be64(f);
                if (construct && (item = construct_uint(v)) == nullptr)
                    goto error;
                goto complete;
            }
            case INT8:
            case INT16:
            case INT32:
            case INT64: {
                const int64_t v = trail == 1   ? static_cast<int8_t>(f[0])
                                  : trail == 2 ? static_cast<int16_t>(load_be16(f))
                                  : trail == 4 ? static_cast<int32_t>(load_be32(f))
                                               : static_cast<int64_t>(load_be64(f));
                if (construct && (item = construct_int(v)) == nullptr)
                    goto error;
                goto complete;
            }
            case FLOAT32:
            case FLOAT64:
                if (construct) {
                    const double v = trail == 4 ? load_be_float32(f) : load_be_float64(f);
                    if ((item = construct_float(v)) == nullptr)
                        goto error;
                }
                goto complete;
            case STR8_LENGTH:
            case STR16_LENGTH:
            case STR32_LENGTH:
            case BIN8_LENGTH:
            case BIN16_LENGTH:
            case BIN32_LENGTH: {
                const uint64_t len = load_be_field(f, trail);
                const bool is_str = state >= STR8_LENGTH;
                if (len == 0) {
                    if (construct) {
                        item = is_str ? construct_str(o, nullptr, 0) : construct_bin(o, nullptr, 0);
                        if (item == nullptr)
                            goto error;
                    }
                    goto complete;
                }
                state = is_str ? STR_PAYLOAD : BIN_PAYLOAD;
                trail = len;
                p = q + 1;
                continue;
            }
            case EXT8_LENGTH:
            case EXT16_LENGTH:
            case EXT32_LENGTH:
                state = EXT_PAYLOAD;
                trail = load_be_field(f, trail) + 1;
                p = q + 1;
                continue;
            case ARRAY16_LENGTH:
            case ARRAY32_LENGTH:
                n = trail == 2 ? load_be16(f) : load_be32(f);
                is_map = false;
                goto open;
            case MAP16_LENGTH:
            case MAP32_LENGTH:
                n = trail == 2 ? load_be16(f) : load_be32(f);
                is_map = true;
                goto open;
            case STR_PAYLOAD:
                if (construct) {
                    const char *text = reinterpret_cast<const char *>(f);
                    item = depth != 0 && ctx->stack[depth - 1].container_type == MAP_KEY
                               ? construct_key_str(o, text, trail)
                               : construct_str(o, text, trail);
                    if (item == nullptr)
                        goto error;
                }
                goto complete;
            case BIN_PAYLOAD:
                if (construct &&
                    (item = construct_bin(o, reinterpret_cast<const char *>(f), trail)) == nullptr)
                    goto error;
                goto complete;
            case EXT_PAYLOAD:
                if (construct &&
                    (item = construct_ext(o, reinterpret_cast<const char *>(f), trail)) == nullptr)
                    goto error;
                goto complete;
            default:
                raise_invalid_state(state);
                status = DECODE_ERROR;
                goto stop;
            }
        }

    open:
        // A container of n items (pairs) whose header ends at q.
        if (depth >= kMaxDepth) {
            status = DECODE_TOO_DEEP;
            p = q;
            goto stop;
        }
        if (construct) {
            if (n == 0) {
                item = is_map ? make_empty_map(o) : make_empty_array(o);
                if (item != nullptr)
                    item = is_map ? end_map(o, item) : end_array(o, item);
                if (item == nullptr)
                    goto error;
                goto complete;
            }
            // Pre-size only what the bytes at hand can still fill: each
            // awaited item needs a byte, this container itself filling one
            // of the innermost frame's awaited slots.
            const int64_t after = static_cast<int64_t>(length - (q + 1));
            const int64_t others = static_cast<int64_t>(awaited) - (depth != 0 ? 1 : 0);
            int64_t room = after - others;
            if (is_map)
                room /= 2;
            const uint64_t presize =
                room <= 0 ? 0 : (static_cast<uint64_t>(room) < n ? static_cast<uint64_t>(room) : n);
            PyObject *c = is_map ? start_map(o, n, presize) : start_array(o, n, presize);
            if (c == nullptr)
                goto error;
            ctx->stack[depth].container = c;
        } else {
            if (n == 0)
                goto complete;
            ctx->stack[depth].container = nullptr;
        }
        {
            ContainerFrame &fr = ctx->stack[depth];
            fr.size = n;
            fr.count = 0;
            fr.container_type = is_map ? MAP_KEY : ARRAY_ITEM;
            fr.pending_key = nullptr;
            awaited += is_map ? 2 * n : n;
            depth += 1;
        }
        goto next;

    complete:
        // `item` (NULL in skip mode) completed with its last byte at q.
        while (depth != 0) {
            ContainerFrame &fr = ctx->stack[depth - 1];
            const uint32_t type = fr.container_type;
            awaited -= 1;
            if (type == MAP_KEY) {
                fr.pending_key = item;
                item = nullptr;
                fr.container_type = MAP_VALUE;
                goto next;
            }
            if (type == ARRAY_ITEM) {
                if (construct && add_array_item(fr.container, fr.count, item) < 0) {
                    item = nullptr;
                    goto error;
                }
            } else if (type == MAP_VALUE) {
                PyObject *key = fr.pending_key;
                fr.pending_key = nullptr;
                if (construct && add_map_pair(o, fr.container, fr.count, key, item) < 0) {
                    item = nullptr;
                    goto error;
                }
                fr.container_type = MAP_KEY;
            } else {
                awaited += 1;
                raise_invalid_container_type(type);
                goto error;
            }
            item = nullptr;
            if (++fr.count != fr.size)
                goto next;
            // The container is complete: it leaves the stack and becomes the
            // item completed one level further out.
            item = fr.container;
            fr.container = nullptr;
            depth -= 1;
            if (construct) {
                finish_container(item);
                item = type == ARRAY_ITEM ? end_array(o, item) : end_map(o, item);
                if (item == nullptr)
                    goto error;
            }
        }
        ctx->result = construct ? item : Py_NewRef(Py_None);
        ctx->state = state;
        ctx->trail = trail;
        ctx->depth = 0;
        ctx->awaited = 0;
        *offset = q + 1;
        return DECODE_COMPLETE;

    next:
        p = q + 1;
        state = HEADER;
        if (p == length) {
            status = DECODE_NEED_MORE;
            goto stop;
        }
    }

error:
    Py_XDECREF(item);
    status = DECODE_ERROR;
    p = q;
stop:
    ctx->state = state;
    ctx->trail = trail;
    ctx->depth = depth;
    ctx->awaited = awaited;
    *offset = p;
    return status;
}

int decode_construct(DecodeContext *ctx, const char *data, Py_ssize_t length,
                     Py_ssize_t *offset) noexcept {
    return decode_execute(true, ctx, data, length, offset);
}

int decode_skip(DecodeContext *ctx, const char *data, Py_ssize_t length,
                Py_ssize_t *offset) noexcept {
    return decode_execute(false, ctx, data, length, offset);
}

void clear_context(DecodeContext *ctx) noexcept {
    for (uint32_t i = 0; i < ctx->depth && i < kMaxDepth; ++i) {
        ContainerFrame &fr = ctx->stack[i];
        Py_CLEAR(fr.pending_key);
        Py_CLEAR(fr.container);
    }
    Py_CLEAR(ctx->result);
    ctx->state = HEADER;
    ctx->trail = 0;
    ctx->depth = 0;
    ctx->awaited = 0;
    ctx->active_routine = nullptr;
}

}  // namespace quelm

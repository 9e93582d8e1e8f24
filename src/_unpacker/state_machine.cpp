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

// The number of state `code` (FLOAT32..INT64) whose payload starts at f.
// Inlined with a constant code wherever the code is known, so the switch
// folds away.
QUELM_INLINE PyObject *construct_number(uint32_t code, const unsigned char *f) noexcept {
    switch (code) {
    case FLOAT32: return construct_float(load_be_float32(f));
    case FLOAT64: return construct_float(load_be_float64(f));
    case UINT8: return construct_uint(f[0]);
    case UINT16: return construct_uint(load_be16(f));
    case UINT32: return construct_uint(load_be32(f));
    case UINT64: return construct_uint(load_be64(f));
    case INT8: return construct_int(static_cast<int8_t>(f[0]));
    case INT16: return construct_int(static_cast<int16_t>(load_be16(f)));
    case INT32: return construct_int(static_cast<int32_t>(load_be32(f)));
    default: return construct_int(static_cast<int64_t>(load_be64(f)));
    }
}

// A str payload of n >= 1 bytes: map keys go through the key cache.
QUELM_INLINE PyObject *construct_text(const DecodeContext *ctx, uint32_t depth, const char *text,
                                      uint64_t n) noexcept {
    return depth != 0 && ctx->stack[depth - 1].container_type == MAP_KEY
               ? construct_key_str(ctx->options, text, n)
               : construct_str(ctx->options, text, n);
}

// Every first byte's integer form, for reading any of them the same way, with
// no branch on the form (which in mixed data changes from item to item, and
// would be mispredicted): one 8-byte load from where the field starts (the
// first byte itself for a tiny int, which is its own value), sign-extended
// down by the shift, and the bits to keep (the field's own, for the unsigned
// forms). Length 0 for the bytes that start no integer.
struct IntForm {
    uint64_t keep;
    uint8_t shift, offset, length, is_uint;
};

constexpr IntForm int_form(unsigned b) noexcept {
    if (b <= 0x7f || b >= 0xe0)
        return {~uint64_t{0}, 56, 0, 1, 0};
    if (b < 0xcc || b > 0xd3)
        return {0, 0, 0, 0, 0};
    const unsigned width = 1u << (b & 3);
    const uint8_t shift = static_cast<uint8_t>(64 - 8 * width);
    const bool is_uint = b <= 0xcf;
    return {is_uint ? ~uint64_t{0} >> shift : ~uint64_t{0}, shift, 1,
            static_cast<uint8_t>(1 + width), is_uint};
}

struct IntForms {
    IntForm at[256];
    constexpr IntForms() noexcept : at() {
        for (unsigned b = 0; b < 256; b++)
            at[b] = int_form(b);
    }
};

inline constexpr IntForms kIntForms{};

// The integer of form f whose first byte is at `at`, with 8 bytes at hand
// after it.
QUELM_INLINE PyObject *construct_int_form(const IntForm &f, const unsigned char *at) noexcept {
    const uint64_t value =
        static_cast<uint64_t>(static_cast<int64_t>(load_be64(at + f.offset)) >> f.shift) & f.keep;
    // Only a uint 64 of 2^63 or more has its top bit set as an unsigned form.
    return QUELM_UNLIKELY(value >> 63 & f.is_uint) ? construct_uint(value)
                                                   : construct_int(static_cast<int64_t>(value));
}

// Scalars that need no context: the item whose first byte is at p, when it
// is a number, nil, a boolean or a short str and all its bytes are at hand.
// Returns 1 with `*item` (new reference) and `*q` at its last byte, 0 when
// the item is of another kind or cut off (nothing done), or -1 with an
// exception set and `*q` at the failed item's last byte.
QUELM_INLINE int construct_simple(const DecodeOptions &o, const unsigned char *d, Py_ssize_t p,
                                  Py_ssize_t length, Py_ssize_t *q, PyObject **item) noexcept {
    const unsigned b = d[p];
    const uint64_t avail = static_cast<uint64_t>(length - p - 1);
    PyObject *v;
    // Float 64 first: in float data it is every item, and the general
    // number path below would select its width and form at run time; one
    // compare, before the integers' table is read.
    if (b == 0xcb && avail >= 8) {
        v = construct_float(load_be_float64(d + p + 1));
        *q = p + 8;
        *item = v;
        return v != nullptr ? 1 : -1;
    }
    // Every integer form at once, when the widest field is at hand.
    const IntForm &f = kIntForms.at[b];
    if (avail >= 8 && f.length != 0) {
        v = construct_int_form(f, d + p);
        *q = p + f.length - 1;
        *item = v;
        return v != nullptr ? 1 : -1;
    }
    if (b <= 0x7f) {
        v = construct_uint(b);
        *q = p;
    } else if (b >= 0xe0) {
        v = construct_int(static_cast<int>(b) - 256);
        *q = p;
    } else if (b >= 0xca && b <= 0xd3) {
        const uint64_t width = uint64_t{1} << (b & 3);
        if (avail < width)
            return 0;
        v = construct_number(b & 0x1f, d + p + 1);
        *q = p + static_cast<Py_ssize_t>(width);
    } else if (b >= 0xa1 && b <= 0xbf) {
        const uint64_t len = b & 0x1f;
        if (avail < len)
            return 0;
        v = construct_str(o, reinterpret_cast<const char *>(d + p + 1), len);
        *q = p + static_cast<Py_ssize_t>(len);
    } else if (b == 0xc0) {
        v = construct_nil();
        *q = p;
    } else if (b == 0xc2 || b == 0xc3) {
        v = construct_bool(b == 0xc3);
        *q = p;
    } else {
        return 0;
    }
    *item = v;
    return v != nullptr ? 1 : -1;
}

// The fill loops. Once an item has completed inside a container, the items
// that follow are mostly simple ones with all their bytes at hand; the loops
// below complete them straight into the innermost container, without the
// machine's per-item bookkeeping, and stop at the first item of another kind
// (which the machine then reads as usual). Each leaves the frame, `awaited`,
// `p` and `q` as the machine would have left them after the same items, and
// returns 1 when the container received its last item (`p` after it), 0 when
// it stopped before an item (`p` at that item), or -1 with an exception set
// and `q` at the failed item's last byte.

// The key of a pair whose short str key (1..kPositionKeyMaxLength bytes)
// starts at p with 8 bytes at hand: the key last seen at the same position,
// borrowed, when its bytes are the same; else NULL, with `*word` the key's
// word for remember_position_key.
QUELM_INLINE PyObject *find_position_key(const unsigned char *d, Py_ssize_t p, uint64_t pos,
                                         uint64_t n, uint64_t *word) noexcept {
    const uint64_t w = load_be64(d + p) & (~uint64_t{0} << (8 * (kPositionKeyMaxLength - n)));
    *word = w;
    const PositionKey &slot = g_position_keys[pos];
    return slot.word == w ? slot.key : nullptr;
}

// Keeps `key` (borrowed) as the key at position pos, when it is one a later
// find_position_key may return: an interned, compact ASCII str decoded from
// ASCII bytes. The table serves calls under every option set, so it holds
// no key that an error handler made of invalid bytes: a strict call must
// still see those bytes fail.
QUELM_INLINE void remember_position_key(uint64_t pos, uint64_t word, PyObject *key) noexcept {
    constexpr uint64_t kKeyHighBits = 0x0080808080808080ull;  // the bytes after the header
    if ((word & kKeyHighBits) != 0 || !PyUnicode_CheckExact(key) ||
        !PyUnicode_CHECK_INTERNED(key) || !PyUnicode_IS_COMPACT_ASCII(key))
        return;
    PositionKey &slot = g_position_keys[pos];
    PyObject *old = slot.key;
    slot.key = Py_NewRef(key);
    slot.word = word;
    Py_XDECREF(old);
}

// Map pairs of a dict (not a pairs list) whose key is a non-empty short
// str; a key whose value is not simple is left pending in the frame. Keys
// found by position go into the dict as they are: they are interned str,
// which strict_map_key accepts.
QUELM_INLINE int fill_dict(const DecodeOptions &o, ContainerFrame &fr, const unsigned char *d,
                           Py_ssize_t length, Py_ssize_t &p, Py_ssize_t &q,
                           uint64_t &awaited) noexcept {
    PyObject *const c = fr.container;
    const uint64_t size = fr.size;
    uint64_t count = fr.count;
    // Keys by position only where a key's bytes alone decide its str.
    const bool by_position =
        !o.raw && o.max_str_len >= static_cast<int64_t>(kPositionKeyMaxLength);
    int r = 0;
    while (p < length) {
        const unsigned b = d[p];
        if (b < 0xa1 || b > 0xbf)
            break;
        const uint64_t len = b & 0x1f;
        if (static_cast<uint64_t>(length - p - 1) < len)
            break;
        q = p + static_cast<Py_ssize_t>(len);
        PyObject *key = nullptr;
        uint64_t word = 0;
        const bool positioned = by_position && count < kPositionKeys &&
                                len <= kPositionKeyMaxLength && length - p >= 8;
        if (positioned)
            key = find_position_key(d, p, count, len, &word);
        const bool borrowed = key != nullptr;
        if (!borrowed) {
            key = construct_key_str(o, reinterpret_cast<const char *>(d + p + 1), len);
            if (key == nullptr) {
                r = -1;
                break;
            }
            if (positioned)
                remember_position_key(count, word, key);
        }
        awaited -= 1;
        p = q + 1;
        PyObject *value;
        r = p < length ? construct_simple(o, d, p, length, &q, &value) : 0;
        if (r <= 0) {
            fr.pending_key = borrowed ? Py_NewRef(key) : key;
            fr.container_type = MAP_VALUE;
            break;
        }
        if (borrowed) {
            r = PyDict_SetItem(c, key, value);
            Py_DECREF(value);
        } else {
            r = add_map_pair(o, c, count, key, value);
        }
        if (r < 0) {
            fr.container_type = MAP_VALUE;  // where the machine's own failure leaves it
            break;
        }
        awaited -= 1;
        p = q + 1;
        if (++count == size) {
            r = 1;
            break;
        }
    }
    fr.count = count;
    return r;
}

// A small map inside an array: the header byte at p opens a dict of n
// (1..15) pairs as the machine would open it (pre-sized by the same rule),
// and fill_dict takes its pairs at once. Returns 1 with `*item` (new
// reference) when the map completed, `p` after it and `q` at its last byte.
// Otherwise the map stays open as the machine's innermost container, pushed
// as stack[depth] with `depth`, `awaited`, `p` and `q` where the machine
// would have them: 0 when it waits for an item that is not simple or not at
// hand, -1 on failure (exception set; `q` at the failed item's last byte,
// or at the header when the dict could not be made, which is then pushed
// without a container as the machine pushes it, so that recovery skips its
// pairs; a failing object_hook leaves the map closed, `q` at its last byte).
QUELM_INLINE int fill_small_dict(const DecodeOptions &o, ContainerFrame *stack, uint32_t &depth,
                                 const unsigned char *d, Py_ssize_t length, Py_ssize_t &p,
                                 Py_ssize_t &q, uint64_t &awaited, PyObject **item) noexcept {
    const uint64_t n = d[p] & 0x0f;
    // The machine's pre-sizing at this header, with this map among the
    // array's awaited items.
    const int64_t room =
        (static_cast<int64_t>(length - (p + 1)) - (static_cast<int64_t>(awaited) - 1)) / 2;
    const uint64_t presize =
        room <= 0 ? 0 : (static_cast<uint64_t>(room) < n ? static_cast<uint64_t>(room) : n);
    q = p;
    PyObject *c = start_map(o, n, presize);
    if (c == nullptr) {
        stack[depth] = ContainerFrame{nullptr, n, 0, MAP_KEY, nullptr};
        depth += 1;
        return -1;
    }
    // The frame is pushed only if the map stays open.
    ContainerFrame fr{c, n, 0, MAP_KEY, nullptr};
    awaited += 2 * n;
    p += 1;
    const int r = fill_dict(o, fr, d, length, p, q, awaited);
    if (r <= 0) {
        stack[depth] = fr;
        depth += 1;
        return r;
    }
    // Closed as the machine closes it, hook included.
    *item = o.object_hook == nullptr ? c : end_map(o, c);
    return *item != nullptr ? 1 : -1;
}

// A list pre-sized from an earlier, shorter part of the input, all of whose
// slots are filled: makes room at once for as many items as the `at_hand`
// bytes can still hold, rather than appending them one by one. As when the
// list was opened, every item awaited elsewhere keeps a byte of its own, so
// the slots reserved across all open lists never outnumber the bytes at
// hand. Returns 0 (grown or not), or -1 with an exception set.
QUELM_NOINLINE int grow_resumed_list(ContainerFrame &fr, uint64_t awaited,
                                     Py_ssize_t at_hand) noexcept {
    const uint64_t room = static_cast<uint64_t>(PyList_GET_SIZE(fr.container));
    const uint64_t own = fr.size - fr.count;
    const uint64_t others = awaited > own ? awaited - own : 0;
    if (at_hand <= 0 || static_cast<uint64_t>(at_hand) <= others)
        return 0;
    const uint64_t more = static_cast<uint64_t>(at_hand) - others;
    const uint64_t capacity = fr.size - room <= more ? fr.size : room + more;
    PyObject *grown = grow_open_list(fr.container, capacity);
    if (grown == nullptr)
        return -1;
    fr.container = grown;
    return 0;
}

// A run of integers with the widest form's bytes at hand, straight into the
// slots [i, end) of an array: the loop of integer arrays, out of line so that
// its few variables stay in registers and nothing else is tested per item.
// (Selecting the form by arithmetic rather than from the table measured
// about 20 more instructions per item and 3 to 4% more time.)
// Leaves `p` at the first byte not read and `i` after the last slot filled;
// returns 0, or -1 with an exception set, `p` at the failed integer and `q`
// at its last byte.
QUELM_NOINLINE int fill_ints(const unsigned char *d, Py_ssize_t length, Py_ssize_t &p,
                             Py_ssize_t &q, PyObject **slots, uint64_t &i, uint64_t end) noexcept {
    const Py_ssize_t stop = length - 8;
    Py_ssize_t at = p;
    uint64_t k = i;
    int r = 0;
    while (k < end && at < stop) {
        const IntForm &f = kIntForms.at[d[at]];
        if (f.length == 0)
            break;
        PyObject *const v = construct_int_form(f, d + at);
        if (QUELM_UNLIKELY(v == nullptr)) {
            q = at + f.length - 1;
            r = -1;
            break;
        }
        slots[k++] = v;
        at += f.length;
    }
    p = at;
    i = k;
    return r;
}

// Array items go into the pre-sized slots of the list or tuple; small maps
// that become dicts (not pairs lists) are opened in passing, below the depth
// limit, and filled at once.
QUELM_INLINE int fill_array(const DecodeOptions &o, ContainerFrame *stack, uint32_t &depth,
                            const unsigned char *d, Py_ssize_t length, Py_ssize_t &p,
                            Py_ssize_t &q, uint64_t &awaited) noexcept {
    ContainerFrame &fr = stack[depth - 1];
    PyObject *c = fr.container;
    // A list takes the items past its pre-sized room by appending, as the
    // machine does (a list pre-sized from a first part of the input, then
    // resumed on the rest); a tuple always has room for every item.
    const bool is_list = PyList_CheckExact(c);
    uint64_t room = static_cast<uint64_t>(is_list ? PyList_GET_SIZE(c) : PyTuple_GET_SIZE(c));
    const uint64_t end = is_list || room > fr.size ? fr.size : room;
    PyObject **slots = PySequence_Fast_ITEMS(c);
    const bool whole_maps = depth < kMaxDepth && !o.use_pairs_hook;
    uint64_t i = fr.count;
    if (QUELM_UNLIKELY(i == room) && is_list && room < fr.size) {
        if (grow_resumed_list(fr, awaited, length - p) < 0)
            return -1;
        c = fr.container;
        slots = PySequence_Fast_ITEMS(c);
        room = static_cast<uint64_t>(PyList_GET_SIZE(c));
    }
    int r = 0;
    bool opened = false;  // a map left open by fill_small_dict
    while (i < end && p < length) {
        PyObject *item;
        const unsigned b = d[p];
        if (i < room && kIntForms.at[b].length != 0) {
            const uint64_t first = i;
            r = fill_ints(d, length, p, q, slots, i, end < room ? end : room);
            awaited -= i - first;
            if (r < 0)
                break;
            if (i != first) {
                q = p - 1;
                continue;
            }
        }
        r = construct_simple(o, d, p, length, &q, &item);
        if (r == 0 && b >= 0x81 && b <= 0x8f && whole_maps) {
            r = fill_small_dict(o, stack, depth, d, length, p, q, awaited, &item);
            opened = r == 0;
        }
        if (r <= 0)
            break;
        awaited -= 1;
        if (QUELM_LIKELY(i < room)) {
            slots[i] = item;
        } else {
            if (add_array_item(c, i, item) < 0) {
                r = -1;
                break;
            }
            slots = PySequence_Fast_ITEMS(c);
            room = static_cast<uint64_t>(PyList_GET_SIZE(c));
        }
        i += 1;
        p = q + 1;
    }
    fr.count = i;
    if (r < 0)
        return -1;
    return !opened && i == fr.size ? 1 : 0;
}

// The machine, compiled once per mode so that the construct-mode loop
// carries no mode tests.
//
// Items whose bytes are all at hand complete straight from the header
// dispatch (the common case for whole inputs); the trail states are entered
// only when an item is cut off by the end of the input. Both ways leave the
// context exactly as the other would.
template <bool kConstruct>
int run_machine(DecodeContext *ctx, const char *data, Py_ssize_t length,
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
            // Bytes present after the first one.
            const uint64_t avail = static_cast<uint64_t>(length - p - 1);
            const unsigned char *const f = d + p + 1;
            q = p;
            switch (b) {
            case 0x00 ... 0x7f:
                if (kConstruct && (item = construct_uint(b)) == nullptr)
                    goto error;
                goto complete;
            case 0xe0 ... 0xff:
                if (kConstruct && (item = construct_int(static_cast<int>(b) - 256)) == nullptr)
                    goto error;
                goto complete;
            case 0x80 ... 0x8f:
                n = b & 0x0f;
                is_map = true;
                goto open;
            case 0x90 ... 0x9f:
                n = b & 0x0f;
                is_map = false;
                goto open;
            case 0xa0:
                if (kConstruct && (item = construct_str(o, nullptr, 0)) == nullptr)
                    goto error;
                goto complete;
            case 0xa1 ... 0xbf:
                state = STR_PAYLOAD;
                trail = b & 0x1f;
                if (avail >= trail) {
                    q = p + static_cast<Py_ssize_t>(trail);
                    if (kConstruct &&
                        (item = construct_text(ctx, depth, reinterpret_cast<const char *>(f),
                                               trail)) == nullptr)
                        goto error;
                    goto complete;
                }
                break;
            case 0xc0:
                if (kConstruct)
                    item = construct_nil();
                goto complete;
            case 0xc1:
                status = DECODE_INVALID_BYTE;
                goto stop;
            case 0xc2:
            case 0xc3:
                if (kConstruct)
                    item = construct_bool(b == 0xc3);
                goto complete;
            case 0xc4 ... 0xc9:  // bin and ext 8/16/32: 1, 2, 4 length bytes
                state = b & 0x1f;
                trail = 1u << ((state - 4) % 3);
                break;
            case 0xca ... 0xd3:  // float 32/64 (4, 8 bytes), uint and int 8..64
                state = b & 0x1f;
                trail = 1u << (b & 3);
                if (avail >= trail) {
                    q = p + static_cast<Py_ssize_t>(trail);
                    if (kConstruct && (item = construct_number(state, f)) == nullptr)
                        goto error;
                    goto complete;
                }
                break;
            case 0xd4 ... 0xd7:  // fixed ext 1, 2, 4, 8
                state = EXT_PAYLOAD;
                trail = (1u << (b & 3)) + 1;
                break;
            case 0xd8:  // fixed ext 16
                state = EXT_PAYLOAD;
                trail = 17;
                break;
            case 0xd9:  // str 8
                state = STR8_LENGTH;
                trail = 1;
                // A non-empty payload wholly present completes here, as the
                // two trail states would (ending in STR_PAYLOAD).
                if (avail >= 1 && f[0] != 0 && avail - 1 >= f[0]) {
                    state = STR_PAYLOAD;
                    trail = f[0];
                    q = p + 1 + static_cast<Py_ssize_t>(trail);
                    if (kConstruct &&
                        (item = construct_text(ctx, depth, reinterpret_cast<const char *>(f + 1),
                                               trail)) == nullptr)
                        goto error;
                    goto complete;
                }
                break;
            default:  // str 16/32, array and map 16/32
                state = b & 0x1f;
                trail = 2u << (b & 1);
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
            case FLOAT32:
            case FLOAT64:
            case UINT8:
            case UINT16:
            case UINT32:
            case UINT64:
            case INT8:
            case INT16:
            case INT32:
            case INT64:
                if (kConstruct && (item = construct_number(state, f)) == nullptr)
                    goto error;
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
                    if (kConstruct) {
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
                if (kConstruct &&
                    (item = construct_text(ctx, depth, reinterpret_cast<const char *>(f),
                                           trail)) == nullptr)
                    goto error;
                goto complete;
            case BIN_PAYLOAD:
                if (kConstruct &&
                    (item = construct_bin(o, reinterpret_cast<const char *>(f), trail)) == nullptr)
                    goto error;
                goto complete;
            case EXT_PAYLOAD:
                if (kConstruct &&
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
        if (kConstruct) {
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
            if (c == nullptr) {
                // Left open without a container: a caller that goes on past
                // the failure skips the n items the header announced.
                ContainerFrame &fr = ctx->stack[depth];
                fr = ContainerFrame{nullptr, n, 0, is_map ? MAP_KEY : ARRAY_ITEM, nullptr};
                depth += 1;
                goto error;
            }
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
            if (QUELM_LIKELY(type == ARRAY_ITEM)) {
                if (kConstruct && add_array_item(fr.container, fr.count, item) < 0) {
                    item = nullptr;
                    goto error;
                }
            } else if (type == MAP_KEY) {
                fr.pending_key = item;
                item = nullptr;
                fr.container_type = MAP_VALUE;
                goto next;
            } else if (type == MAP_VALUE) {
                PyObject *key = fr.pending_key;
                fr.pending_key = nullptr;
                if (kConstruct && add_map_pair(o, fr.container, fr.count, key, item) < 0) {
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
            goto close;
        }
        ctx->result = kConstruct ? item : Py_NewRef(Py_None);
        ctx->state = state;
        ctx->trail = trail;
        ctx->depth = 0;
        ctx->awaited = 0;
        *offset = q + 1;
        return DECODE_COMPLETE;

    close:
        // The innermost container received its last item (which ended at
        // q): it leaves the stack and becomes the item completed one level
        // further out.
        {
            ContainerFrame &fr = ctx->stack[depth - 1];
            const bool is_array = fr.container_type == ARRAY_ITEM;
            item = fr.container;
            fr.container = nullptr;
            depth -= 1;
            if (kConstruct) {
                finish_container(item);
                item = is_array ? end_array(o, item) : end_map(o, item);
                if (item == nullptr)
                    goto error;
            }
        }
        goto complete;

    next:
        p = q + 1;
        state = HEADER;
        if (kConstruct && depth != 0) {
            ContainerFrame &fr = ctx->stack[depth - 1];
            int filled = 0;
            if (fr.container_type == ARRAY_ITEM)
                filled = fill_array(o, ctx->stack, depth, d, length, p, q, awaited);
            else if (fr.container_type == MAP_KEY && PyDict_CheckExact(fr.container))
                filled = fill_dict(o, fr, d, length, p, q, awaited);
            if (filled < 0)
                goto error;
            if (filled > 0)
                goto close;
        }
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

}  // namespace

int decode_execute(bool construct, DecodeContext *ctx, const char *data, Py_ssize_t length,
                   Py_ssize_t *offset) noexcept {
    return construct ? run_machine<true>(ctx, data, length, offset)
                     : run_machine<false>(ctx, data, length, offset);
}

int decode_construct(DecodeContext *ctx, const char *data, Py_ssize_t length,
                     Py_ssize_t *offset) noexcept {
    return run_machine<true>(ctx, data, length, offset);
}

int decode_skip(DecodeContext *ctx, const char *data, Py_ssize_t length,
                Py_ssize_t *offset) noexcept {
    return run_machine<false>(ctx, data, length, offset);
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

// The cold and less frequent halves of the output buffer: its storage
// (growth, and the hand-over of a finished output as a bytes object),
// float 32, extension headers and timestamps.
#include "_packer/output_buffer.h"

#include <atomic>
#include <cstddef>

namespace quelm {

namespace {

// Room in front of the content for a bytes object's header, and behind it
// for the NUL that ends every bytes object.
constexpr size_t header_size = offsetof(PyBytesObject, ob_sval);
constexpr size_t trailer_size = 1;
// The largest capacity whose storage size a Py_ssize_t still counts.
constexpr size_t max_capacity = static_cast<size_t>(PY_SSIZE_T_MAX) - header_size - trailer_size;

// The bytes object's fields that follow its variable-size header: the
// cached hash, which a new object holds as -1 ("not computed yet").
static_assert(sizeof(PyVarObject) + sizeof(Py_hash_t) == header_size,
              "a bytes object is a variable-size header, a hash, then the content");

// The content pointer of every buffer that holds no storage. Its capacity
// is 0, so nothing is ever written there.
alignas(16) char no_storage[header_size + trailer_size];

// Where storage starts when nothing better is known.
constexpr size_t default_start = 1024;
// An output up to this size is copied into its bytes object: a copy this
// short costs less than starting new storage for the next output, and the
// small allocator would move a block shrunk this far anyway.
constexpr size_t copy_limit = 4096;
// Storage beyond this size is released after a small output.
constexpr size_t keep_limit = size_t{64} << 10;
// What a write may reserve beyond what it commits (a short string's
// fixed-size store), plus a few small items' worth.
constexpr size_t reserve_slack = 64;

// The storage size a handed-over output of n bytes keeps: room for the
// last reservation's look-ahead, rounded up so that outputs of about the
// same size leave blocks of one size, each of which fits the next output.
QUELM_INLINE size_t fitted_size(size_t n) noexcept {
    const size_t size = header_size + n + reserve_slack + trailer_size;
    const size_t grain = n >= (size_t{64} << 10) ? 4096 : 256;
    return (size + grain - 1) & ~(grain - 1);
}

// The size the last output handed over by any buffer suggests for the next
// one, 0 when none does: a Packer made for each call of a loop starts where
// the previous one ended instead of growing to it again. A hint about
// capacity only, which changes no byte of any output.
std::atomic<size_t> shared_next_size{0};

QUELM_INLINE char *block_of(const OutputBuffer *b) noexcept { return b->buf - header_size; }

QUELM_INLINE bool holds_storage(const OutputBuffer *b) noexcept {
    return b->buf != no_storage + header_size;
}

// The capacity new storage starts with.
QUELM_INLINE size_t start_size(const OutputBuffer *b) noexcept {
    if (b->next_size != 0)
        return b->next_size;
    const size_t shared = shared_next_size.load(std::memory_order_relaxed);
    return shared > default_start ? shared : default_start;
}

// Holds no storage any more; the next starts at `next_size`.
QUELM_INLINE void forget_storage(OutputBuffer *b, size_t next_size) noexcept {
    b->buf = no_storage + header_size;
    b->buf_size = 0;
    b->write_limit = 0;
    b->next_size = next_size;
}

}  // namespace

void buffer_init_empty(OutputBuffer *b, size_t initial_size) noexcept {
    b->length = 0;
    b->initial_size = initial_size;
    forget_storage(b, initial_size);
}

int buffer_allocate(OutputBuffer *b, size_t capacity) noexcept {
    assert(!holds_storage(b));
    if (capacity > max_capacity)
        return -1;
    void *block = PyObject_Malloc(header_size + capacity + trailer_size);
    if (block == nullptr)
        return -1;
    b->buf = static_cast<char *>(block) + header_size;
    b->buf_size = capacity;
    b->write_limit = b->frozen ? 0 : capacity;
    return 0;
}

void buffer_release(OutputBuffer *b) noexcept {
    if (holds_storage(b))
        PyObject_Free(block_of(b));
    b->length = 0;
    forget_storage(b, b->initial_size);
}

int buffer_grow(OutputBuffer *b, size_t n) noexcept {
    if (b->frozen) {
        PyErr_SetString(PyExc_BufferError, export_guard_message);
        return -1;
    }
    // Twice the needed size keeps a long series of appends amortised
    // linear; both steps are checked before they are computed.
    if (n > max_capacity - b->length || b->length + n > max_capacity / 2) {
        PyErr_NoMemory();
        return -1;
    }
    const size_t need = b->length + n;
    if (need <= b->buf_size)
        return 0;
    size_t capacity = need * 2;
    const bool held = holds_storage(b);
    if (!held) {
        const size_t start = start_size(b);
        if (capacity < start && start <= max_capacity)
            capacity = start;
    }
    const size_t size = header_size + capacity + trailer_size;
    void *block = held ? PyObject_Realloc(block_of(b), size) : PyObject_Malloc(size);
    if (block == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    b->buf = static_cast<char *>(block) + header_size;
    b->buf_size = capacity;
    b->write_limit = capacity;
    return 0;
}

PyObject *buffer_take_bytes(OutputBuffer *b) noexcept {
    assert(!b->frozen);
    const size_t n = b->length;
    b->length = 0;
    if (n <= copy_limit) {
        PyObject *copy = PyBytes_FromStringAndSize(b->buf, static_cast<Py_ssize_t>(n));
        // Storage sized for earlier, larger outputs is not kept for small
        // ones, nor suggested to the next buffer.
        if (b->buf_size > keep_limit) {
            buffer_release(b);
            shared_next_size.store(0, std::memory_order_relaxed);
        }
        return copy;
    }
    // Shrunk once, to fit. A shrink that fails leaves the larger storage,
    // which holds the object as well.
    void *block = block_of(b);
    const size_t size = fitted_size(n);
    if (size < header_size + b->buf_size + trailer_size) {
        if (void *fitted = PyObject_Realloc(block, size))
            block = fitted;
    }
    // The next output starts with storage of the same size. Not more: the
    // allocator serves a size it has just had back (the previous result,
    // once freed) from the memory it keeps, while a larger one may get
    // freshly mapped pages, a page fault each.
    const size_t next = size - header_size - trailer_size;
    forget_storage(b, next > b->initial_size ? next : b->initial_size);
    shared_next_size.store(next, std::memory_order_relaxed);
    auto *object = reinterpret_cast<PyVarObject *>(block);
    PyObject_InitVar(object, &PyBytes_Type, static_cast<Py_ssize_t>(n));
    const Py_hash_t no_hash = -1;
    std::memcpy(static_cast<char *>(block) + sizeof(PyVarObject), &no_hash, sizeof no_hash);
    static_cast<char *>(block)[header_size + n] = '\0';
    return reinterpret_cast<PyObject *>(object);
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

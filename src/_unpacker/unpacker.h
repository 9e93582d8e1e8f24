// The Unpacker object: its record, its table of internal operations, and the
// pieces that its three files (unpacker.cpp: construction, life cycle and the
// type; unpacker_buffer.cpp: the input buffer; unpacker_read.cpp: the reading
// operations) share.
#pragma once

#include "_cquelm/common.h"
#include "_unpacker/context.h"

namespace quelm {

struct Unpacker;

// Internal operations, dispatched per type, in their fixed order.
struct UnpackerOps {
    // Appends `length` bytes at `data` to the input buffer. Returns 0, or -1
    // (BufferFull, MemoryError) with the buffer exactly as it was.
    int (*append_buffer)(Unpacker *self, const char *data, Py_ssize_t length) noexcept;
    // Refills the input buffer from file_like.read. Returns 0, or -1.
    int (*read_from_file)(Unpacker *self) noexcept;
    // The common driver of the reading operations: a new reference, or NULL.
    PyObject *(*_unpack)(Unpacker *self, DecodeRoutine routine, bool iter) noexcept;
};

struct Unpacker {
    PyObject_HEAD
    const UnpackerOps *ops;
    // Options, machine state and the container stack; the options borrow the
    // four hooks below and `errors_name`.
    DecodeContext ctx;
    // Input buffer (PyMem); the unconsumed bytes are buf[buf_head, buf_tail).
    char *buf;
    Py_ssize_t buf_size;
    Py_ssize_t buf_head;
    Py_ssize_t buf_tail;
    // Every object field below owns a reference and is never NULL once the
    // object exists (None when unused).
    PyObject *file_like;       // None: no source, or its end was reached
    PyObject *file_like_read;  // file_like.read, fetched by __init__
    Py_ssize_t read_size;      // bytes asked of file_like per refill
    PyObject *object_hook;
    PyObject *object_pairs_hook;
    PyObject *list_hook;
    PyObject *ext_hook;
    PyObject *unicode_errors;
    // Owned copy of the error handler's name, which ctx.options borrow: the
    // object it came from (a bytearray, say) may change or go away.
    char *errors_name;
    Py_ssize_t max_buffer_size;  // effective bound on unconsumed bytes held
    uint64_t stream_offset;      // bytes consumed since initialisation
    // Set while the object runs Python code that must not reach it again
    // (a decoding call, __init__, feed): every guarded operation refuses to
    // start, so nothing can move, free or refill the buffer under a reader.
    int32_t in_progress;
    // Recovery after a failed value. `discarding`: a value failed part way
    // (a hook, a limit, invalid text) and the rest of it is still being
    // skipped, with ctx in decode_skip mode; every decoding operation
    // finishes that first. `too_deep`: a value nested too deeply, whose end
    // cannot be found; the decoding operations raise StackError again until
    // read_bytes or __init__ moves on.
    bool discarding;
    bool too_deep;
    // Set when file_like.read reported the end of input; cleared by feed.
    bool source_ended;
    // stream_offset where the value in progress (or being skipped) began.
    uint64_t value_start;
    // Counts initialisations, so that read_bytes can tell whether the
    // buffer it read from is still the one it was.
    uint64_t generation;
    // Set only by an __init__ that ran to its end. Until then (after
    // __new__ alone, after a failed __init__, after the collector cleared
    // the hooks) the buffer may be absent and the options may borrow
    // released objects, so every operation that would use them refuses.
    bool ready;
};

// Raisers shared by the Unpacker's files; each returns -1 (or NULL).
QUELM_COLD int raise_not_ready() noexcept;
QUELM_COLD int raise_switching() noexcept;

// The operations of unpacker_buffer.cpp and unpacker_read.cpp.
int append_buffer(Unpacker *self, const char *data, Py_ssize_t length) noexcept;
int read_from_file(Unpacker *self) noexcept;
PyObject *unpacker_unpack_driver(Unpacker *self, DecodeRoutine routine, bool iter) noexcept;

// Python-visible reading operations (unpacker_read.cpp), for the type's
// method table and slots.
PyObject *unpacker_unpack(PyObject *self, PyObject *unused) noexcept;
PyObject *unpacker_skip(PyObject *self, PyObject *unused) noexcept;
PyObject *unpacker_read_array_header(PyObject *self, PyObject *unused) noexcept;
PyObject *unpacker_read_map_header(PyObject *self, PyObject *unused) noexcept;
PyObject *unpacker_read_bytes(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) noexcept;
PyObject *unpacker_tell(PyObject *self, PyObject *unused) noexcept;
PyObject *unpacker_bytes_needed(PyObject *self, PyObject *unused) noexcept;
PyObject *unpacker_iternext(PyObject *self) noexcept;

// Parses the one argument of feed and read_bytes: by position or as the
// keyword `name`. Returns a borrowed reference, or NULL with TypeError.
PyObject *single_argument(const char *function, const char *name, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames) noexcept;

}  // namespace quelm

// The Packer object, shared by the files that implement it:
// packer.cpp (the type, construction and pack),
// dispatch.cpp (the value dispatch) and containers.cpp (the container walks),
// packer_buffer.cpp (buffer access and the export guard),
// packer_stream.cpp (headers, extension values and map pairs) and
// arguments.cpp (binding of method arguments).
#pragma once

#include "_cquelm/common.h"
#include "_packer/output_buffer.h"

namespace quelm {

struct Packer {
    PyObject_HEAD
    OutputBuffer buffer;
    // The `default` hook; None when absent. Strong.
    PyObject *default_hook;
    // `unicode_errors` exactly as passed (None, str, bytes or bytearray). Strong.
    PyObject *unicode_errors;
    // A bytes copy of the error-handler name taken from unicode_errors at
    // initialisation, or null. Owning an immutable copy keeps the name valid
    // whatever later happens to the object it came from (a bytearray being
    // resized, a re-initialisation from a codec callback).
    PyObject *errors_name;
    // Buffer views currently exported.
    Py_ssize_t exports;
    // Calls writing to the buffer right now: more than one while Python code
    // run by a write (a hook, __len__, items()) calls this Packer again.
    Py_ssize_t writing;
    // The thread of the outermost running write. A hook that releases the
    // interpreter lock lets other threads in; their calls are not nested
    // calls and must not write into the middle of this one's value.
    uintptr_t writer;
    int strict_types;
    int use_single_float;
    int autoreset;
    int datetime;
    // Dataclasses, enums, UUIDs, decimals, dates, times and sets packed as
    // their plain equivalents (src/_packer/pack_typed.h).
    int typed;
    // Containers open without a further look while the walk's frames stay
    // above this address (walk_guard.h).
    uintptr_t stack_limit;
};

extern PyTypeObject PackerType;

// Attribute and keyword names, interned once when the type is readied.
extern PyObject *name_data;
extern PyObject *name_code;
extern PyObject *name_seconds;
extern PyObject *name_nanoseconds;
extern PyObject *name_items;
extern PyObject *name_buf_size;
// The int 0, for the sign tests of int subclasses and nanoseconds.
extern PyObject *zero;

// _check_exports: BufferError while views are exported; changes nothing.
[[nodiscard]] int check_exports(Packer *self) noexcept;

// _pack: encodes `value` (borrowed; the caller keeps it alive) with the given
// nesting budget, inside a StackWalk (walk_guard.h). Returns 0, or -1 with
// an exception set.
[[nodiscard]] int pack_value(Packer *self, PyObject *value, int budget) noexcept;

// Writes `expected` key/value pairs taken from `pairs` (a list or tuple by
// index, anything else by iteration; each item unpacks into two), packing
// keys and values with `budget`. Fails with ValueError naming `owner` (the
// container whose length gave `expected`) if `pairs` yields a different
// number of pairs, which would leave a map header not matching its content.
// Returns 0, or -1 with an exception set.
[[nodiscard]] int pack_pairs(Packer *self, PyObject *pairs, Py_ssize_t expected, PyObject *owner,
                             int budget) noexcept;

// ValueError for a container whose walk disagreed with the length already
// written in its header: it yielded `yielded` items ("pairs" when `pairs`),
// or more than its length when `yielded` exceeds it (the walk stops there).
QUELM_COLD int raise_length_mismatch(PyObject *container, Py_ssize_t length, Py_ssize_t yielded,
                                     bool pairs) noexcept;

// Extension type -1 holds timestamps: ValueError unless the `n` bytes at
// `data` are one that the decoder accepts (4, 8 or 12 bytes, nanoseconds
// below one second). Returns 0 or -1.
[[nodiscard]] int check_timestamp_ext(const char *data, size_t n) noexcept;

// RuntimeError for an exact list whose size changed while it was walked.
QUELM_COLD int raise_list_changed() noexcept;

// One call that writes to the buffer (pack, pack_map_pairs, pack_ext_type,
// the header methods), from just before its first write to its result.
//
// Python code run in the middle of a write (a `default` hook, `__len__`,
// `items()`, a comparison) may call this Packer again. Such a nested call
// writes after the outer call's partial output, so it must leave the buffer
// as it found it: it is refused unless autoreset is on, and then returns only
// its own bytes and takes them back out of the buffer. Any failed call takes
// the buffer back to its length when the call began. Either way the outer
// value stays whole.
// The calling thread's identity, cheap enough for every write call: the
// thread pointer (one register read) where the compiler exposes it, which
// is unique among live threads, else the interpreter's thread id.
#if defined(__has_builtin)
#if __has_builtin(__builtin_thread_pointer)
#define QUELM_THREAD_POINTER 1
#endif
#endif
QUELM_INLINE uintptr_t current_thread() noexcept {
#ifdef QUELM_THREAD_POINTER
    return reinterpret_cast<uintptr_t>(__builtin_thread_pointer());
#else
    return PyThread_get_thread_ident();
#endif
}

class WriteCall {
public:
    explicit WriteCall(Packer *self) noexcept
        : self_(self), start_(self->buffer.length), nested_(self->writing > 0) {
        const uintptr_t thread = current_thread();
        foreign_ = nested_ && self->writer != thread;
        self->writer = nested_ ? self->writer : thread;
        self->writing++;
    }
    ~WriteCall() { self_->writing--; }
    WriteCall(const WriteCall &) = delete;
    WriteCall &operator=(const WriteCall &) = delete;

    // RuntimeError for a nested call that would leave its bytes inside the
    // outer value.
    [[nodiscard]] int admit() const noexcept {
        if (QUELM_UNLIKELY(nested_ && (foreign_ || !self_->autoreset)))
            return foreign_ ? refuse_foreign() : refuse_nested();
        return 0;
    }

    // The buffer back to its length at the start (never longer than it is
    // now); returns null for the caller to pass on with the exception.
    PyObject *fail() const noexcept {
        truncate();
        return nullptr;
    }

    // The result of a successful call: under autoreset (or when nested) the
    // bytes as a new object, taken out of the buffer; otherwise None.
    PyObject *succeed() const noexcept;

private:
    QUELM_COLD static int refuse_nested() noexcept;
    QUELM_COLD static int refuse_foreign() noexcept;
    void truncate() const noexcept {
        if (self_->buffer.length > start_)
            self_->buffer.length = start_;
    }

    Packer *self_;
    size_t start_;
    bool nested_;
    bool foreign_;  // nested_, and from another thread than the writer's
};

// Packer.pack(self, obj); also the engine of the module function packb.
PyObject *packer_pack(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) noexcept;

// Methods defined outside packer.cpp, listed in its method table.
PyObject *packer_reset(PyObject *self, PyObject *) noexcept;
PyObject *packer_bytes(PyObject *self, PyObject *) noexcept;
PyObject *packer_getbuffer(PyObject *self, PyObject *) noexcept;
PyObject *packer_reduce(PyObject *self, PyObject *) noexcept;
PyObject *packer_setstate(PyObject *self, PyObject *) noexcept;
PyObject *packer_pack_ext_type(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) noexcept;
PyObject *packer_pack_array_header(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) noexcept;
PyObject *packer_pack_map_header(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames) noexcept;
PyObject *packer_pack_map_pairs(PyObject *self, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) noexcept;
extern PyBufferProcs packer_as_buffer;

// Binds the arguments of a METH_FASTCALL | METH_KEYWORDS call to the
// required parameters `names` (by position or keyword), storing borrowed
// references in `out`. TypeError for a missing, repeated or unknown argument.
[[nodiscard]] int bind_arguments(const char *function, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames, const char *const *names, Py_ssize_t count,
                                 PyObject **out) noexcept;

}  // namespace quelm

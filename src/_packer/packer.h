// The Packer object, shared by the files that implement its methods:
// packer.cpp (type, construction, pack and the value dispatch),
// packer_buffer.cpp (buffer access and the export guard) and
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
    int strict_types;
    int use_single_float;
    int autoreset;
    int datetime;
};

extern PyTypeObject PackerType;

// _check_exports: BufferError while views are exported; changes nothing.
[[nodiscard]] int check_exports(Packer *self) noexcept;

// _pack: encodes `value` (borrowed; the caller keeps it alive) with the given
// nesting budget. Returns 0, or -1 with an exception set.
[[nodiscard]] int pack_value(Packer *self, PyObject *value, int budget) noexcept;

// Writes `expected` key/value pairs taken from `pairs` (a list or tuple by
// index, anything else by iteration; each item unpacks into two), packing
// keys and values with `budget`. Fails with ValueError if `pairs` yields a
// different number of pairs, which would leave a map header not matching
// its content. Returns 0, or -1 with an exception set.
[[nodiscard]] int pack_pairs(Packer *self, PyObject *pairs, Py_ssize_t expected,
                             int budget) noexcept;

// Ends a successful buffer-changing call: under autoreset, the buffer's
// content as bytes and the buffer emptied; otherwise None.
PyObject *finish(Packer *self) noexcept;

// Undoes a failed call: the buffer goes back to `start` bytes (never longer
// than it is now, in case re-entrant code emptied it meanwhile).
QUELM_INLINE void rollback(Packer *self, size_t start) noexcept {
    if (self->buffer.length > start)
        self->buffer.length = start;
}

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

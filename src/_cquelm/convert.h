// Argument converters shared by the Packer, unpackb and the Unpacker. Each
// implements one conversion rule and raises that rule's exact message.
// All return 0 on success, -1 with an exception set.
#pragma once

#include "_cquelm/common.h"

namespace quelm {

// Truth value: True, False and None are decided directly, anything else by
// its truth test (whose error propagates).
QUELM_INLINE int convert_flag(PyObject *o, bool *out) noexcept {
    if (o == Py_True) {
        *out = true;
        return 0;
    }
    if (o == Py_False || o == Py_None) {
        *out = false;
        return 0;
    }
    int r = PyObject_IsTrue(o);
    if (r < 0)
        return -1;
    *out = r != 0;
    return 0;
}

// Integer conversion for C integers: an int is used directly, any other
// object goes through its __int__ (a float is truncated); an object without
// one fails with TypeError "an integer is required". A value outside the
// signed 64-bit range fails with the interpreter's OverflowError.
int convert_long_long(PyObject *o, long long *out) noexcept;

// As convert_long_long, then narrowed to [lo, hi]; outside it fails with
// OverflowError "value too large to convert to <type_name>".
int convert_bounded(PyObject *o, long long lo, long long hi, const char *type_name,
                    long long *out) noexcept;

// Unsigned machine size (Packer buf_size): as the integer conversion; a
// negative value fails with OverflowError "can't convert negative value to
// size_t".
int convert_size_t(PyObject *o, size_t *out) noexcept;

// Signed size through __index__; the interpreter's TypeError or
// OverflowError propagates.
int convert_ssize(PyObject *o, Py_ssize_t *out) noexcept;

// The bytes of an ASCII-only str (its characters), a bytearray (its current
// content) or bytes (or a subclass; its content) with their count; any other
// str fails with the interpreter's UnicodeEncodeError, anything else with
// TypeError. The pointer borrows from `o` and is valid while `o` is alive and
// unchanged (no Python code may run in between for a bytearray).
int ascii_bytes_view(PyObject *o, const char **out, Py_ssize_t *len) noexcept;

// The name of an error handler as a NUL-terminated byte string: None gives
// NULL; an ASCII-only str gives its characters (any other str fails with the
// interpreter's UnicodeEncodeError); a bytearray its current content; bytes
// (or a subclass) its content; anything else fails with TypeError. The
// pointer borrows from `o`: callers that keep it copy it (errors_name_copy).
int errors_name_view(PyObject *o, const char **out) noexcept;

// A PyMem_Malloc'd copy of `name` (NULL gives NULL). Returns -1 with
// MemoryError on allocation failure. Free with PyMem_Free.
int errors_name_copy(const char *name, char **out) noexcept;

}  // namespace quelm

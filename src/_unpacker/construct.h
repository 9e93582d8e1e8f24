// Object construction for the decoder's construct mode: what each completed
// item becomes (scalars, strings, containers, extension values, timestamps),
// the length limits, the map-key rule and the hooks. The state machine calls
// these as items complete; each yields a new reference, or NULL with an
// exception set (the add_* operations return 0 / -1).
//
// Containers that will be filled over several items are kept untracked by the
// garbage collector while they hold empty slots, so no Python code (a hook
// walking gc.get_objects(), for instance) can see or mutate a half-built list
// or tuple; they are tracked again when they complete.
#pragma once

#include "_unpacker/context.h"

namespace quelm {

// Cold raisers, out of line.
QUELM_COLD PyObject *raise_limit(const char *what, uint64_t n, int64_t limit) noexcept;
QUELM_COLD int raise_map_key_type(PyObject *key) noexcept;

QUELM_INLINE PyObject *construct_nil() noexcept { return Py_NewRef(Py_None); }

QUELM_INLINE PyObject *construct_bool(bool v) noexcept {
    return Py_NewRef(v ? Py_True : Py_False);
}

QUELM_INLINE PyObject *construct_uint(uint64_t v) noexcept {
    if (v <= 0x7fffffffu)
        return PyLong_FromLong(static_cast<long>(v));
    return PyLong_FromUnsignedLongLong(v);
}

QUELM_INLINE PyObject *construct_int(int64_t v) noexcept { return PyLong_FromLongLong(v); }

QUELM_INLINE PyObject *construct_float(double v) noexcept { return PyFloat_FromDouble(v); }

// A str payload of n bytes: bytes when `raw`, else UTF-8 text decoded with
// the unicode_errors handler.
QUELM_INLINE PyObject *construct_str(const DecodeOptions &o, const char *p, uint64_t n) noexcept {
    if (QUELM_UNLIKELY(o.max_str_len < static_cast<int64_t>(n)))
        return raise_limit("max_str_len", n, o.max_str_len);
    if (o.raw)
        return PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(n));
    return PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), o.unicode_errors);
}

// A str payload in map-key position: as construct_str, but short ASCII keys
// come from a small process-wide cache of interned strings, so that the keys
// repeated across many maps are decoded and interned once.
PyObject *construct_key_str(const DecodeOptions &o, const char *p, uint64_t n) noexcept;

QUELM_INLINE PyObject *construct_bin(const DecodeOptions &o, const char *p, uint64_t n) noexcept {
    if (QUELM_UNLIKELY(o.max_bin_len < static_cast<int64_t>(n)))
        return raise_limit("max_bin_len", n, o.max_bin_len);
    return PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(n));
}

// An extension value: `p` points at the type code, followed by t - 1 data
// bytes. ext_hook's result, or a timestamp for type code -1.
PyObject *construct_ext(const DecodeOptions &o, const char *p, uint64_t t) noexcept;

// A new array of n items (n >= 1; empty arrays use make_empty_array) with
// room for `presize` of them (presize <= n). The array is a tuple only when
// it can be built at its final size; otherwise a list that end_array turns
// into a tuple. Untracked until finish_container.
PyObject *start_array(const DecodeOptions &o, uint64_t n, uint64_t presize) noexcept;

// A new map of n pairs (n >= 1): an empty dict, or with use_pairs_hook a
// list with room for `presize` pairs (untracked until finish_container).
PyObject *start_map(const DecodeOptions &o, uint64_t n, uint64_t presize) noexcept;

// The empty array and map (after their limit checks), complete at once.
PyObject *make_empty_array(const DecodeOptions &o) noexcept;
PyObject *make_empty_map(const DecodeOptions &o) noexcept;

// Puts a list or tuple built by start_array back under the garbage
// collector's watch, now that every slot is filled.
QUELM_INLINE void finish_container(PyObject *c) noexcept {
    if (!PyDict_CheckExact(c) && !PyObject_GC_IsTracked(c))
        PyObject_GC_Track(c);
}

// Stores `item` (stolen) at `index` of an array from start_array: into the
// pre-sized slot, or appended once the pre-sized room is used up.
QUELM_INLINE int add_array_item(PyObject *c, uint64_t index, PyObject *item) noexcept {
    const Py_ssize_t i = static_cast<Py_ssize_t>(index);
    if (QUELM_LIKELY(PyList_CheckExact(c))) {
        if (QUELM_LIKELY(i < PyList_GET_SIZE(c))) {
            PyList_SET_ITEM(c, i, item);
            return 0;
        }
        const int r = PyList_Append(c, item);
        Py_DECREF(item);
        return r;
    }
    PyTuple_SET_ITEM(c, i, item);
    return 0;
}

// Adds the pair (key, value), both stolen, to a map from start_map: applies
// strict_map_key, interns exact-str keys, then stores into the dict or the
// pairs list.
int add_map_pair(const DecodeOptions &o, PyObject *c, uint64_t index, PyObject *key,
                 PyObject *value) noexcept;

// Completed containers (stolen): the tuple conversion of a list built for
// use_list=False, then the hook's result if a hook is set.
PyObject *end_array(const DecodeOptions &o, PyObject *array) noexcept;
PyObject *end_map(const DecodeOptions &o, PyObject *map) noexcept;

}  // namespace quelm

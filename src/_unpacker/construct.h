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
#include "_unpacker/key_cache.h"

#include <climits>
#include <cstring>

namespace quelm {

// Cold raisers, out of line.
QUELM_COLD PyObject *raise_limit(const char *what, uint64_t n, int64_t limit) noexcept;
QUELM_COLD int raise_map_key_type(PyObject *key) noexcept;

QUELM_INLINE PyObject *construct_nil() noexcept { return Py_NewRef(Py_None); }

QUELM_INLINE PyObject *construct_bool(bool v) noexcept {
    return Py_NewRef(v ? Py_True : Py_False);
}

// PyLong_FromLong has the interpreter's fastest paths (the small-int cache,
// single-digit values), so every value a C long holds goes through it.
QUELM_INLINE PyObject *construct_uint(uint64_t v) noexcept {
    if (v <= static_cast<uint64_t>(LONG_MAX))
        return PyLong_FromLong(static_cast<long>(v));
    return PyLong_FromUnsignedLongLong(v);
}

QUELM_INLINE PyObject *construct_int(int64_t v) noexcept {
#if LONG_MAX >= INT64_MAX
    return PyLong_FromLong(static_cast<long>(v));
#else
    if (v >= LONG_MIN && v <= LONG_MAX)
        return PyLong_FromLong(static_cast<long>(v));
    return PyLong_FromLongLong(v);
#endif
}

QUELM_INLINE PyObject *construct_float(double v) noexcept { return PyFloat_FromDouble(v); }

// Short ASCII text is the common case of str payloads. For it, the UTF-8
// decoder's general machinery costs more than the copy, so it is checked
// eight bytes at a time and copied into a new compact ASCII str, which is
// exactly what decoding would yield. (Single characters still go through
// the decoder, which returns the interpreter's shared one-character
// strings; long text goes through it too, since it checks and copies in
// one pass.)
inline constexpr uint64_t kShortText = 64;

// Whole words where they fit, the tail as one more word ending at the last
// byte (overlapping the one before), so that short text takes one or two
// loads and never a byte loop past three bytes; nothing outside the n bytes
// is read.
QUELM_INLINE bool is_ascii(const char *p, uint64_t n) noexcept {
    uint64_t acc = 0;
    if (n >= 8) {
        uint64_t w;
        for (uint64_t i = 0; i + 8 < n; i += 8) {
            std::memcpy(&w, p + i, sizeof w);
            acc |= w;
        }
        std::memcpy(&w, p + n - 8, sizeof w);
        acc |= w;
    } else if (n >= 4) {
        uint32_t a, b;
        std::memcpy(&a, p, sizeof a);
        std::memcpy(&b, p + n - 4, sizeof b);
        acc = a | b;
    } else {
        for (uint64_t i = 0; i < n; ++i)
            acc |= static_cast<unsigned char>(p[i]);
    }
    return (acc & 0x8080808080808080ull) == 0;
}

// A new str just made by PyUnicode_New with maxchar 127 is compact ASCII:
// its characters follow the PyASCIIObject header.
QUELM_INLINE PyObject *new_ascii_text(const char *p, uint64_t n) noexcept {
    PyObject *text = PyUnicode_New(static_cast<Py_ssize_t>(n), 127);
    if (text != nullptr)
        std::memcpy(reinterpret_cast<PyASCIIObject *>(text) + 1, p, n);
    return text;
}

// Short text with characters beyond ASCII but all in the Basic Multilingual
// Plane, as well-formed UTF-8: decoded in two passes (measure, then write
// into a str of the right width), which is what the UTF-8 decoder yields,
// without its growing and shrinking of the result. Returns NULL with no
// exception set for anything else (four-byte sequences, any malformed or
// overlong sequence, encoded surrogates, MemoryError included), so that the
// UTF-8 decoder then handles the text with its own errors and messages.
PyObject *decode_short_bmp_text(const char *p, uint64_t n) noexcept;

// The text cache's miss path: a new compact ASCII str of the n bytes at p
// (ASCII, checked by the caller), also stored in `*slot`.
PyObject *cache_ascii_text(const char *p, uint64_t n, PyObject **slot) noexcept;

// The cached str equal to the n bytes at p (new reference), or NULL (no
// exception set) with `*slot` set to the slot such a str belongs in, or left
// NULL while the cache pauses.
QUELM_INLINE PyObject *text_cache_find(const char *p, uint64_t n, PyObject ***slot) noexcept {
    const int32_t credit = g_text_cache_credit;
    if (credit < 0) {
        g_text_cache_credit = credit == -1 ? kTextCacheRetry : credit + 1;
        return nullptr;
    }
    PyObject *text = cache_find(g_text_cache, p, n, slot);
    if (text != nullptr) {
        if (credit < kTextCacheMaxCredit)
            g_text_cache_credit = credit + 2;
    } else {
        g_text_cache_credit = credit == 0 ? -kTextCachePause : credit - 1;
    }
    return text;
}

// A str payload of n bytes: bytes when `raw`, else UTF-8 text decoded with
// the unicode_errors handler.
QUELM_INLINE PyObject *construct_str(const DecodeOptions &o, const char *p, uint64_t n) noexcept {
    if (QUELM_UNLIKELY(o.max_str_len < static_cast<int64_t>(n)))
        return raise_limit("max_str_len", n, o.max_str_len);
    if (o.raw)
        return PyBytes_FromStringAndSize(p, static_cast<Py_ssize_t>(n));
    // A hit compares equal to ASCII bytes, so it needs no ASCII check.
    if (n >= 2 && n <= kTextCacheMaxLength) {
        PyObject **slot = nullptr;
        if (PyObject *text = text_cache_find(p, n, &slot))
            return text;
        if (is_ascii(p, n))
            return slot != nullptr ? cache_ascii_text(p, n, slot) : new_ascii_text(p, n);
    } else if (n >= 2 && n <= kShortText && is_ascii(p, n)) {
        return new_ascii_text(p, n);
    }
    if (n >= 2 && n <= kShortText) {
        if (PyObject *text = decode_short_bmp_text(p, n))
            return text;
    }
    return PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), o.unicode_errors);
}

// The key cache's miss path: decodes the key and, when it is a compact
// ASCII str, interns it and stores it in `*slot`.
PyObject *cache_key_str(const DecodeOptions &o, const char *p, uint64_t n,
                        PyObject **slot) noexcept;

// A str payload in map-key position: as construct_str, but short ASCII keys
// come from a small process-wide cache of interned strings, so that the keys
// repeated across many maps are decoded and interned once.
QUELM_INLINE PyObject *construct_key_str(const DecodeOptions &o, const char *p,
                                         uint64_t n) noexcept {
    if (o.raw || n > kKeyCacheMaxLength)
        return construct_str(o, p, n);
    if (QUELM_UNLIKELY(o.max_str_len < static_cast<int64_t>(n)))
        return raise_limit("max_str_len", n, o.max_str_len);
    PyObject **slot;
    PyObject *key = cache_find(g_key_cache, p, n, &slot);
    return key != nullptr ? key : cache_key_str(o, p, n, slot);
}

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

// A list from start_array whose `size` slots are all filled, given room for
// `capacity` items (capacity > size): a new open list holding the same
// items, the old one released. NULL with an exception set, the old list
// untouched, on failure.
PyObject *grow_open_list(PyObject *list, uint64_t capacity) noexcept;

// A new map of n pairs (n >= 1): an empty dict (pre-sized for `presize`
// pairs where the interpreter allows), or with use_pairs_hook a list with
// room for `presize` pairs (untracked until finish_container).
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

// The out-of-line parts of add_map_pair (both steal key and value): the
// pairs list's (key, value) tuple, and the strict_map_key refusal.
int add_pair_to_list(PyObject *c, uint64_t index, PyObject *key, PyObject *value) noexcept;
QUELM_COLD int refuse_map_key(PyObject *key, PyObject *value) noexcept;

// Adds the pair (key, value), both stolen, to a map from start_map: applies
// strict_map_key, interns exact-str keys, then stores into the dict or the
// pairs list.
QUELM_INLINE int add_map_pair(const DecodeOptions &o, PyObject *c, uint64_t index,
                              PyObject *key, PyObject *value) noexcept {
    PyTypeObject *kt = Py_TYPE(key);
    if (QUELM_UNLIKELY(o.strict_map_key && kt != &PyUnicode_Type && kt != &PyBytes_Type))
        return refuse_map_key(key, value);
    // Keys from the key cache are interned already; the check saves the call.
    if (kt == &PyUnicode_Type && !PyUnicode_CHECK_INTERNED(key))
        PyUnicode_InternInPlace(&key);
    if (QUELM_UNLIKELY(o.use_pairs_hook))
        return add_pair_to_list(c, index, key, value);
    const int r = PyDict_SetItem(c, key, value);
    Py_DECREF(key);
    Py_DECREF(value);
    return r;
}

// Completed containers (stolen): the tuple conversion of a list built for
// use_list=False, then the hook's result if a hook is set.
PyObject *end_array(const DecodeOptions &o, PyObject *array) noexcept;
PyObject *end_map(const DecodeOptions &o, PyObject *map) noexcept;

}  // namespace quelm

// The leaf writers: exact str, int and float values and the three
// singletons, written without a call. The value dispatch (dispatch.cpp)
// starts with them, and the container walks (containers.cpp) try them on
// every item before calling the full dispatch, which keeps the common
// leaves of a list or dict free of a call, a budget test and the default
// hook test each. Private to the Packer's files.
#pragma once

#include "_packer/dispatch.h"

namespace quelm {

// What try_pack_leaf returns for a value it does not take.
inline constexpr int not_a_leaf = 1;

// An exact int beyond the direct read of pack_exact_int: the general
// conversion, then the unsigned range above int64; a value beyond both is
// deferred (-2) when `deferrable`, refused otherwise.
[[nodiscard]] QUELM_NOINLINE int pack_wide_int(Packer *self, PyObject *o,
                                               bool deferrable) noexcept;

// A str encoded with the codec and the configured error handler.
[[nodiscard]] QUELM_NOINLINE int pack_str_with_errors(Packer *self, PyObject *o) noexcept;

// The value of an exact int of at most 64 bits read straight from its
// digits; false for a wider one (left to pack_wide_int).
QUELM_INLINE bool read_compact_int(PyObject *o, int64_t *out) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    auto *l = reinterpret_cast<PyLongObject *>(o);
    if (QUELM_UNLIKELY(!PyUnstable_Long_IsCompact(l)))
        return false;
    *out = PyUnstable_Long_CompactValue(l);
#else
    // Up to two digits always fit an int64.
    static_assert(2 * PyLong_SHIFT < 63);
    const Py_ssize_t size = Py_SIZE(o);
    if (QUELM_UNLIKELY(size < -2 || size > 2))
        return false;
    const digit *d = reinterpret_cast<PyLongObject *>(o)->ob_digit;
    const Py_ssize_t n = size < 0 ? -size : size;
    uint64_t mag = n == 0 ? 0 : d[0];
    if (n == 2)
        mag |= static_cast<uint64_t>(d[1]) << PyLong_SHIFT;
    *out = size < 0 ? -static_cast<int64_t>(mag) : static_cast<int64_t>(mag);
#endif
    return true;
}

QUELM_INLINE int pack_exact_int(Packer *self, PyObject *o, bool deferrable) noexcept {
    int64_t v;
    if (QUELM_UNLIKELY(!read_compact_int(o, &v)))
        return pack_wide_int(self, o, deferrable);
    return write_int64(&self->buffer, v);
}

QUELM_INLINE int pack_double(Packer *self, double d) noexcept {
    if (self->use_single_float)
        return write_float32(&self->buffer, d);
    return write_float64(&self->buffer, d);
}

QUELM_INLINE int pack_utf8(Packer *self, const char *s, Py_ssize_t n) noexcept {
    if (QUELM_UNLIKELY(too_long(n)))
        return raise_value_error("unicode string is too large");
    return write_str(&self->buffer, s, static_cast<size_t>(n));
}

// The text of a compact ASCII str is stored right after its PyASCIIObject
// header, so the 16 bytes that end at the end of any text lie inside the
// object: write_short_str reads those.
static_assert(sizeof(PyASCIIObject) >= short_str_window,
              "a short ASCII text must be preceded by a header of at least 16 bytes");

// The UTF-8 form the interpreter caches in a compact non-ASCII str, read
// from the object's layout without a call; false when it has none yet (or
// where the layout is not this one), for PyUnicode_AsUTF8AndSize to make.
QUELM_INLINE bool read_cached_utf8(PyObject *o, const char **s, Py_ssize_t *n) noexcept {
#if PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    if (QUELM_LIKELY(PyUnicode_IS_COMPACT(o))) {
        const auto *compact = reinterpret_cast<const PyCompactUnicodeObject *>(o);
        if (QUELM_LIKELY(compact->utf8 != nullptr)) {
            *s = compact->utf8;
            *n = compact->utf8_length;
            return true;
        }
    }
#else
    (void)o, (void)s, (void)n;
#endif
    return false;
}

// A str through the interpreter's cached UTF-8 form; a compact ASCII str
// is its own UTF-8 and is read in place. Texts of up to 31 bytes, nearly
// all keys and short values, take the one-byte header and a copy of fixed
// moves.
QUELM_INLINE int pack_str_fast(Packer *self, PyObject *o) noexcept {
    const char *s;
    Py_ssize_t n;
    if (QUELM_LIKELY(PyUnicode_IS_COMPACT_ASCII(o))) {
        n = PyUnicode_GET_LENGTH(o);
        const auto *text = static_cast<const unsigned char *>(PyUnicode_DATA(o));
        if (QUELM_LIKELY(n <= static_cast<Py_ssize_t>(short_str_max)))
            return write_short_str(&self->buffer, text + n, static_cast<size_t>(n));
        s = reinterpret_cast<const char *>(text);
    } else if (!read_cached_utf8(o, &s, &n)) {
        s = PyUnicode_AsUTF8AndSize(o, &n);
        if (s == nullptr)
            return -1;
    }
    if (QUELM_LIKELY(n <= static_cast<Py_ssize_t>(wire::fixstr_max)))
        return write_fixstr(&self->buffer, s, static_cast<size_t>(n));
    return pack_utf8(self, s, n);
}

// The UTF-8 text of an exact str when it needs no call: a compact ASCII
// str's own text, or (where the layout allows, as in read_cached_utf8) the
// form a compact non-ASCII str caches; false otherwise. With `branch_free`
// the two are told apart by masks rather than a branch, for a caller whose
// copy does not branch on the kind either, since in a list of strings the
// kinds come in no order a predictor could learn: both reads are made from
// addresses inside the object (an ASCII str's `utf8` slot would not be).
template <bool branch_free>
QUELM_INLINE bool read_utf8_in_place(PyObject *o, const char **s, size_t *n, bool *in_object) noexcept {
    const auto *header = reinterpret_cast<const PyASCIIObject *>(o);
    const char *object = reinterpret_cast<const char *>(o);
    const char *text = reinterpret_cast<const char *>(header + 1);
    if constexpr (!branch_free) {
        *in_object = PyUnicode_IS_COMPACT_ASCII(o);
        if (*in_object) {
            *s = text;
            *n = static_cast<size_t>(header->length);
            return true;
        }
        Py_ssize_t length;
        if (!read_cached_utf8(o, s, &length))
            return false;
        *n = static_cast<size_t>(length);
        return true;
    }
#if PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED)
    const size_t ascii = 0 - static_cast<size_t>(header->state.ascii);
    constexpr size_t at_length = offsetof(PyASCIIObject, length);
    constexpr size_t at_utf8_length = offsetof(PyCompactUnicodeObject, utf8_length);
    constexpr size_t at_utf8 = offsetof(PyCompactUnicodeObject, utf8);
    Py_ssize_t length;
    std::memcpy(&length, object + (at_utf8_length ^ ((at_utf8_length ^ at_length) & ascii)),
                sizeof length);
    // An ASCII str reads its first word instead of `utf8`, and discards it.
    const char *utf8;
    std::memcpy(&utf8, object + (at_utf8 & ~ascii), sizeof utf8);
    const char *chosen = reinterpret_cast<const char *>(
        (reinterpret_cast<uintptr_t>(text) & ascii) | (reinterpret_cast<uintptr_t>(utf8) & ~ascii));
    if (QUELM_UNLIKELY(!header->state.compact || chosen == nullptr))
        return false;
    *s = chosen;
    *n = static_cast<size_t>(length);
    *in_object = ascii != 0;
#else
    (void)object;
    if (QUELM_UNLIKELY(!PyUnicode_IS_COMPACT_ASCII(o)))
        return false;
    *s = text;
    *n = static_cast<size_t>(header->length);
    *in_object = true;
#endif
    return true;
}

// How a run of short strs writes one: put() stores a fixstr's header and
// text at p, whose `room` bytes are writable; put_long() a longer text of at
// most `longest` bytes (0: none, the run stops at longer texts).
// The plain copy reads an ASCII str's text through the window of
// write_short_str (cheapest, and it may read back into the header) and
// a cached UTF-8 form, a separate allocation, only within its bytes: a
// branch on the kind, which costs mispredictions where kinds mix at
// random, but none on the length.
struct PutFixstrPlain {
    static constexpr bool branch_free = false;
    static constexpr size_t room = 1 + 2 * short_str_window;
    static constexpr size_t longest = 0;
    static QUELM_INLINE void put(unsigned char *p, const char *s, size_t n, bool in_object) noexcept {
        p[0] = static_cast<unsigned char>(wire::fixstr | n);
        if (in_object)
            put_window_text(p + 1, reinterpret_cast<const unsigned char *>(s) + n, n);
        else
            put_short_text(p + 1, s, n);
    }
    static void put_long(unsigned char *, const char *, size_t, bool) noexcept {}
};
#ifdef QUELM_HAVE_MASKED_TEXT
// Not forced inline: these inline only into a caller compiled for the same
// instructions (the list walk's masked variant).
struct PutFixstrMasked {
    static constexpr bool branch_free = true;
    static constexpr size_t room = 64;
    static constexpr size_t longest = longest_masked_text;
    QUELM_TARGET_MASKED_TEXT static void put(unsigned char *p, const char *s, size_t n, bool) noexcept {
        put_fixstr_masked(p, s, n);
    }
    QUELM_TARGET_MASKED_TEXT static void put_long(unsigned char *p, const char *s, size_t n,
                                                  bool use_bin_type) noexcept {
        put_str_masked(p, s, n, use_bin_type);
    }
};
#endif

// Packs items[i:size] from the first on while each is an exact str whose
// text read_utf8_in_place finds and which `Put` takes (a fixstr, or a text
// of up to Put::longest bytes), with the write position held in a register
// and one room check per string; returns the
// index of the first item left, which the caller packs in full (any other
// value, a longer or uncached str, or one that needs the buffer to grow).
// Runs no Python code. Only for Packers without an error handler.
template <class Put>
QUELM_INLINE Py_ssize_t pack_short_str_run(OutputBuffer *b, PyObject *const *items, Py_ssize_t i,
                                           Py_ssize_t size) noexcept {
    auto *const base = reinterpret_cast<unsigned char *>(b->buf);
    const size_t limit = b->write_limit;
    size_t at = b->length;
    for (; i < size; i++) {
        if (QUELM_UNLIKELY(at + Put::room > limit))
            break;
        PyObject *o = items[i];
        if (Py_TYPE(o) != &PyUnicode_Type)
            break;
        const char *s;
        size_t n;
        bool in_object;
        if (QUELM_UNLIKELY(!read_utf8_in_place<Put::branch_free>(o, &s, &n, &in_object)))
            break;
        if (QUELM_LIKELY(n <= wire::fixstr_max)) {
            Put::put(base + at, s, n, in_object);
            at += 1 + n;
        } else if (n <= Put::longest) {
            Put::put_long(base + at, s, n, b->use_bin_type);
            at += (b->use_bin_type ? 2 : 3) + n;
        } else {
            break;
        }
    }
    b->length = at;
    return i;
}

QUELM_INLINE int pack_str(Packer *self, PyObject *o) noexcept {
    if (QUELM_LIKELY(self->errors_name == nullptr))
        return pack_str_fast(self, o);
    return pack_str_with_errors(self, o);
}

// None, True or False: 0 written, -1 failed; not_a_leaf for anything else.
QUELM_INLINE int try_pack_singleton(Packer *self, PyObject *o) noexcept {
    if (o == Py_None)
        return write_nil(&self->buffer);
    if (o == Py_True)
        return write_bool(&self->buffer, true);
    if (o == Py_False)
        return write_bool(&self->buffer, false);
    return not_a_leaf;
}

// The container walks recurse through pack_value, so their frames, times the
// nesting limit, must fit the stack. Optimised builds share the slots of
// inlined locals; unoptimised ones (sanitizer and debug builds) give every
// inlined local a slot of its own, padded by the sanitizer, and there the
// leaf writers stay out of line.
#ifdef __OPTIMIZE__
#define QUELM_LEAF_INLINE QUELM_INLINE
#else
#define QUELM_LEAF_INLINE inline QUELM_NOINLINE
#endif

// try_pack_leaf's tests by type. With `plain`, the caller has checked for
// all its items that its budget is not below zero and that no error handler
// is configured (see plain_leaves), and neither is tested again.
template <bool plain>
QUELM_LEAF_INLINE int try_pack_leaf_by_type(Packer *self, PyObject *o) noexcept {
    PyTypeObject *type = Py_TYPE(o);
    if (type == &PyUnicode_Type) {
        if (!plain && QUELM_UNLIKELY(self->errors_name != nullptr))
            return not_a_leaf;
        return pack_str_fast(self, o);
    }
    if (type == &PyLong_Type) {
        int64_t v;
        if (QUELM_UNLIKELY(!read_compact_int(o, &v)))
            return not_a_leaf;
        return write_int64(&self->buffer, v);
    }
    if (type == &PyFloat_Type)
        return pack_double(self, PyFloat_AS_DOUBLE(o));
    return try_pack_singleton(self, o);
}

// Writes `o` if it is an exact str, int of at most 64 bits or float, or
// None, True or False: 0, or -1 with an exception set. Returns not_a_leaf,
// having written nothing, for any other value. Runs no Python code, so the
// caller need not hold a reference of its own while it runs. The caller
// passes its nesting budget: below zero every value must go through
// pack_value, which refuses it.
QUELM_LEAF_INLINE int try_pack_leaf(Packer *self, PyObject *o, int budget) noexcept {
    if (QUELM_UNLIKELY(budget < 0))
        return not_a_leaf;
    return try_pack_leaf_by_type<false>(self, o);
}

// Whether try_pack_leaf_by_type<true> may stand for try_pack_leaf with
// `budget` for as long as no Python code runs.
QUELM_INLINE bool plain_leaves(const Packer *self, int budget) noexcept {
    return budget >= 0 && self->errors_name == nullptr;
}

// An item of a container: a leaf inline, anything else through pack_value.
// `o` is borrowed and must stay alive while pack_value runs Python code.
QUELM_INLINE int pack_item(Packer *self, PyObject *o, int budget) noexcept {
    const int r = try_pack_leaf(self, o, budget);
    if (QUELM_LIKELY(r != not_a_leaf))
        return r;
    return pack_value(self, o, budget);
}

}  // namespace quelm

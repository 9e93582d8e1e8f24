// Mismatches of the typed decoder (see decode_mismatch.h): what was
// expected, what was found, and the path to it, gathered while the descent
// unwinds. Everything here is cold.
#include "_typed/decode_mismatch.h"

#include <cstring>

namespace quelm {

QUELM_COLD int set_mismatch(TypedState &s, PyObject *expected, PyObject *found) noexcept {
    if (found == nullptr)
        return T_ERROR;
    s.expected = expected;
    Py_XSETREF(s.found, found);
    return T_MISMATCH;
}

namespace {

QUELM_COLD PyObject *describe_head(const Head &h) noexcept {
    switch (h.family) {
    case W_NIL:
        return PyUnicode_FromString("None");
    case W_BOOL:
        return PyUnicode_FromString(h.u ? "True" : "False");
    case W_INT:
        return h.negative ? PyUnicode_FromFormat("int %lld", static_cast<long long>(h.i))
                          : PyUnicode_FromFormat("int %llu", static_cast<unsigned long long>(h.u));
    case W_FLOAT:
        return PyUnicode_FromString("float");
    case W_STR:
        return PyUnicode_FromString("str");
    case W_BIN:
        return PyUnicode_FromString("bytes");
    case W_ARRAY:
        return PyUnicode_FromFormat("array of %llu items", static_cast<unsigned long long>(h.n));
    case W_MAP:
        return PyUnicode_FromFormat("map of %llu pairs", static_cast<unsigned long long>(h.n));
    case W_EXT:
        return PyUnicode_FromFormat("ext type %d", static_cast<int>(static_cast<signed char>(*h.data)));
    default:
        return PyUnicode_FromString("timestamp");
    }
}

}  // namespace

// The value at h is not one `n` takes. A refused array or map is skipped
// first, so that malformed bytes inside it take precedence.
QUELM_COLD int mismatch(TypedState &s, const char *&p, const PlanNode &n, const Head &h) noexcept {
    if (h.family == W_ARRAY || h.family == W_MAP) {
        p = h.start;
        if (const int st = skip_value(s, p))
            return st;
    }
    return set_mismatch(s, n.label, describe_head(h));
}

namespace {

// A decoded value (borrowed) where `expected` was wanted: named by its type
// and repr, the repr cut to 80 characters.
QUELM_COLD int mismatch_repr(TypedState &s, PyObject *expected, PyObject *value) noexcept {
    Ref repr = Ref::steal(PyObject_Repr(value));
    if (!repr)
        return T_ERROR;
    if (PyUnicode_GET_LENGTH(repr.get()) > 80) {
        Ref cut = Ref::steal(PyUnicode_Substring(repr.get(), 0, 77));
        if (!cut)
            return T_ERROR;
        repr = Ref::steal(PyUnicode_FromFormat("%U...", cut.get()));
        if (!repr)
            return T_ERROR;
    }
    return set_mismatch(s, expected,
                        PyUnicode_FromFormat("%s %U", Py_TYPE(value)->tp_name, repr.get()));
}

}  // namespace

// A decoded value (borrowed) that `n` does not take: named by its repr.
QUELM_COLD int mismatch_value(TypedState &s, const PlanNode &n, PyObject *value) noexcept {
    return mismatch_repr(s, n.label, value);
}

QUELM_COLD int unhashable(TypedState &s, PyObject *expected, PyObject *value, bool key) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_TypeError))
        return T_ERROR;
    PyErr_Clear();
    const int st = mismatch_repr(s, expected, value);
    if (st != T_MISMATCH)
        return st;
    return set_mismatch(s, s.expected, PyUnicode_FromFormat(key ? "unhashable %U as a key"
                                                                : "unhashable %U",
                                                            s.found));
}

QUELM_COLD int out_of_range(TypedState &s, const PlanNode &n) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError))
        return T_ERROR;
    PyErr_Clear();
    return set_mismatch(s, n.label, PyUnicode_FromString("a timestamp out of its range"));
}

// A conversion the type performs itself (an Enum lookup, Decimal, the ISO
// forms) refused `value` with one of the exceptions it raises for that.
QUELM_COLD int refused_value(TypedState &s, const PlanNode &n, PyObject *value) noexcept {
    if (!PyErr_ExceptionMatches(PyExc_ValueError) &&
        !PyErr_ExceptionMatches(PyExc_ArithmeticError))
        return T_ERROR;
    PyErr_Clear();
    return mismatch_value(s, n, value);
}

QUELM_COLD int missing_field(TypedState &s, const PlanField &f) noexcept {
    const int st = set_mismatch(s, s.plan->nodes[f.node].label,
                                PyUnicode_FromString("nothing (a required field is missing)"));
    if (st != T_MISMATCH)
        return st;
    if (s.segments == nullptr && (s.segments = PyList_New(0)) == nullptr)
        return T_ERROR;
    return PyList_Append(s.segments, f.wire_name) < 0 ? T_ERROR : T_MISMATCH;
}

// Adds the segment (borrowed) to the path of a mismatch found inside it.
QUELM_COLD int add_segment(TypedState &s, int st, PyObject *segment) noexcept {
    if (st != T_MISMATCH || segment == nullptr)
        return segment == nullptr ? T_ERROR : st;
    if (s.segments == nullptr && (s.segments = PyList_New(0)) == nullptr)
        return T_ERROR;
    return PyList_Append(s.segments, segment) < 0 ? T_ERROR : T_MISMATCH;
}


QUELM_COLD int unknown_key(TypedState &s, const PlanNode &n, const Head &key) noexcept {
    if (key.family != W_STR) {
        Ref found = Ref::steal(describe_head(key));
        return found ? set_mismatch(s, n.forbid_expected,
                                    PyUnicode_FromFormat("%U as a key", found.get()))
                     : T_ERROR;
    }
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(n.built_names); ++i) {
        Py_ssize_t len;
        const char *name = PyUnicode_AsUTF8AndSize(PyTuple_GET_ITEM(n.built_names, i), &len);
        if (name == nullptr)
            return T_ERROR;
        if (static_cast<uint64_t>(len) == key.n && std::memcmp(name, key.data, key.n) == 0)
            return T_OK;
    }
    Ref name = Ref::steal(PyUnicode_DecodeUTF8(key.data, static_cast<Py_ssize_t>(key.n),
                                               "surrogateescape"));
    if (!name)
        return T_ERROR;
    const int st = set_mismatch(s, n.forbid_expected, PyUnicode_FromString("an unknown field"));
    return add_segment(s, st, name.get());
}

int skip_unknown(TypedState &s, const char *&p, const PlanNode &n, const char *key) noexcept {
    if (QUELM_UNLIKELY(n.forbid_expected != nullptr)) {
        Head h;
        if (const int st = read_head(key, s.end, h))
            return st;
        if (const int st = unknown_key(s, n, h))
            return st;
    }
    return skip_value(s, p);
}

// A mismatch of a map key: the path stays at the map, the message says so.
// The segments gathered so far lie inside the key: they name the place in
// the key instead of extending the map's path.
QUELM_COLD int as_key(TypedState &s) noexcept {
    PyObject *found;
    if (s.segments == nullptr) {
        found = PyUnicode_FromFormat("%U as a key", s.found);
    } else {
        Ref inside = Ref::steal(mismatch_path(s));
        if (!inside)
            return T_ERROR;
        Py_CLEAR(s.segments);
        // "$[1]" names the place from the key's own start: "str at [1] of a key".
        Ref place = Ref::steal(PyUnicode_Substring(inside.get(), 1, PY_SSIZE_T_MAX));
        if (!place)
            return T_ERROR;
        found = PyUnicode_FromFormat("%U at %U of a key", s.found, place.get());
    }
    return set_mismatch(s, s.expected, found);
}

QUELM_COLD int add_index(TypedState &s, int st, uint64_t index) noexcept {
    Ref i = Ref::steal(PyLong_FromUnsignedLongLong(index));
    return add_segment(s, st, i.get());
}

PyObject *mismatch_path(const TypedState &s) noexcept {
    Ref path = Ref::steal(PyUnicode_FromString("$"));
    if (!path || s.segments == nullptr)
        return path.release();
    for (Py_ssize_t i = PyList_GET_SIZE(s.segments); i-- > 0;) {
        PyObject *seg = PyList_GET_ITEM(s.segments, i);
        PyObject *next = PyUnicode_CheckExact(seg)
                             ? PyUnicode_FromFormat("%U.%U", path.get(), seg)
                             : PyUnicode_FromFormat("%U[%R]", path.get(), seg);
        if (next == nullptr)
            return nullptr;
        path = Ref::steal(next);
    }
    return path.release();
}

void clear_mismatch(TypedState &s) noexcept {
    s.expected = nullptr;
    Py_CLEAR(s.found);
    Py_CLEAR(s.segments);
}

}  // namespace quelm

// Constraints of the typed decoder (see decode_checks.h): each check is one
// comparison, length or remainder on the built value; a value that breaks
// one is a mismatch whose message names the bound.
#include "_typed/decode_checks.h"

#include "_typed/decode_mismatch.h"

namespace quelm {

namespace {

QUELM_COLD int broken(TypedState &s, PyObject *check, PyObject *found) noexcept {
    return set_mismatch(s, PyTuple_GET_ITEM(check, 2), found);
}

// The value's length against a bound, as len() counts it.
int check_length(TypedState &s, PyObject *check, long kind, PyObject *value) noexcept {
    const Py_ssize_t n = PyObject_Size(value);
    if (n < 0)
        return T_ERROR;
    const long long bound = PyLong_AsLongLong(PyTuple_GET_ITEM(check, 1));
    if (bound == -1 && PyErr_Occurred())
        return T_ERROR;
    const bool ok = kind == CHECK_MIN_LEN ? n >= bound : n <= bound;
    return ok ? T_OK : broken(s, check, PyUnicode_FromFormat("a length of %zd", n));
}

}  // namespace

int read_checks(PyObject *checks) noexcept {
    if (!PyTuple_Check(checks) || PyTuple_GET_SIZE(checks) == 0)
        goto malformed;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(checks); ++i) {
        PyObject *check = PyTuple_GET_ITEM(checks, i);
        if (!PyTuple_Check(check) || PyTuple_GET_SIZE(check) != 3 ||
            !PyLong_CheckExact(PyTuple_GET_ITEM(check, 0)) ||
            !PyUnicode_Check(PyTuple_GET_ITEM(check, 2)))
            goto malformed;
        const long kind = PyLong_AsLong(PyTuple_GET_ITEM(check, 0));
        if (kind < 0 || kind >= CHECK_COUNT)
            goto malformed;
        if ((kind == CHECK_MIN_LEN || kind == CHECK_MAX_LEN) &&
            !PyLong_CheckExact(PyTuple_GET_ITEM(check, 1)))
            goto malformed;
    }
    return 0;
malformed:
    PyErr_SetString(PyExc_ValueError, "malformed decoding plan: a constraint has the wrong shape");
    return -1;
}

int apply_checks(TypedState &s, const PlanNode &node, PyObject *value) noexcept {
    static constexpr int compare_ops[] = {Py_GT, Py_GE, Py_LT, Py_LE};
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(node.extra); ++i) {
        PyObject *check = PyTuple_GET_ITEM(node.extra, i);
        const long kind = PyLong_AsLong(PyTuple_GET_ITEM(check, 0));
        PyObject *bound = PyTuple_GET_ITEM(check, 1);
        int ok;
        if (kind <= CHECK_LE) {
            ok = PyObject_RichCompareBool(value, bound, compare_ops[kind]);
        } else if (kind == CHECK_MULTIPLE_OF) {
            Ref rest = Ref::steal(PyNumber_Remainder(value, bound));
            ok = rest ? !PyObject_IsTrue(rest.get()) : -1;
            if (rest && PyErr_Occurred())
                ok = -1;
        } else {
            if (const int st = check_length(s, check, kind, value))
                return st;
            continue;
        }
        if (ok < 0)
            return T_ERROR;
        if (!ok)
            return broken(s, check, PyObject_Repr(value));
    }
    return T_OK;
}

}  // namespace quelm

// Argument converters (see convert.h).
#include "_cquelm/convert.h"

#include <cstring>

namespace quelm {

namespace {

// Returns a new reference to an exact int for `o`, through __int__ (or
// __index__ when that is all the type has).
PyObject *integer_of(PyObject *o) noexcept {
    if (PyLong_Check(o))
        return Py_NewRef(o);
    PyNumberMethods *nb = Py_TYPE(o)->tp_as_number;
    PyObject *r = nullptr;
    if (nb != nullptr && nb->nb_int != nullptr) {
        r = nb->nb_int(o);
    } else if (nb != nullptr && nb->nb_index != nullptr) {
        r = nb->nb_index(o);
    } else {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    if (r != nullptr && !PyLong_Check(r)) {
        PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                     Py_TYPE(r)->tp_name);
        Py_DECREF(r);
        return nullptr;
    }
    return r;
}

}  // namespace

int convert_long_long(PyObject *o, long long *out) noexcept {
    if (QUELM_LIKELY(PyLong_CheckExact(o))) {
        long long v = PyLong_AsLongLong(o);
        if (v == -1 && PyErr_Occurred())
            return -1;
        *out = v;
        return 0;
    }
    PyObject *i = integer_of(o);
    if (i == nullptr)
        return -1;
    long long v = PyLong_AsLongLong(i);
    Py_DECREF(i);
    if (v == -1 && PyErr_Occurred())
        return -1;
    *out = v;
    return 0;
}

int convert_bounded(PyObject *o, long long lo, long long hi, const char *type_name,
                    long long *out) noexcept {
    long long v;
    if (convert_long_long(o, &v) < 0)
        return -1;
    if (v < lo || v > hi) {
        PyErr_Format(PyExc_OverflowError, "value too large to convert to %.200s", type_name);
        return -1;
    }
    *out = v;
    return 0;
}

int convert_size_t(PyObject *o, size_t *out) noexcept {
    PyObject *i = integer_of(o);
    if (i == nullptr)
        return -1;
    int overflow = 0;
    long long small = PyLong_AsLongLongAndOverflow(i, &overflow);
    if (small == -1 && overflow == 0 && PyErr_Occurred()) {
        Py_DECREF(i);
        return -1;
    }
    if (overflow < 0 || (overflow == 0 && small < 0)) {
        Py_DECREF(i);
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %.200s", "size_t");
        return -1;
    }
    size_t v = PyLong_AsSize_t(i);
    Py_DECREF(i);
    if (v == static_cast<size_t>(-1) && PyErr_Occurred())
        return -1;
    *out = v;
    return 0;
}

int convert_ssize(PyObject *o, Py_ssize_t *out) noexcept {
    PyObject *i = PyNumber_Index(o);
    if (i == nullptr)
        return -1;
    Py_ssize_t v = PyLong_AsSsize_t(i);
    Py_DECREF(i);
    if (v == -1 && PyErr_Occurred())
        return -1;
    *out = v;
    return 0;
}

int ascii_bytes_view(PyObject *o, const char **out, Py_ssize_t *len) noexcept {
    if (PyUnicode_Check(o)) {
        if (!PyUnicode_IS_ASCII(o)) {
            // Let the ASCII codec raise its own UnicodeEncodeError.
            PyObject *encoded = PyUnicode_AsASCIIString(o);
            Py_XDECREF(encoded);
            if (encoded != nullptr)
                PyErr_SetString(PyExc_ValueError, "expected an ASCII str");
            return -1;
        }
        const char *s = PyUnicode_AsUTF8AndSize(o, len);
        if (s == nullptr)
            return -1;
        *out = s;
        return 0;
    }
    if (PyByteArray_Check(o)) {
        *out = PyByteArray_AS_STRING(o);
        *len = PyByteArray_GET_SIZE(o);
        return 0;
    }
    if (PyBytes_Check(o)) {
        *out = PyBytes_AS_STRING(o);
        *len = PyBytes_GET_SIZE(o);
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(o)->tp_name);
    return -1;
}

int errors_name_view(PyObject *o, const char **out) noexcept {
    if (o == Py_None) {
        *out = nullptr;
        return 0;
    }
    Py_ssize_t len;
    return ascii_bytes_view(o, out, &len);
}

int errors_name_copy(const char *name, char **out) noexcept {
    if (name == nullptr) {
        *out = nullptr;
        return 0;
    }
    size_t n = std::strlen(name) + 1;
    char *copy = static_cast<char *>(PyMem_Malloc(n));
    if (copy == nullptr) {
        PyErr_NoMemory();
        return -1;
    }
    std::memcpy(copy, name, n);
    *out = copy;
    return 0;
}

}  // namespace quelm

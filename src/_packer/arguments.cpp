// Argument binding for the Packer's METH_FASTCALL | METH_KEYWORDS methods,
// whose parameters are all required and may be given by position or name.
#include "_packer/packer.h"

namespace quelm {

namespace {

QUELM_COLD int raise_positional_count(const char *function, Py_ssize_t count,
                                      Py_ssize_t given) noexcept {
    PyErr_Format(PyExc_TypeError, "%s() takes exactly %zd positional argument%s (%zd given)",
                 function, count, count == 1 ? "" : "s", given);
    return -1;
}

}  // namespace

int bind_arguments(const char *function, PyObject *const *args, Py_ssize_t nargs,
                   PyObject *kwnames, const char *const *names, Py_ssize_t count,
                   PyObject **out) noexcept {
    if (nargs > count)
        return raise_positional_count(function, count, nargs);
    for (Py_ssize_t i = 0; i < count; i++)
        out[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t j = 0; j < nkw; j++) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, j);
        Py_ssize_t i = 0;
        while (i < count && PyUnicode_CompareWithASCIIString(key, names[i]) != 0)
            i++;
        if (i == count) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                         function, key);
            return -1;
        }
        if (out[i] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'",
                         function, names[i]);
            return -1;
        }
        out[i] = args[nargs + j];
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        if (out[i] == nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)",
                         function, names[i], i + 1);
            return -1;
        }
    }
    return 0;
}

}  // namespace quelm

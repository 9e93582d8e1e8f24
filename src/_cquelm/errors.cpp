// Raising the sibling exception classes by name (see errors.h).
#include "_cquelm/errors.h"

#include "_cquelm/state.h"

namespace quelm {

namespace {

// Returns a borrowed reference to what `name` is bound to in the module
// namespace, else in the builtins; NULL with NameError set if neither has it,
// or with the lookup's own error (MemoryError) if a lookup fails.
PyObject *lookup_name(const char *name) noexcept {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    if (!key)
        return nullptr;
    PyObject *namespaces[] = {
        g_state.module != nullptr ? PyModule_GetDict(g_state.module) : nullptr,
        PyEval_GetBuiltins(),
    };
    for (PyObject *ns : namespaces) {
        if (ns == nullptr)
            continue;
        PyObject *found = PyDict_GetItemWithError(ns, key.get());
        if (found != nullptr || PyErr_Occurred())
            return found;
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", key.get());
    return nullptr;
}

int raise_instance(PyObject *instance) noexcept {
    if (instance == nullptr)
        return -1;
    if (PyExceptionInstance_Check(instance)) {
        PyErr_SetObject(reinterpret_cast<PyObject *>(Py_TYPE(instance)), instance);
    } else {
        PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    }
    Py_DECREF(instance);
    return -1;
}

}  // namespace

int raise_named(const char *name) noexcept {
    PyObject *cls = lookup_name(name);
    if (cls == nullptr)
        return -1;
    if (PyExceptionClass_Check(cls)) {
        PyErr_SetNone(cls);
        return -1;
    }
    return raise_instance(PyObject_CallNoArgs(cls));
}

int raise_named_with(const char *name, PyObject *args) noexcept {
    PyObject *cls = lookup_name(name);
    if (cls == nullptr)
        return -1;
    return raise_instance(PyObject_Call(cls, args, nullptr));
}

int raise_named_message(const char *name, const char *message) noexcept {
    Ref args = Ref::steal(Py_BuildValue("(s)", message));
    if (!args)
        return -1;
    return raise_named_with(name, args.get());
}

}  // namespace quelm

// The module frame: PyInit__cquelm, the create step and the exec steps in
// their order, and the process-wide state they fill.
#include "_cquelm/common.h"
#include "_cquelm/module.h"
#include "_cquelm/state.h"

#include <cstdio>
#include <cstdlib>

namespace quelm {

ModuleState g_state;

namespace {

// Steps 7 and 8 keep their results in process-wide slots; replacing a slot
// releases what an earlier, failed initialisation left there.
void store(PyObject **slot, PyObject *stolen) noexcept {
    PyObject *old = *slot;
    *slot = stolen;
    Py_XDECREF(old);
}

// Copies spec.<attr> into the module namespace as `key`. A missing attribute
// is skipped; None is skipped too when `skip_none` is set.
int copy_spec_attr(PyObject *spec, PyObject *module, const char *attr, const char *key,
                   bool skip_none) noexcept {
    Ref value = Ref::steal(PyObject_GetAttrString(spec, attr));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    if (skip_none && value.get() == Py_None)
        return 0;
    return PyDict_SetItemString(PyModule_GetDict(module), key, value.get());
}

// create(spec): one interpreter per process, one module object per process.
PyObject *cquelm_create(PyObject *spec, PyModuleDef *) noexcept {
    PyInterpreterState *interp = PyThreadState_GetInterpreter(PyThreadState_Get());
    int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1 && PyErr_Occurred())
        return nullptr;
    if (g_state.main_interpreter_id == -1) {
        g_state.main_interpreter_id = id;
    } else if (id != g_state.main_interpreter_id) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded "
                        "into one interpreter per process.");
        return nullptr;
    }
    if (g_state.module != nullptr)
        return Py_NewRef(g_state.module);

    Ref name = Ref::steal(PyObject_GetAttrString(spec, "name"));
    if (!name)
        return nullptr;
    Ref module = Ref::steal(PyModule_NewObject(name.get()));
    if (!module)
        return nullptr;
    if (copy_spec_attr(spec, module.get(), "loader", "__loader__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "origin", "__file__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "parent", "__package__", false) < 0 ||
        copy_spec_attr(spec, module.get(), "submodule_search_locations", "__path__", true) < 0)
        return nullptr;
    return module.release();
}

// Step 3: warn when the running interpreter is not the one we were built for.
int check_version() noexcept {
    const int built_major = PY_MAJOR_VERSION, built_minor = PY_MINOR_VERSION;
    int run_major = 0, run_minor = 0;
    const char *version = Py_GetVersion();
    char *end = nullptr;
    run_major = static_cast<int>(std::strtol(version, &end, 10));
    if (end != nullptr && *end == '.')
        run_minor = static_cast<int>(std::strtol(end + 1, nullptr, 10));
    if (run_major == built_major && run_minor == built_minor)
        return 0;
    char message[200];
    std::snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  built_major, built_minor, "quelm._cquelm", "does not match", run_major,
                  run_minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1);
}

// Step 4.
void reset_constants() noexcept {
    store(&g_state.utc, Py_NewRef(Py_None));
    store(&g_state.epoch, Py_NewRef(Py_None));
    store(&g_state.ext_type, Py_NewRef(Py_None));
    store(&g_state.timestamp_type, Py_NewRef(Py_None));
    store(&g_state.ns_per_second, Py_NewRef(Py_None));
}

// Step 6.
int obtain_datetime_api() noexcept {
    if (datetime_api() != nullptr)
        return 0;
    auto *api = static_cast<PyDateTime_CAPI *>(PyCapsule_Import("datetime.datetime_CAPI", 0));
    if (api == nullptr)
        return -1;
    PyDateTime_CAPI *expected = nullptr;
    g_state.datetime_api.compare_exchange_strong(expected, api);
    return 0;
}

// Step 7: the datetime module, utc and the epoch.
int import_datetime(PyObject *module) noexcept {
    Ref datetime_module = Ref::steal(PyImport_ImportModule("datetime"));
    if (!datetime_module)
        return -1;
    if (PyModule_AddObjectRef(module, "datetime", datetime_module.get()) < 0)
        return -1;
    PyObject *entry = PyDict_GetItemString(PyModule_GetDict(module), "datetime");
    if (entry == nullptr) {
        PyErr_SetString(PyExc_NameError, "name 'datetime' is not defined");
        return -1;
    }
    Ref timezone = Ref::steal(PyObject_GetAttrString(entry, "timezone"));
    if (!timezone)
        return -1;
    PyObject *utc = PyObject_GetAttrString(timezone.get(), "utc");
    if (utc == nullptr)
        return -1;
    store(&g_state.utc, utc);
    PyDateTime_CAPI *api = datetime_api();
    PyObject *epoch =
        api->DateTime_FromDateAndTimeAndFold(1970, 1, 1, 0, 0, 0, 0, utc, 0, api->DateTimeType);
    if (epoch == nullptr)
        return -1;
    store(&g_state.epoch, epoch);
    return 0;
}

// `from .<submodule> import names...`, relative to the package of `module`.
// Stores new references into `out`, in the order of `names`.
int import_from_sibling(PyObject *module, const char *submodule, const char *const *names,
                        PyObject **out, Py_ssize_t count) noexcept {
    Ref fromlist = Ref::steal(PyList_New(count));
    if (!fromlist)
        return -1;
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *name = PyUnicode_FromString(names[i]);
        if (name == nullptr)
            return -1;
        PyList_SET_ITEM(fromlist.get(), i, name);
    }
    Ref name = Ref::steal(PyUnicode_FromString(submodule));
    if (!name)
        return -1;
    Ref sibling = Ref::steal(PyImport_ImportModuleLevelObject(
        name.get(), PyModule_GetDict(module), nullptr, fromlist.get(), 1));
    if (!sibling)
        return -1;
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *value = PyObject_GetAttr(sibling.get(), PyList_GET_ITEM(fromlist.get(), i));
        if (value == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
                PyErr_Clear();
                PyErr_Format(PyExc_ImportError, "cannot import name %S",
                             PyList_GET_ITEM(fromlist.get(), i));
            }
            for (Py_ssize_t j = 0; j < i; j++)
                Py_CLEAR(out[j]);
            return -1;
        }
        out[i] = value;
    }
    return 0;
}

// Step 8.
int import_ext(PyObject *module) noexcept {
    static const char *const names[] = {"ExtType", "Timestamp"};
    PyObject *values[2] = {nullptr, nullptr};
    if (import_from_sibling(module, "ext", names, values, 2) < 0)
        return -1;
    store(&g_state.ext_type, values[0]);
    store(&g_state.timestamp_type, values[1]);
    return 0;
}

// Step 11.
int import_exceptions(PyObject *module) noexcept {
    static const char *const names[] = {"BufferFull", "OutOfData", "ExtraData", "FormatError",
                                        "StackError"};
    PyObject *values[5] = {};
    if (import_from_sibling(module, "exceptions", names, values, 5) < 0)
        return -1;
    int rc = 0;
    for (int i = 0; i < 5; i++) {
        if (rc == 0 && PyModule_AddObjectRef(module, names[i], values[i]) < 0)
            rc = -1;
        Py_DECREF(values[i]);
    }
    return rc;
}

// Step 12.
int set_ns_per_second() noexcept {
    PyObject *n = PyLong_FromLong(1000000000L);
    if (n == nullptr)
        return -1;
    store(&g_state.ns_per_second, n);
    return 0;
}

// Step 14: the Unpacker's ext_hook default is the ExtType held now.
void fix_unpacker_ext_hook_default() noexcept {
    store(&g_state.unpacker_default_ext_hook, Py_NewRef(g_state.ext_type));
}

int cquelm_exec_steps(PyObject *module) noexcept {
    if (check_version() < 0)                        // 3
        return -1;
    reset_constants();                              // 4
    if (packer_type_ready(module) < 0)              // 5
        return -1;
    if (unpacker_type_ready(module) < 0)
        return -1;
    if (obtain_datetime_api() < 0)                  // 6
        return -1;
    if (import_datetime(module) < 0)                // 7
        return -1;
    if (import_ext(module) < 0)                     // 8
        return -1;
    g_state.recursion_limit = 1024;                 // 9
    g_state.item_length_limit = 4294967295LL;
    // 10: the Packer's methods are part of its static type and were
    // installed when step 5 readied it.
    if (import_exceptions(module) < 0)              // 11
        return -1;
    if (set_ns_per_second() < 0)                    // 12
        return -1;
    if (decoder_functions_publish(module) < 0)      // 13
        return -1;
    if (packer_functions_publish(module) < 0)
        return -1;
    if (typed_decoder_publish(module) < 0)
        return -1;
    if (pipe_peek_publish(module) < 0)
        return -1;
    fix_unpacker_ext_hook_default();                // 14
    // 15: as step 10, for the Unpacker.
    return 0;                                       // 16
}

int cquelm_exec(PyObject *module) noexcept {
    // 1: re-initialisation guard.
    if (g_state.module != nullptr) {
        if (g_state.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module '_cquelm' has already been imported. Re-initialisation is "
                        "not supported.");
        return -1;
    }
    // 2: from here on the module is recorded; a failure forgets it again so
    // that a later import starts afresh.
    g_state.module = Py_NewRef(module);
    if (cquelm_exec_steps(module) < 0) {
        Py_CLEAR(g_state.module);
        return -1;
    }
    return 0;
}

PyModuleDef_Slot cquelm_slots[] = {
    {Py_mod_create, reinterpret_cast<void *>(cquelm_create)},
    {Py_mod_exec, reinterpret_cast<void *>(cquelm_exec)},
    {0, nullptr},
};

PyModuleDef cquelm_def = {
    PyModuleDef_HEAD_INIT,
    "_cquelm",      // m_name
    nullptr,        // m_doc
    0,              // m_size: the state is process-wide
    nullptr,        // m_methods: functions are added by the exec step
    cquelm_slots,   // m_slots
    nullptr,        // m_traverse
    nullptr,        // m_clear
    nullptr,        // m_free
};

}  // namespace

}  // namespace quelm

// PyMODINIT_FUNC exports the one public symbol on every platform: default
// visibility on ELF and Mach-O, dllexport on Windows.
PyMODINIT_FUNC PyInit__cquelm(void) {
    return PyModuleDef_Init(&quelm::cquelm_def);
}

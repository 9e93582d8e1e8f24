// The module functions unpackb and default_read_extended_type.
//
// unpackb is an instance of a small callable type of its own rather than a
// plain builtin function: it must report its keyword defaults through
// __kwdefaults__ (with ext_hook fixed to the ExtType class imported at
// initialisation), which builtin functions cannot do. It is called through
// vectorcall and parses its keywords by interned-string identity first.
#include "_cquelm/convert.h"
#include "_cquelm/errors.h"
#include "_cquelm/module.h"
#include "_cquelm/state.h"
#include "_unpacker/context.h"

namespace quelm {

namespace {

const char unpackb_doc[] =
    "unpackb(packed, *, object_hook=None, list_hook=None, bool use_list=True, bool raw=False, "
    "int timestamp=0, bool strict_map_key=True, unicode_errors=None, object_pairs_hook=None, "
    "ext_hook=ExtType, Py_ssize_t max_str_len=-1, Py_ssize_t max_bin_len=-1, "
    "Py_ssize_t max_array_len=-1, Py_ssize_t max_map_len=-1, Py_ssize_t max_ext_len=-1)\n"
    "\n"
    "Unpack packed_bytes to object. Returns an unpacked object.\n"
    "\n"
    "Raises ``ExtraData`` when *packed* contains extra bytes.\n"
    "Raises ``ValueError`` when *packed* is incomplete.\n"
    "Raises ``FormatError`` when *packed* is not valid quelm.\n"
    "Raises ``StackError`` when *packed* contains too nested.\n"
    "Other exceptions can be raised during unpacking.\n"
    "\n"
    "See :class:`Unpacker` for options.\n"
    "\n"
    "*max_xxx_len* options are configured automatically from ``len(packed)``.";

// Parameters in signature order; packed is the only positional one.
enum Param : int {
    P_PACKED,
    P_OBJECT_HOOK,
    P_LIST_HOOK,
    P_USE_LIST,
    P_RAW,
    P_TIMESTAMP,
    P_STRICT_MAP_KEY,
    P_UNICODE_ERRORS,
    P_OBJECT_PAIRS_HOOK,
    P_EXT_HOOK,
    P_MAX_STR_LEN,
    P_MAX_BIN_LEN,
    P_MAX_ARRAY_LEN,
    P_MAX_MAP_LEN,
    P_MAX_EXT_LEN,
    P_COUNT,
};

const char *const param_names[P_COUNT] = {
    "packed",         "object_hook",       "list_hook",   "use_list",    "raw",
    "timestamp",      "strict_map_key",    "unicode_errors", "object_pairs_hook", "ext_hook",
    "max_str_len",    "max_bin_len",       "max_array_len",  "max_map_len",       "max_ext_len",
};

// Interned parameter names, made once when unpackb is published.
PyObject *param_strings[P_COUNT];

struct UnpackbObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *ext_hook_default;  // the ExtType class at initialisation; strong
};

// A context for calls that find the spare one taken (re-entry from a hook,
// or another thread while a hook runs) comes from the allocator; the spare
// keeps ordinary calls free of heap allocation. Contexts are too large for
// the C stack of a call that hooks may re-enter to any depth.
DecodeContext *g_spare_context = nullptr;

DecodeContext *acquire_context() noexcept {
    DecodeContext *ctx = g_spare_context;
    if (ctx != nullptr) {
        g_spare_context = nullptr;
        return ctx;
    }
    ctx = static_cast<DecodeContext *>(PyMem_Malloc(sizeof(DecodeContext)));
    if (ctx == nullptr)
        PyErr_NoMemory();
    return ctx;
}

void release_context(DecodeContext *ctx) noexcept {
    if (g_spare_context == nullptr)
        g_spare_context = ctx;
    else
        PyMem_Free(ctx);
}

QUELM_COLD PyObject *raise_extra_data(PyObject *value, const char *rest, Py_ssize_t n) noexcept {
    Ref extra = Ref::steal(PyBytes_FromStringAndSize(rest, n));
    if (!extra)
        return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(2, value, extra.get()));
    if (!args)
        return nullptr;
    raise_named_with("ExtraData", args.get());
    return nullptr;
}

// Converted options of one call.
struct UnpackbArgs {
    PyObject *packed;
    PyObject *object_hook;
    PyObject *list_hook;
    PyObject *object_pairs_hook;
    PyObject *ext_hook;
    bool use_list;
    bool raw;
    bool strict_map_key;
    int32_t timestamp;
    const char *unicode_errors;
    int64_t limits[5];  // str, bin, array, map, ext
    // Owns the bytes unicode_errors points into when the caller passed a
    // bytearray, which a hook could resize while the call runs.
    Ref errors_copy;
};

// The decoding proper, once the arguments are converted.
PyObject *unpackb_impl(const UnpackbArgs &a) noexcept {
    // Exact bytes are immutable and kept alive by the caller for the call,
    // so they are read in place without acquiring a view (view.obj stays
    // NULL, which PyBuffer_Release ignores).
    Py_buffer view;
    view.obj = nullptr;
    const char *buf;
    Py_ssize_t buf_len;
    if (PyBytes_CheckExact(a.packed)) {
        buf = PyBytes_AS_STRING(a.packed);
        buf_len = PyBytes_GET_SIZE(a.packed);
    } else if (get_data_from_buffer(a.packed, &view, &buf, &buf_len) < 0) {
        return nullptr;
    }
    int64_t limits[5];
    for (int i = 0; i < 5; ++i) {
        limits[i] = a.limits[i];
        if (limits[i] == -1)
            limits[i] = i == 3 ? buf_len / 2 : buf_len;
    }
    DecodeContext *ctx = acquire_context();
    if (ctx == nullptr) {
        PyBuffer_Release(&view);
        return nullptr;
    }
    PyObject *result = nullptr;
    if (init_ctx(ctx, a.object_hook, a.object_pairs_hook, a.list_hook, a.ext_hook, a.use_list,
                 a.raw, a.timestamp, a.strict_map_key, a.unicode_errors, limits[0], limits[1],
                 limits[2], limits[3], limits[4]) == 0) {
        Py_ssize_t off = 0;
        const int status = decode_construct(ctx, buf, buf_len, &off);
        if (status == DECODE_COMPLETE) {
            result = ctx->result;
            ctx->result = nullptr;
            if (off < buf_len) {
                raise_extra_data(result, buf + off, buf_len - off);
                Py_CLEAR(result);
            }
        } else {
            raise_decode_status(status);
        }
    }
    if (QUELM_LIKELY(result != nullptr)) {
        clear_context(ctx);
        PyBuffer_Release(&view);
    } else {
        PendingError keep;
        clear_context(ctx);
        PyBuffer_Release(&view);
    }
    release_context(ctx);
    return result;
}

QUELM_COLD PyObject *raise_arg_error(const char *format, PyObject *name) noexcept {
    PyErr_Format(PyExc_TypeError, format, name);
    return nullptr;
}

// Index of the parameter named `key`, or -1 (no exception set).
int find_param(PyObject *key) noexcept {
    for (int i = 0; i < P_COUNT; ++i)
        if (param_strings[i] == key)
            return i;
    if (!PyUnicode_Check(key))
        return -1;
    for (int i = 0; i < P_COUNT; ++i)
        if (PyUnicode_Compare(param_strings[i], key) == 0)
            return i;
    PyErr_Clear();
    return -1;
}

// Binds the keyword arguments into `a` (which holds the defaults and, when
// given, the positional packed) and converts them in the documented order:
// use_list, raw, timestamp, strict_map_key, the five limits, then
// unicode_errors. Returns 0 or -1 with TypeError or a conversion error set.
QUELM_NOINLINE int convert_keywords(PyObject *const *values, PyObject *kwnames,
                                    UnpackbArgs *a) noexcept {
    PyObject *given[P_COUNT] = {};
    given[P_PACKED] = a->packed;
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        const int at = find_param(key);
        if (at < 0) {
            raise_arg_error("unpackb() got an unexpected keyword argument '%S'", key);
            return -1;
        }
        if (given[at] != nullptr) {
            raise_arg_error("unpackb() got multiple values for argument '%S'", key);
            return -1;
        }
        given[at] = values[i];
    }
    a->packed = given[P_PACKED];
    if (given[P_OBJECT_HOOK])
        a->object_hook = given[P_OBJECT_HOOK];
    if (given[P_LIST_HOOK])
        a->list_hook = given[P_LIST_HOOK];
    if (given[P_OBJECT_PAIRS_HOOK])
        a->object_pairs_hook = given[P_OBJECT_PAIRS_HOOK];
    if (given[P_EXT_HOOK])
        a->ext_hook = given[P_EXT_HOOK];
    if (given[P_USE_LIST] && convert_flag(given[P_USE_LIST], &a->use_list) < 0)
        return -1;
    if (given[P_RAW] && convert_flag(given[P_RAW], &a->raw) < 0)
        return -1;
    if (given[P_TIMESTAMP]) {
        long long ts;
        if (convert_bounded(given[P_TIMESTAMP], INT32_MIN, INT32_MAX, "int", &ts) < 0)
            return -1;
        a->timestamp = static_cast<int32_t>(ts);
    }
    if (given[P_STRICT_MAP_KEY] && convert_flag(given[P_STRICT_MAP_KEY], &a->strict_map_key) < 0)
        return -1;
    for (int i = 0; i < 5; ++i) {
        Py_ssize_t limit = -1;
        PyObject *o = given[P_MAX_STR_LEN + i];
        if (o != nullptr && convert_ssize(o, &limit) < 0)
            return -1;
        a->limits[i] = limit;
    }
    PyObject *errors = given[P_UNICODE_ERRORS];
    if (errors != nullptr && PyByteArray_Check(errors)) {
        a->errors_copy = Ref::steal(PyBytes_FromStringAndSize(PyByteArray_AS_STRING(errors),
                                                              PyByteArray_GET_SIZE(errors)));
        if (!a->errors_copy)
            return -1;
        errors = a->errors_copy.get();
    }
    if (errors != nullptr && errors_name_view(errors, &a->unicode_errors) < 0)
        return -1;
    return 0;
}

// unpackb(packed, *, object_hook=None, list_hook=None, use_list=True,
//         raw=False, timestamp=0, strict_map_key=True, unicode_errors=None,
//         object_pairs_hook=None, ext_hook=ExtType, max_str_len=-1,
//         max_bin_len=-1, max_array_len=-1, max_map_len=-1, max_ext_len=-1)
PyObject *unpackb_vectorcall(PyObject *self, PyObject *const *args, size_t nargsf,
                             PyObject *kwnames) noexcept {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError,
                     "unpackb() takes exactly 1 positional argument (%zd given)", nargs);
        return nullptr;
    }
    UnpackbArgs a;
    a.packed = nargs == 1 ? args[0] : nullptr;
    a.object_hook = Py_None;
    a.list_hook = Py_None;
    a.object_pairs_hook = Py_None;
    a.ext_hook = reinterpret_cast<UnpackbObject *>(self)->ext_hook_default;
    a.use_list = true;
    a.raw = false;
    a.strict_map_key = true;
    a.timestamp = 0;
    a.unicode_errors = nullptr;
    for (int i = 0; i < 5; ++i)
        a.limits[i] = -1;
    // The common call, unpackb(packed), needs no keyword handling at all.
    if (kwnames != nullptr && convert_keywords(args + nargs, kwnames, &a) < 0)
        return nullptr;
    if (a.packed == nullptr) {
        PyErr_SetString(PyExc_TypeError, "unpackb() missing required argument 'packed' (pos 1)");
        return nullptr;
    }
    return unpackb_impl(a);
}

void unpackb_dealloc(PyObject *self) noexcept {
    Py_XDECREF(reinterpret_cast<UnpackbObject *>(self)->ext_hook_default);
    PyObject_Free(self);
}

PyObject *unpackb_get_doc(PyObject *, void *) noexcept {
    return PyUnicode_FromString(unpackb_doc);
}

PyObject *unpackb_get_name(PyObject *, void *) noexcept { return PyUnicode_FromString("unpackb"); }

PyObject *unpackb_get_module(PyObject *, void *) noexcept {
    return PyUnicode_FromString("quelm._cquelm");
}

PyObject *unpackb_get_defaults(PyObject *, void *) noexcept { return Py_NewRef(Py_None); }

PyObject *unpackb_get_kwdefaults(PyObject *self, void *) noexcept {
    Ref d = Ref::steal(PyDict_New());
    if (!d)
        return nullptr;
    PyObject *none = Py_None;
    PyObject *values[P_COUNT] = {
        nullptr, none, none, Py_True, Py_False, nullptr, Py_True, none, none,
        reinterpret_cast<UnpackbObject *>(self)->ext_hook_default,
    };
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref minus_one = Ref::steal(PyLong_FromLong(-1));
    if (!zero || !minus_one)
        return nullptr;
    values[P_TIMESTAMP] = zero.get();
    for (int i = P_MAX_STR_LEN; i <= P_MAX_EXT_LEN; ++i)
        values[i] = minus_one.get();
    for (int i = P_OBJECT_HOOK; i < P_COUNT; ++i)
        if (PyDict_SetItem(d.get(), param_strings[i], values[i]) < 0)
            return nullptr;
    return d.release();
}

PyObject *unpackb_repr(PyObject *) noexcept {
    return PyUnicode_FromString("<built-in function unpackb>");
}

// Pickled by reference, like the builtin functions.
PyObject *unpackb_reduce(PyObject *, PyObject *) noexcept {
    return PyUnicode_FromString("unpackb");
}

PyMethodDef unpackb_methods[] = {
    {"__reduce__", unpackb_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef unpackb_getset[] = {
    {"__doc__", unpackb_get_doc, nullptr, nullptr, nullptr},
    {"__name__", unpackb_get_name, nullptr, nullptr, nullptr},
    {"__qualname__", unpackb_get_name, nullptr, nullptr, nullptr},
    {"__module__", unpackb_get_module, nullptr, nullptr, nullptr},
    {"__defaults__", unpackb_get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", unpackb_get_kwdefaults, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject unpackb_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quelm._cquelm.unpackb_function",
    .tp_basicsize = sizeof(UnpackbObject),
    .tp_dealloc = unpackb_dealloc,
    .tp_vectorcall_offset = offsetof(UnpackbObject, vectorcall),
    .tp_repr = unpackb_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_methods = unpackb_methods,
    .tp_getset = unpackb_getset,
};

// default_read_extended_type(typecode, data)
PyObject *default_read_extended_type(PyObject *, PyObject *const *args, Py_ssize_t nargs,
                                     PyObject *kwnames) noexcept {
    static const char *const names[] = {"typecode", "data"};
    PyObject *given[2] = {};
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError,
                     "default_read_extended_type() takes at most 2 arguments (%zd given)", nargs);
        return nullptr;
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        given[i] = args[i];
    const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t i = 0; i < nkw; ++i) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, i);
        int at = -1;
        for (int j = 0; j < 2; ++j)
            if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names[j]) == 0)
                at = j;
        if (at < 0)
            return raise_arg_error(
                "default_read_extended_type() got an unexpected keyword argument '%S'", key);
        if (given[at] != nullptr)
            return raise_arg_error(
                "default_read_extended_type() got multiple values for argument '%S'", key);
        given[at] = args[nargs + i];
    }
    for (int j = 0; j < 2; ++j) {
        if (given[j] == nullptr) {
            PyErr_Format(PyExc_TypeError,
                         "default_read_extended_type() missing required argument '%s' (pos %d)",
                         names[j], j + 1);
            return nullptr;
        }
    }
    Ref format = Ref::steal(PyUnicode_FromString("Cannot decode extended type with typecode=%d"));
    if (!format)
        return nullptr;
    Ref message = Ref::steal(PyUnicode_Format(format.get(), given[0]));
    if (!message)
        return nullptr;
    PyErr_SetObject(PyExc_NotImplementedError, message.get());
    return nullptr;
}

PyMethodDef default_read_extended_type_def = {
    "default_read_extended_type",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(default_read_extended_type)),
    METH_FASTCALL | METH_KEYWORDS,
    "default_read_extended_type(typecode, data)",
};

}  // namespace

int decoder_functions_publish(PyObject *module) noexcept {
    Ref module_name = Ref::steal(PyUnicode_FromString("quelm._cquelm"));
    if (!module_name)
        return -1;
    Ref reader = Ref::steal(PyCFunction_NewEx(&default_read_extended_type_def, nullptr,
                                              module_name.get()));
    if (!reader || PyModule_AddObjectRef(module, "default_read_extended_type", reader.get()) < 0)
        return -1;

    for (int i = 0; i < P_COUNT; ++i) {
        if (param_strings[i] == nullptr) {
            param_strings[i] = PyUnicode_InternFromString(param_names[i]);
            if (param_strings[i] == nullptr)
                return -1;
        }
    }
    if (PyType_Ready(&unpackb_type) < 0)
        return -1;
    UnpackbObject *fn = PyObject_New(UnpackbObject, &unpackb_type);
    if (fn == nullptr)
        return -1;
    fn->vectorcall = unpackb_vectorcall;
    fn->ext_hook_default = Py_NewRef(g_state.ext_type);
    Ref unpackb = Ref::steal(reinterpret_cast<PyObject *>(fn));
    return PyModule_AddObjectRef(module, "unpackb", unpackb.get());
}

}  // namespace quelm

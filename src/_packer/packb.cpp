// packb(obj, **options): one value to bytes in one call.
//
// packb reuses one process-wide Packer, which saves building one per call
// and keeps the storage of small outputs for the next call (a large output's
// storage becomes its result). It is marked busy while in use: under the
// interpreter lock the check and the mark happen together, so a re-entrant call (a `default`
// hook calling packb, a finaliser, another thread switched in while a hook
// runs) never shares it and builds a Packer of its own instead.
//
// The common options (`default` given as None or a callable, the flags as
// True, False or None) are applied to the reused Packer for the one call and
// reset afterwards. Anything else (buf_size, unicode_errors, a flag that
// needs a truth test, a misspelt name) builds a Packer from the options as
// the constructor would, so errors and conversions are exactly the
// constructor's.
#include "_cquelm/module.h"
#include "_packer/packer.h"

namespace quelm {

namespace {

// A buffer keeps its storage while it holds no finished output, as after a
// failed call: a cached Packer whose storage grew beyond this is dropped,
// so that one large failed packb does not pin its memory for ever.
constexpr size_t kKeepLimit = size_t{1} << 20;

Packer *cached = nullptr;
bool cached_busy = false;

// A new Packer with the keyword options `kwargs` (borrowed, may be NULL).
PyObject *new_packer(PyObject *kwargs) noexcept {
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args)
        return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject *>(&PackerType), no_args.get(), kwargs);
}

// Packs `obj` with a Packer of its own, built from the options in
// `kwnames`/`values`, and returns the bytes whatever its autoreset says.
QUELM_NOINLINE PyObject *packb_fresh(PyObject *obj, PyObject *const *values,
                                     PyObject *kwnames) noexcept {
    Ref kwargs;
    if (kwnames != nullptr) {
        kwargs = Ref::steal(PyDict_New());
        if (!kwargs)
            return nullptr;
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(kwnames); i++) {
            if (PyDict_SetItem(kwargs.get(), PyTuple_GET_ITEM(kwnames, i), values[i]) < 0)
                return nullptr;
        }
    }
    Ref packer = Ref::steal(new_packer(kwargs.get()));
    if (!packer)
        return nullptr;
    Ref out = Ref::steal(packer_pack(packer.get(), &obj, 1, nullptr));
    if (!out)
        return nullptr;
    if (out.get() == Py_None)  // autoreset=False keeps the encoding in the buffer
        return packer_bytes(packer.get(), nullptr);
    return out.release();
}

// The options the reused Packer can take for one call, and where each goes.
struct CallOptions {
    PyObject *default_hook = Py_None;  // borrowed from the call
    bool use_single_float = false;
    bool use_bin_type = true;
    bool strict_types = false;
    bool datetime = false;
    bool typed = false;
};

// Sets `*out` from a plain flag (True, False or None); false for anything
// that would need the interpreter's truth test.
QUELM_INLINE bool plain_flag(PyObject *o, bool *out) noexcept {
    if (o != Py_True && o != Py_False && o != Py_None)
        return false;
    *out = o == Py_True;
    return true;
}

// Binds keyword options that need no Python code to convert. Returns false,
// with nothing raised, for any option it does not take that way.
bool bind_call_options(PyObject *const *values, PyObject *kwnames, CallOptions *out) noexcept {
    const Py_ssize_t n = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < n; i++) {
        PyObject *name = PyTuple_GET_ITEM(kwnames, i);
        PyObject *value = values[i];
        bool ignored;
        bool ok;
        if (PyUnicode_CompareWithASCIIString(name, "default") == 0) {
            out->default_hook = value;
            ok = value == Py_None || PyCallable_Check(value);
        } else if (PyUnicode_CompareWithASCIIString(name, "use_bin_type") == 0) {
            ok = plain_flag(value, &out->use_bin_type);
        } else if (PyUnicode_CompareWithASCIIString(name, "use_single_float") == 0) {
            ok = plain_flag(value, &out->use_single_float);
        } else if (PyUnicode_CompareWithASCIIString(name, "strict_types") == 0) {
            ok = plain_flag(value, &out->strict_types);
        } else if (PyUnicode_CompareWithASCIIString(name, "datetime") == 0) {
            ok = plain_flag(value, &out->datetime);
        } else if (PyUnicode_CompareWithASCIIString(name, "typed") == 0) {
            ok = plain_flag(value, &out->typed);
        } else if (PyUnicode_CompareWithASCIIString(name, "autoreset") == 0) {
            // packb returns the bytes whatever autoreset says.
            ok = plain_flag(value, &ignored);
        } else {
            ok = false;
        }
        if (!ok)
            return false;
    }
    return true;
}

// Packs with the reused Packer, `options` applied for this call only.
PyObject *pack_reused(Packer *packer, PyObject *obj, const CallOptions &options) noexcept {
    // The idle hook is None: releasing it runs no code.
    Py_SETREF(packer->default_hook, Py_NewRef(options.default_hook));
    packer->use_single_float = options.use_single_float;
    packer->buffer.use_bin_type = options.use_bin_type;
    packer->strict_types = options.strict_types;
    packer->datetime = options.datetime;
    packer->typed = options.typed;
    PyObject *out = packer_pack(reinterpret_cast<PyObject *>(packer), &obj, 1, nullptr);
    const CallOptions plain;
    PyObject *hook = packer->default_hook;
    packer->default_hook = Py_NewRef(plain.default_hook);
    packer->use_single_float = plain.use_single_float;
    packer->buffer.use_bin_type = plain.use_bin_type;
    packer->strict_types = plain.strict_types;
    packer->datetime = plain.datetime;
    packer->typed = plain.typed;
    // Last: releasing the hook may run a finaliser, which may call packb.
    Py_DECREF(hook);
    return out;
}

// packb(obj, /, **options)
PyObject *packb(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "packb() takes exactly one positional argument (%zd given)",
                     nargs);
        return nullptr;
    }
    const bool with_options = kwnames != nullptr && PyTuple_GET_SIZE(kwnames) != 0;
    CallOptions options;
    if (cached_busy || (with_options && !bind_call_options(args + 1, kwnames, &options)))
        return packb_fresh(args[0], args + 1, with_options ? kwnames : nullptr);
    if (cached == nullptr) {
        cached = reinterpret_cast<Packer *>(new_packer(nullptr));
        if (cached == nullptr)
            return nullptr;
        // Hidden from the collector, so that no Python code can find it
        // through gc.get_objects() and re-initialise it (autoreset=False
        // would make every later packb return None). It holds no reference
        // that could form a cycle while idle.
        PyObject_GC_UnTrack(cached);
    }
    // Hold our own reference: code run by the pack may not free it under us.
    Packer *packer = cached;
    Py_INCREF(packer);
    cached_busy = true;
    PyObject *out = with_options ? pack_reused(packer, args[0], options)
                                 : packer_pack(reinterpret_cast<PyObject *>(packer), args, 1, nullptr);
    cached_busy = false;
    if (packer->buffer.buf_size > kKeepLimit && cached == packer) {
        cached = nullptr;
        Py_DECREF(packer);
    }
    Py_DECREF(packer);
    return out;
}

PyMethodDef packb_def = {
    "packb", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(packb)),
    METH_FASTCALL | METH_KEYWORDS,
    "packb(obj, **options)\n\n"
    "Return the Quelm encoding of *obj* as bytes.\n\n"
    "*options* are those of :class:`Packer` (``default``, ``use_single_float``,\n"
    "``use_bin_type``, ``strict_types``, ``datetime``, ``typed``, ``unicode_errors``).\n"
    "A small cached Packer is reused, so packing a tiny value costs no buffer\n"
    "allocation. Safe to call from a ``default`` hook."};

}  // namespace

int packer_functions_publish(PyObject *module) noexcept {
    Ref name = Ref::steal(PyUnicode_FromString("quelm._cquelm"));
    if (!name)
        return -1;
    Ref function = Ref::steal(PyCFunction_NewEx(&packb_def, nullptr, name.get()));
    if (!function)
        return -1;
    return PyModule_AddObjectRef(module, "packb", function.get());
}

}  // namespace quelm

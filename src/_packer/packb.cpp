// packb(obj, **options): one value to bytes in one call.
//
// A Packer allocates its whole buffer up front (256 KiB by default), which
// would dominate the cost of packing a small value. Without options, packb
// therefore reuses one process-wide Packer that starts small and grows as
// needed. It is marked busy while in use: under the interpreter lock the
// check and the mark happen together, so a re-entrant call (a `default`
// hook calling packb, a finaliser, another thread switched in while a hook
// runs) never shares it and builds a Packer of its own instead.
#include "_cquelm/module.h"
#include "_packer/packer.h"

namespace quelm {

namespace {

constexpr size_t kSmallBuffer = 256;
// The buffer never shrinks: a cached Packer that grew beyond this is
// dropped, so that one large packb does not pin its memory for ever.
constexpr size_t kKeepLimit = size_t{1} << 20;

Packer *cached = nullptr;
bool cached_busy = false;

// A new Packer with the keyword options `kwargs` (borrowed, may be NULL)
// and a small buffer unless the caller chose buf_size.
PyObject *new_small_packer(PyObject *kwargs) noexcept {
    Ref options = Ref::steal(kwargs != nullptr ? PyDict_Copy(kwargs) : PyDict_New());
    if (!options)
        return nullptr;
    if (PyDict_GetItemString(options.get(), "buf_size") == nullptr) {
        Ref size = Ref::steal(PyLong_FromSize_t(kSmallBuffer));
        if (!size || PyDict_SetItemString(options.get(), "buf_size", size.get()) < 0)
            return nullptr;
    }
    Ref no_args = Ref::steal(PyTuple_New(0));
    if (!no_args)
        return nullptr;
    return PyObject_Call(reinterpret_cast<PyObject *>(&PackerType), no_args.get(), options.get());
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
    Ref packer = Ref::steal(new_small_packer(kwargs.get()));
    if (!packer)
        return nullptr;
    Ref out = Ref::steal(packer_pack(packer.get(), &obj, 1, nullptr));
    if (!out)
        return nullptr;
    if (out.get() == Py_None)  // autoreset=False keeps the encoding in the buffer
        return packer_bytes(packer.get(), nullptr);
    return out.release();
}

// packb(obj, /, **options)
PyObject *packb(PyObject *, PyObject *const *args, Py_ssize_t nargs, PyObject *kwnames) noexcept {
    if (nargs != 1) {
        PyErr_Format(PyExc_TypeError, "packb() takes exactly one positional argument (%zd given)",
                     nargs);
        return nullptr;
    }
    if (kwnames != nullptr && PyTuple_GET_SIZE(kwnames) == 0)
        kwnames = nullptr;
    if (kwnames != nullptr || cached_busy)
        return packb_fresh(args[0], args + 1, kwnames);
    if (cached == nullptr) {
        cached = reinterpret_cast<Packer *>(new_small_packer(nullptr));
        if (cached == nullptr)
            return nullptr;
        // Hidden from the collector, so that no Python code can find it
        // through gc.get_objects() and re-initialise it (autoreset=False
        // would make every later packb return None). It holds no reference
        // that could form a cycle.
        PyObject_GC_UnTrack(cached);
    }
    // Hold our own reference: code run by the pack may not free it under us.
    Packer *packer = cached;
    Py_INCREF(packer);
    cached_busy = true;
    PyObject *out = packer_pack(reinterpret_cast<PyObject *>(packer), args, 1, nullptr);
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
    "``use_bin_type``, ``strict_types``, ``datetime``, ``unicode_errors``).\n"
    "Without options a small cached Packer is reused, so packing a tiny value\n"
    "costs no buffer allocation. Safe to call from a ``default`` hook."};

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

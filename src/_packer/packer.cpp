// The Packer type: construction, initialisation, pack(obj) and the method
// table. What pack writes is decided by the value dispatch (dispatch.cpp).
#include "_packer/packer.h"

#include "_cquelm/convert.h"
#include "_cquelm/module.h"
#include "_cquelm/state.h"
#include "_packer/dispatch.h"

namespace quelm {

PyObject *name_data;
PyObject *name_code;
PyObject *name_seconds;
PyObject *name_nanoseconds;
PyObject *name_items;
PyObject *name_buf_size;
PyObject *zero;

int check_exports(Packer *self) noexcept {
    if (QUELM_UNLIKELY(self->exports != 0)) {
        PyErr_SetString(PyExc_BufferError, export_guard_message);
        return -1;
    }
    return 0;
}

PyObject *WriteCall::succeed() const noexcept {
    OutputBuffer &b = self_->buffer;
    if (QUELM_UNLIKELY(nested_)) {
        PyObject *result = PyBytes_FromStringAndSize(b.buf + start_,
                                                     static_cast<Py_ssize_t>(b.length - start_));
        truncate();
        return result;
    }
    if (!self_->autoreset)
        Py_RETURN_NONE;
    // Emptied even when the bytes could not be made: under autoreset every
    // call leaves the buffer empty, and a value that failed must not turn
    // up in front of the next one.
    return buffer_take_bytes(&b);
}

int WriteCall::refuse_foreign() noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    "Packer cannot be called from another thread while packing is in progress");
    return -1;
}

int WriteCall::refuse_nested() noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    "Packer with autoreset=False cannot be called recursively while packing "
                    "is in progress");
    return -1;
}

namespace {

// ---- the type -------------------------------------------------------------

// Allocation: the buffer, sized by the only positional argument or the
// keyword buf_size (its storage allocated now, with that capacity); every
// other keyword is left to initialisation.
PyObject *packer_new(PyTypeObject *type, PyObject *args, PyObject *kwds) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (nargs > 1) {
        PyErr_Format(PyExc_TypeError, "Packer() takes at most 1 positional argument (%zd given)",
                     nargs);
        return nullptr;
    }
    PyObject *size_obj = nullptr;
    if (nargs == 1) {
        size_obj = PyTuple_GET_ITEM(args, 0);
    } else if (kwds != nullptr) {
        size_obj = PyDict_GetItemWithError(kwds, name_buf_size);
        if (size_obj == nullptr && PyErr_Occurred())
            return nullptr;
    }
    // Without buf_size no storage is allocated here: the first write starts
    // it small, or at the size of recent outputs, so a Packer made for one
    // value costs no large allocation up front.
    size_t size = 0;
    if (size_obj != nullptr && convert_size_t(size_obj, &size) < 0)
        return nullptr;
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object)
        return nullptr;
    auto *self = reinterpret_cast<Packer *>(object.get());
    self->default_hook = Py_NewRef(Py_None);
    self->unicode_errors = Py_NewRef(Py_None);
    buffer_init_empty(&self->buffer, size);
    if (size_obj != nullptr && buffer_allocate(&self->buffer, size) < 0) {
        PyErr_SetString(PyExc_MemoryError, "Unable to allocate internal buffer.");
        return nullptr;
    }
    self->exports = 0;
    self->writing = 0;
    return object.release();
}

QUELM_INLINE void replace(PyObject **slot, PyObject *borrowed) noexcept {
    PyObject *old = *slot;
    *slot = Py_NewRef(borrowed);
    Py_DECREF(old);
}

// Initialisation: the options, keyword-only. Calling it again on a live
// Packer sets them anew and keeps the buffer.
int packer_init(PyObject *op, PyObject *args, PyObject *kwds) noexcept {
    static const char *kwlist[] = {"default",  "use_single_float", "autoreset",
                                   "use_bin_type", "strict_types", "datetime",
                                   "unicode_errors", "buf_size", "typed", nullptr};
    auto *self = reinterpret_cast<Packer *>(op);
    PyObject *default_hook = Py_None, *use_single_float = Py_False, *autoreset = Py_True,
             *use_bin_type = Py_True, *strict_types = Py_False, *datetime = Py_False,
             *unicode_errors = Py_None, *buf_size = nullptr, *typed = Py_False;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|$OOOOOOOOO:Packer", const_cast<char **>(kwlist),
                                     &default_hook, &use_single_float, &autoreset,
                                     &use_bin_type, &strict_types, &datetime, &unicode_errors,
                                     &buf_size, &typed))
        return -1;
    bool flags[6];
    if (convert_flag(use_single_float, &flags[0]) < 0 || convert_flag(autoreset, &flags[1]) < 0 ||
        convert_flag(use_bin_type, &flags[2]) < 0 || convert_flag(strict_types, &flags[3]) < 0 ||
        convert_flag(datetime, &flags[4]) < 0 || convert_flag(typed, &flags[5]) < 0)
        return -1;
    self->use_single_float = flags[0];
    self->autoreset = flags[1];
    self->buffer.use_bin_type = flags[2];
    self->strict_types = flags[3];
    self->datetime = flags[4];
    self->typed = flags[5];
    if (default_hook != Py_None && !PyCallable_Check(default_hook)) {
        PyErr_SetString(PyExc_TypeError, "default must be a callable.");
        return -1;
    }
    replace(&self->default_hook, default_hook);
    // The name and the object it came from are replaced together, and only
    // once the name is known: a failure keeps the previous pair.
    const char *name;
    if (errors_name_view(unicode_errors, &name) < 0)
        return -1;
    PyObject *name_copy = nullptr;
    if (name != nullptr) {
        name_copy = PyBytes_FromString(name);
        if (name_copy == nullptr)
            return -1;
    }
    replace(&self->unicode_errors, unicode_errors);
    PyObject *old_name = self->errors_name;
    self->errors_name = name_copy;
    Py_XDECREF(old_name);
    return 0;
}

int packer_traverse(PyObject *op, visitproc visit, void *arg) noexcept {
    auto *self = reinterpret_cast<Packer *>(op);
    Py_VISIT(self->default_hook);
    Py_VISIT(self->unicode_errors);
    return 0;
}

int packer_clear(PyObject *op) noexcept {
    auto *self = reinterpret_cast<Packer *>(op);
    replace(&self->default_hook, Py_None);
    replace(&self->unicode_errors, Py_None);
    return 0;
}

void packer_dealloc(PyObject *op) noexcept {
    auto *self = reinterpret_cast<Packer *>(op);
    // Untracked first: nothing below may let the collector see a half-freed
    // object.
    PyObject_GC_UnTrack(op);
    {
        PendingError pending;
        buffer_release(&self->buffer);
        Py_CLEAR(self->default_hook);
        Py_CLEAR(self->unicode_errors);
        Py_CLEAR(self->errors_name);
    }
    Py_TYPE(op)->tp_free(op);
}

// A byte string this large, packed alone under autoreset into an empty
// buffer, goes straight into the result: copying it into the buffer first
// and out again would double the work for nothing.
constexpr Py_ssize_t direct_bytes_threshold = Py_ssize_t{1} << 20;

// The result of pack(obj) for such a byte string (new reference, or null
// with MemoryError); the buffer is not touched. The header is written by the
// usual writer into a small buffer of its own that never needs to grow.
QUELM_NOINLINE PyObject *pack_bytes_direct(Packer *self, const char *data,
                                           Py_ssize_t n) noexcept {
    char head_storage[8];
    OutputBuffer head = {head_storage, 0, sizeof head_storage, self->buffer.use_bin_type,
                         sizeof head_storage, false};
    if (write_bin_header(&head, static_cast<size_t>(n)) < 0)
        return nullptr;
    const auto head_length = static_cast<Py_ssize_t>(head.length);
    PyObject *result = PyBytes_FromStringAndSize(nullptr, head_length + n);
    if (result == nullptr)
        return nullptr;
    std::memcpy(PyBytes_AS_STRING(result), head_storage, head.length);
    std::memcpy(PyBytes_AS_STRING(result) + head_length, data, static_cast<size_t>(n));
    return result;
}

// Packer.pack(self, obj)
}  // namespace

PyObject *packer_pack(PyObject *op, PyObject *const *args, Py_ssize_t nargs,
                      PyObject *kwnames) noexcept {
    auto *self = reinterpret_cast<Packer *>(op);
    PyObject *obj;
    if (QUELM_LIKELY(nargs == 1 && kwnames == nullptr)) {
        obj = args[0];
    } else {
        static const char *const names[] = {"obj"};
        if (bind_arguments("pack", args, nargs, kwnames, names, 1, &obj) < 0)
            return nullptr;
    }
    if (check_exports(self) < 0)
        return nullptr;
    WriteCall call(self);
    if (call.admit() < 0)
        return nullptr;
    if (PyBytes_CheckExact(obj) && PyBytes_GET_SIZE(obj) >= direct_bytes_threshold &&
        self->autoreset && self->buffer.length == 0 && !too_long(PyBytes_GET_SIZE(obj)))
        return pack_bytes_direct(self, PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
    StackWalk walk(self);
    if (pack_value(self, obj, g_state.recursion_limit) < 0)
        return call.fail();
    return call.succeed();
}

namespace {

PyMethodDef packer_methods[] = {
    {"pack", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(packer_pack)),
     METH_FASTCALL | METH_KEYWORDS, "Packer.pack(self, obj)"},
    {"pack_ext_type",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(packer_pack_ext_type)),
     METH_FASTCALL | METH_KEYWORDS, "Packer.pack_ext_type(self, typecode, data)"},
    {"pack_array_header",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(packer_pack_array_header)),
     METH_FASTCALL | METH_KEYWORDS, "Packer.pack_array_header(self, long long size)"},
    {"pack_map_header",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(packer_pack_map_header)),
     METH_FASTCALL | METH_KEYWORDS, "Packer.pack_map_header(self, long long size)"},
    {"pack_map_pairs",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(packer_pack_map_pairs)),
     METH_FASTCALL | METH_KEYWORDS,
     "Packer.pack_map_pairs(self, pairs)\n\nPack *pairs* as quelm map type.\n\n*pairs* should be "
     "a sequence of pairs.\n(`len(pairs)` and `for k, v in pairs:` should be supported.)"},
    {"reset", packer_reset, METH_NOARGS,
     "Packer.reset(self)\n\nReset internal buffer.\n\nThis method is useful only when "
     "autoreset=False."},
    {"bytes", packer_bytes, METH_NOARGS,
     "Packer.bytes(self)\n\nReturn internal buffer contents as bytes object"},
    {"getbuffer", packer_getbuffer, METH_NOARGS,
     "Packer.getbuffer(self)\n\nReturn memoryview of internal buffer.\n\nNote: Packer now "
     "supports buffer protocol. You can use memoryview(packer)."},
    {"__reduce__", packer_reduce, METH_NOARGS, nullptr},
    {"__setstate__", packer_setstate, METH_O, nullptr},
    // The type stubs make Packer generic in what its writing methods return
    // (bytes, or None with autoreset=False), so Packer[bytes] must also work
    // where an annotation is evaluated at run time.
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "See PEP 585: Packer[bytes] is the Packer whose writing methods return bytes."},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char packer_doc[] =
    "Packer(default=None, *, bool use_single_float=False, bool autoreset=True, "
    "bool use_bin_type=True, bool strict_types=False, bool datetime=False, "
    "unicode_errors=None, buf_size=0x40000)\n"
    "Quelm Packer\n"
    "\n"
    "Usage::\n"
    "\n"
    "    packer = Packer()\n"
    "    astream.write(packer.pack(a))\n"
    "    astream.write(packer.pack(b))\n"
    "\n"
    ":param default:\n"
    "    When specified, it should be callable.\n"
    "    Convert user type to builtin type that Packer supports.\n"
    "    It is called once for a value the Packer cannot serialize, and its\n"
    "    result is packed in place of that value. It may call this Packer\n"
    "    again when autoreset is on: the inner call returns its own bytes.\n"
    "    A container it changes in size makes the pack fail. If it lets\n"
    "    other threads run (sleeping, waiting for I/O), their calls on this\n"
    "    Packer raise RuntimeError until the pack is done.\n"
    "\n"
    ":param bool use_single_float:\n"
    "    Use single precision float type for float. (default: False)\n"
    "\n"
    ":param bool autoreset:\n"
    "    Reset buffer after each pack and return its content as `bytes`. (default: True).\n"
    "    If set this to false, use `bytes()` to get content and `.reset()` to clear buffer.\n"
    "\n"
    ":param bool use_bin_type:\n"
    "    Use bin type introduced in the format for bytes.\n"
    "    When false, byte strings are written with string headers. (default: True)\n"
    "\n"
    ":param bool strict_types:\n"
    "    If set to true, types will be checked to be exact. Derived classes\n"
    "    from serializable types will not be serialized and will be\n"
    "    treated as unsupported type and forwarded to default.\n"
    "    Additionally tuples will not be serialized as lists.\n"
    "\n"
    ":param bool datetime:\n"
    "    If set to true, datetime with tzinfo is packed into Timestamp type.\n"
    "    Note that the tzinfo is stripped in the timestamp.\n"
    "    You can get UTC datetime with `timestamp=3` option of the Unpacker.\n"
    "\n"
    ":param bool typed:\n"
    "    If set to true, values the Packer does not take otherwise are packed\n"
    "    as their plain equivalents before `default` is asked: a dataclass or\n"
    "    attrs instance as a map of its fields, an Enum member as its value,\n"
    "    UUID and Decimal as their str, date and time as their isoformat(),\n"
    "    an aware datetime as with `datetime`, set and frozenset as arrays.\n"
    "    (default: False)\n"
    "\n"
    ":param str unicode_errors:\n"
    "    The error handler for encoding unicode. (default: 'strict')\n"
    "    DO NOT USE THIS!! This option is kept for very specific usage.\n"
    "\n"
    ":param int buf_size:\n"
    "    The size of the internal buffer, allocated at construction.\n"
    "    Useful if serialisation size can be correctly estimated,\n"
    "    avoid unnecessary reallocations. Without it the buffer starts\n"
    "    small, or at the size of recent outputs, at the first write.\n";

}  // namespace

PyTypeObject PackerType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quelm._cquelm.Packer",
    .tp_basicsize = sizeof(Packer),
    .tp_dealloc = packer_dealloc,
    .tp_as_buffer = &packer_as_buffer,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = packer_doc,
    .tp_traverse = packer_traverse,
    .tp_clear = packer_clear,
    .tp_methods = packer_methods,
    .tp_init = packer_init,
    .tp_alloc = PyType_GenericAlloc,
    .tp_new = packer_new,
    .tp_free = PyObject_GC_Del,
};

int packer_type_ready(PyObject *module) noexcept {
    struct Interned {
        PyObject **slot;
        const char *text;
    };
    const Interned names[] = {
        {&name_data, "data"},         {&name_code, "code"},   {&name_seconds, "seconds"},
        {&name_nanoseconds, "nanoseconds"}, {&name_items, "items"}, {&name_buf_size, "buf_size"},
    };
    for (const Interned &n : names) {
        if (*n.slot == nullptr && (*n.slot = PyUnicode_InternFromString(n.text)) == nullptr)
            return -1;
    }
    if (zero == nullptr && (zero = PyLong_FromLong(0)) == nullptr)
        return -1;
    if (PyType_Ready(&PackerType) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "Packer", reinterpret_cast<PyObject *>(&PackerType));
}

}  // namespace quelm

// The Unpacker type: allocation, (re-)initialisation from the constructor
// arguments, feed, garbage-collector support, release, the refusal to
// pickle, and the type object with its method table.
#include "_unpacker/unpacker.h"

#include "_cquelm/convert.h"
#include "_cquelm/module.h"
#include "_cquelm/state.h"

#include <initializer_list>

namespace quelm {

namespace {

constexpr UnpackerOps unpacker_ops = {
    .append_buffer = append_buffer,
    .read_from_file = read_from_file,
    ._unpack = unpacker_unpack_driver,
};

// Largest signed 32-bit value: the buffer bound that max_buffer_size=0 asks for.
constexpr Py_ssize_t kUnboundedBuffer = 2147483647;
constexpr Py_ssize_t kDefaultReadSize = 1048576;
constexpr Py_ssize_t kDefaultMaxBufferSize = 104857600;

Unpacker *as_unpacker(PyObject *o) noexcept { return reinterpret_cast<Unpacker *>(o); }

// Holds in_progress for a scope, so that Python code run meanwhile (a
// finaliser, __bool__, a buffer exporter) cannot reach the object's guarded
// operations.
class BusyScope {
public:
    explicit BusyScope(Unpacker *self) noexcept : self_(self) { self_->in_progress = 1; }
    ~BusyScope() { self_->in_progress = 0; }
    BusyScope(const BusyScope &) = delete;
    BusyScope &operator=(const BusyScope &) = delete;

private:
    Unpacker *self_;
};

// Replaces an owned field by a new reference to `value`, releasing the old
// one last (its finaliser may run arbitrary code).
void replace_field(PyObject **field, PyObject *value) noexcept {
    PyObject *old = *field;
    *field = Py_NewRef(value);
    Py_DECREF(old);
}

// Frees the input buffer and forgets every position in it.
void drop_buffer(Unpacker *self) noexcept {
    PyMem_Free(self->buf);
    self->buf = nullptr;
    self->buf_size = self->buf_head = self->buf_tail = 0;
    self->stream_offset = 0;
}

// Python's floor division by two (-5 // 2 is -3).
Py_ssize_t floor_half(Py_ssize_t v) noexcept { return v / 2 - (v < 0 && v % 2 != 0); }

// The constructor's arguments, as converted before anything else happens.
struct InitArgs {
    PyObject *file_like = Py_None;
    PyObject *object_hook = Py_None;
    PyObject *object_pairs_hook = Py_None;
    PyObject *list_hook = Py_None;
    PyObject *ext_hook = nullptr;
    PyObject *unicode_errors = Py_None;
    Py_ssize_t read_size = 0;
    bool use_list = true;
    bool raw = false;
    int32_t timestamp = 0;
    bool strict_map_key = true;
    Py_ssize_t max_buffer_size = kDefaultMaxBufferSize;
    Py_ssize_t max_str_len = -1;
    Py_ssize_t max_bin_len = -1;
    Py_ssize_t max_array_len = -1;
    Py_ssize_t max_map_len = -1;
    Py_ssize_t max_ext_len = -1;
};

// Converts one optional argument; absent arguments keep their default.
int convert_opt_ssize(PyObject *o, Py_ssize_t *out) noexcept {
    return o == nullptr ? 0 : convert_ssize(o, out);
}
int convert_opt_flag(PyObject *o, bool *out) noexcept {
    return o == nullptr ? 0 : convert_flag(o, out);
}

int parse_init_args(PyObject *args, PyObject *kwds, InitArgs *a) noexcept {
    static const char *keywords[] = {
        "file_like",      "read_size",     "use_list",     "raw",
        "timestamp",      "strict_map_key", "object_hook", "object_pairs_hook",
        "list_hook",      "unicode_errors", "max_buffer_size", "ext_hook",
        "max_str_len",    "max_bin_len",   "max_array_len", "max_map_len",
        "max_ext_len",    nullptr};
    PyObject *read_size = nullptr, *use_list = nullptr, *raw = nullptr, *timestamp = nullptr,
             *strict_map_key = nullptr, *max_buffer_size = nullptr, *max_str_len = nullptr,
             *max_bin_len = nullptr, *max_array_len = nullptr, *max_map_len = nullptr,
             *max_ext_len = nullptr;
    if (!PyArg_ParseTupleAndKeywords(
            args, kwds, "|O$OOOOOOOOOOOOOOOO:Unpacker", const_cast<char **>(keywords),
            &a->file_like, &read_size, &use_list, &raw, &timestamp, &strict_map_key,
            &a->object_hook, &a->object_pairs_hook, &a->list_hook, &a->unicode_errors,
            &max_buffer_size, &a->ext_hook, &max_str_len, &max_bin_len, &max_array_len,
            &max_map_len, &max_ext_len))
        return -1;
    long long ts = 0;
    if (convert_opt_ssize(read_size, &a->read_size) < 0 ||
        convert_opt_flag(use_list, &a->use_list) < 0 || convert_opt_flag(raw, &a->raw) < 0 ||
        (timestamp != nullptr && convert_bounded(timestamp, INT32_MIN, INT32_MAX, "int", &ts) < 0) ||
        convert_opt_flag(strict_map_key, &a->strict_map_key) < 0 ||
        convert_opt_ssize(max_buffer_size, &a->max_buffer_size) < 0 ||
        convert_opt_ssize(max_str_len, &a->max_str_len) < 0 ||
        convert_opt_ssize(max_bin_len, &a->max_bin_len) < 0 ||
        convert_opt_ssize(max_array_len, &a->max_array_len) < 0 ||
        convert_opt_ssize(max_map_len, &a->max_map_len) < 0 ||
        convert_opt_ssize(max_ext_len, &a->max_ext_len) < 0)
        return -1;
    a->timestamp = static_cast<int32_t>(ts);
    if (a->ext_hook == nullptr) {
        // Read now, not when the type was readied: the module frame fixes
        // this default only after the type exists.
        PyObject *d = g_state.unpacker_default_ext_hook;
        a->ext_hook = d != nullptr ? d : Py_None;
    }
    return 0;
}

// Stores file_like and fetches its `read`. Any object with a `read` is a
// source, whatever its truth value (a pipe object may be false while it is
// empty); a false object without one stands for no source.
int attach_source(Unpacker *self, PyObject *file_like) noexcept {
    replace_field(&self->file_like, file_like);
    replace_field(&self->file_like_read, Py_None);
    if (file_like == Py_None)
        return 0;
    int truth = PyObject_IsTrue(file_like);
    if (truth < 0)
        return -1;
    PyObject *read = PyObject_GetAttrString(file_like, "read");
    if (read == nullptr) {
        if (truth != 0 || !PyErr_ExceptionMatches(PyExc_AttributeError))
            return -1;
        PyErr_Clear();
        replace_field(&self->file_like, Py_None);
        return 0;
    }
    PyObject *old = self->file_like_read;
    self->file_like_read = read;
    Py_DECREF(old);
    if (!PyCallable_Check(read)) {
        PyErr_SetString(PyExc_TypeError, "`file_like.read` must be a callable.");
        return -1;
    }
    return 0;
}

// Takes the error handler's name from `unicode_errors` into an owned copy.
int take_errors_name(Unpacker *self, PyObject *unicode_errors) noexcept {
    PyMem_Free(self->errors_name);
    self->errors_name = nullptr;
    replace_field(&self->unicode_errors, unicode_errors);
    const char *view = nullptr;
    if (errors_name_view(unicode_errors, &view) < 0)
        return -1;
    return errors_name_copy(view, &self->errors_name);
}

// The body of __init__ after argument conversion, run while the object is
// busy and not ready. Every step that fails leaves it not ready.
int initialise(Unpacker *self, const InitArgs &a) noexcept {
    clear_context(&self->ctx);
    self->discarding = self->too_deep = self->source_ended = false;
    self->value_start = 0;
    self->generation += 1;
    // The options may borrow what the steps below release.
    self->ctx.options = DecodeOptions{};
    drop_buffer(self);
    replace_field(&self->object_hook, a.object_hook);
    replace_field(&self->object_pairs_hook, a.object_pairs_hook);
    replace_field(&self->list_hook, a.list_hook);
    replace_field(&self->ext_hook, a.ext_hook);
    if (attach_source(self, a.file_like) < 0)
        return -1;

    Py_ssize_t mbs = a.max_buffer_size != 0 ? a.max_buffer_size : kUnboundedBuffer;
    auto limit = [mbs](Py_ssize_t given) { return given == -1 ? mbs : given; };
    int64_t max_map_len = a.max_map_len == -1 ? floor_half(mbs) : a.max_map_len;
    if (a.read_size > mbs) {
        PyErr_SetString(PyExc_ValueError, "read_size should be less or equal to max_buffer_size");
        return -1;
    }
    Py_ssize_t rs = a.read_size != 0 ? a.read_size : (mbs < kDefaultReadSize ? mbs : kDefaultReadSize);
    self->max_buffer_size = mbs;
    self->read_size = rs;
    char *buf = rs >= 0 ? static_cast<char *>(PyMem_Malloc(static_cast<size_t>(rs))) : nullptr;
    if (buf == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Unable to allocate internal buffer.");
        return -1;
    }
    // drop_buffer ran above, and nothing has been able to refill the
    // object since: re-entry is refused while it is busy.
    self->buf = buf;
    self->buf_size = rs;

    if (take_errors_name(self, a.unicode_errors) < 0)
        return -1;
    return init_ctx(&self->ctx, self->object_hook, self->object_pairs_hook, self->list_hook,
                    self->ext_hook, a.use_list, a.raw, a.timestamp, a.strict_map_key,
                    self->errors_name, limit(a.max_str_len), limit(a.max_bin_len),
                    limit(a.max_array_len), max_map_len, limit(a.max_ext_len));
}

PyObject *unpacker_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    PyObject *o = type->tp_alloc(type, 0);
    if (o == nullptr)
        return nullptr;
    Unpacker *self = as_unpacker(o);
    // tp_alloc zero-fills: no buffer, no options, an empty context.
    self->ops = &unpacker_ops;
    for (PyObject **field : {&self->file_like, &self->file_like_read, &self->object_hook,
                             &self->object_pairs_hook, &self->list_hook, &self->ext_hook,
                             &self->unicode_errors})
        *field = Py_NewRef(Py_None);
    return o;
}

// Unpacker(file_like=None, *, read_size=0, use_list=True, raw=False,
//          timestamp=0, strict_map_key=True, object_hook=None,
//          object_pairs_hook=None, list_hook=None, unicode_errors=None,
//          max_buffer_size=104857600, ext_hook=ExtType, max_str_len=-1,
//          max_bin_len=-1, max_array_len=-1, max_map_len=-1, max_ext_len=-1)
int unpacker_init(PyObject *o, PyObject *args, PyObject *kwds) noexcept {
    Unpacker *self = as_unpacker(o);
    InitArgs a;
    if (parse_init_args(args, kwds, &a) < 0)
        return -1;
    if (self->in_progress) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Unpacker.__init__() cannot be called while unpacking is in progress");
        return -1;
    }
    // The objects are borrowed from the argument tuple and dict; keep them
    // alive across the releases below, which may run arbitrary code.
    Ref keep[] = {Ref::borrow(a.file_like),   Ref::borrow(a.object_hook),
                  Ref::borrow(a.object_pairs_hook), Ref::borrow(a.list_hook),
                  Ref::borrow(a.ext_hook),    Ref::borrow(a.unicode_errors)};
    self->ready = false;
    BusyScope busy(self);
    if (initialise(self, a) < 0)
        return -1;
    self->ready = true;
    return 0;
}

// The references a half-built container holds. Lists and tuples under
// construction are hidden from the collector, so their filled slots (the
// first `filled`, never past the slots that exist) are visited here on
// their behalf; a dict is complete at every step and is visited as itself.
int visit_partial(PyObject *container, uint64_t filled, visitproc visit, void *arg) noexcept {
    if (PyDict_CheckExact(container) || PyObject_GC_IsTracked(container)) {
        Py_VISIT(container);
        return 0;
    }
    const bool list = PyList_CheckExact(container);
    PyObject **items = list ? reinterpret_cast<PyListObject *>(container)->ob_item
                            : reinterpret_cast<PyTupleObject *>(container)->ob_item;
    // Never past the slots that exist; an empty slot is skipped by Py_VISIT.
    const uint64_t size = static_cast<uint64_t>(Py_SIZE(container));
    for (uint64_t i = 0; i < filled && i < size; ++i)
        Py_VISIT(items[i]);
    return 0;
}

int unpacker_traverse(PyObject *o, visitproc visit, void *arg) noexcept {
    Unpacker *self = as_unpacker(o);
    Py_VISIT(self->file_like);
    Py_VISIT(self->file_like_read);
    Py_VISIT(self->object_hook);
    Py_VISIT(self->object_pairs_hook);
    Py_VISIT(self->list_hook);
    Py_VISIT(self->ext_hook);
    Py_VISIT(self->unicode_errors);
    // The partial value is visited only between calls: while one runs, its
    // frames are half updated. Left unvisited, what it holds merely looks
    // referenced from outside, which keeps it alive; a running call holds
    // this Unpacker anyway.
    if (self->in_progress)
        return 0;
    DecodeContext &ctx = self->ctx;
    for (uint32_t i = 0; i < ctx.depth && i < kMaxDepth; ++i) {
        const ContainerFrame &frame = ctx.stack[i];
        if (frame.container != nullptr) {
            if (int r = visit_partial(frame.container, frame.count, visit, arg))
                return r;
        }
        Py_VISIT(frame.pending_key);
    }
    Py_VISIT(ctx.result);
    return 0;
}

int unpacker_clear(PyObject *o) noexcept {
    Unpacker *self = as_unpacker(o);
    // The options borrow the hooks released here.
    self->ready = false;
    if (!self->in_progress)
        clear_context(&self->ctx);
    for (PyObject **field : {&self->file_like, &self->file_like_read, &self->object_hook,
                             &self->object_pairs_hook, &self->list_hook, &self->ext_hook,
                             &self->unicode_errors})
        replace_field(field, Py_None);
    return 0;
}

void unpacker_dealloc(PyObject *o) noexcept {
    Unpacker *self = as_unpacker(o);
    PyObject_GC_UnTrack(o);
    {
        PendingError keep;
        clear_context(&self->ctx);
        PyMem_Free(self->buf);
        self->buf = nullptr;
        PyMem_Free(self->errors_name);
        self->errors_name = nullptr;
        Py_CLEAR(self->file_like);
        Py_CLEAR(self->file_like_read);
        Py_CLEAR(self->object_hook);
        Py_CLEAR(self->object_pairs_hook);
        Py_CLEAR(self->list_hook);
        Py_CLEAR(self->ext_hook);
        Py_CLEAR(self->unicode_errors);
    }
    Py_TYPE(o)->tp_free(o);
}

// Unpacker.feed(self, next_bytes)
PyObject *unpacker_feed(PyObject *o, PyObject *const *args, Py_ssize_t nargs,
                        PyObject *kwnames) noexcept {
    Unpacker *self = as_unpacker(o);
    PyObject *next_bytes = single_argument("feed", "next_bytes", args, nargs, kwnames);
    if (next_bytes == nullptr)
        return nullptr;
    if (self->in_progress) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Unpacker.feed() cannot be called while unpacking is in progress");
        return nullptr;
    }
    if (!self->ready) {
        raise_not_ready();
        return nullptr;
    }
    if (self->file_like != Py_None) {
        PyErr_SetString(PyExc_AssertionError,
                        "unpacker.feed() is not be able to use with `file_like`.");
        return nullptr;
    }
    // Bytes fed by hand may yet complete a value that the source left cut off.
    self->source_ended = false;
    // Exporting and releasing a view may run Python code.
    BusyScope busy(self);
    Py_buffer view;
    const char *data = nullptr;
    Py_ssize_t length = 0;
    if (get_data_from_buffer(next_bytes, &view, &data, &length) < 0)
        return nullptr;
    int rc = self->ops->append_buffer(self, data, length);
    PyBuffer_Release(&view);
    if (rc < 0)
        return nullptr;
    Py_RETURN_NONE;
}

QUELM_COLD PyObject *refuse_pickling() noexcept {
    PyErr_SetString(PyExc_TypeError,
                    "self.ctx cannot be converted to a Python object for pickling");
    return nullptr;
}

PyObject *unpacker_reduce(PyObject *, PyObject *) noexcept { return refuse_pickling(); }
PyObject *unpacker_setstate(PyObject *, PyObject *) noexcept { return refuse_pickling(); }

PyMethodDef unpacker_methods[] = {
    {"feed", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpacker_feed)),
     METH_FASTCALL | METH_KEYWORDS,
     "Unpacker.feed(self, next_bytes)\n\nAppend `next_bytes` to internal buffer."},
    {"read_bytes", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(unpacker_read_bytes)),
     METH_FASTCALL | METH_KEYWORDS,
     "Unpacker.read_bytes(self, Py_ssize_t nbytes)\n\nRead a specified number of raw bytes "
     "from the stream"},
    {"unpack", unpacker_unpack, METH_NOARGS,
     "Unpacker.unpack(self)\n\nUnpack one object\n\nRaises `OutOfData` when there are no more "
     "bytes to unpack."},
    {"skip", unpacker_skip, METH_NOARGS,
     "Unpacker.skip(self)\n\nRead and ignore one object, returning None\n\nRaises `OutOfData` "
     "when there are no more bytes to unpack."},
    {"read_array_header", unpacker_read_array_header, METH_NOARGS,
     "Unpacker.read_array_header(self)\n\nassuming the next object is an array, return its "
     "size n, such that\nthe next n unpack() calls will iterate over its contents.\n\nRaises "
     "`OutOfData` when there are no more bytes to unpack."},
    {"read_map_header", unpacker_read_map_header, METH_NOARGS,
     "Unpacker.read_map_header(self)\n\nassuming the next object is a map, return its size n, "
     "such that the\nnext n * 2 unpack() calls will iterate over its key-value pairs.\n\nRaises "
     "`OutOfData` when there are no more bytes to unpack."},
    {"tell", unpacker_tell, METH_NOARGS,
     "Unpacker.tell(self)\n\nReturns the current position of the Unpacker in bytes, i.e., "
     "the\nnumber of bytes that were read from the input, also the starting\nposition of the "
     "next object."},
    {"_bytes_needed", unpacker_bytes_needed, METH_NOARGS,
     "Unpacker._bytes_needed(self)\n\nThe fewest further bytes the value in progress needs "
     "(0 when unknown)."},
    {"__reduce__", unpacker_reduce, METH_NOARGS, nullptr},
    {"__setstate__", unpacker_setstate, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject UnpackerType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quelm._cquelm.Unpacker",
    .tp_basicsize = sizeof(Unpacker),
    .tp_dealloc = unpacker_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "Unpacker(file_like=None, *, read_size=0, use_list=True, raw=False, "
              "timestamp=0, strict_map_key=True, object_hook=None, object_pairs_hook=None, "
              "list_hook=None, unicode_errors=None, max_buffer_size=104857600, "
              "ext_hook=ExtType, max_str_len=-1, max_bin_len=-1, max_array_len=-1, "
              "max_map_len=-1, max_ext_len=-1)\n\n"
              "Streaming unpacker: decodes a sequence of values from bytes given to\n"
              "feed() or read from *file_like*, resuming where it stopped when the\n"
              "input runs short.\n\n"
              "Iterating yields values until the available input is exhausted;\n"
              "unpack() raises ``OutOfData`` instead. A value cut off by the end of\n"
              "the input is kept and completed by the next call once more bytes\n"
              "arrive; when *file_like* ends inside a value, iterating raises\n"
              "``OutOfData`` too.\n\n"
              "A value that fails to decode is consumed whole, and the next call\n"
              "starts at the next value; after ``FormatError`` or ``StackError``\n"
              "every decoding call fails the same way until read_bytes() moves on.\n\n"
              "*max_buffer_size* bounds the unconsumed bytes held (0: 2**31-1);\n"
              "``BufferFull`` is raised beyond it. The *max_xxx_len* options left at\n"
              "-1 are derived from it.",
    .tp_traverse = unpacker_traverse,
    .tp_clear = unpacker_clear,
    .tp_iter = PyObject_SelfIter,
    .tp_iternext = unpacker_iternext,
    .tp_methods = unpacker_methods,
    .tp_init = unpacker_init,
    .tp_new = unpacker_new,
};

}  // namespace

int raise_not_ready() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "Unpacker is not initialized");
    return -1;
}

int raise_switching() noexcept {
    PyErr_SetString(PyExc_ValueError,
                    "Cannot switch unpacking methods while an object is incomplete");
    return -1;
}

PyObject *single_argument(const char *function, const char *name, PyObject *const *args,
                          Py_ssize_t nargs, PyObject *kwnames) noexcept {
    Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs + nkw != 1) {
        if (nargs + nkw == 0)
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos 1)",
                         function, name);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes exactly one argument (%zd given)",
                         function, nargs + nkw);
        return nullptr;
    }
    if (nkw == 1 && PyUnicode_CompareWithASCIIString(PyTuple_GET_ITEM(kwnames, 0), name) != 0) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function,
                     PyTuple_GET_ITEM(kwnames, 0));
        return nullptr;
    }
    return args[0];
}

int unpacker_type_ready(PyObject *module) noexcept {
    if (PyType_Ready(&UnpackerType) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "Unpacker", reinterpret_cast<PyObject *>(&UnpackerType));
}

}  // namespace quelm

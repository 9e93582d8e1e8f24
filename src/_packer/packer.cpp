// The Packer type: construction, pack(obj), and the value dispatch that maps
// Python values to encodings. Exact builtin types are recognised first, by
// their type object alone; everything else goes through the ordered tests of
// pack_other, out of line.
#include "_packer/packer.h"

#include "_cquelm/convert.h"
#include "_cquelm/module.h"
#include "_cquelm/state.h"

namespace quelm {

namespace {

// Attribute and keyword names, interned once when the type is readied.
PyObject *name_data;
PyObject *name_code;
PyObject *name_seconds;
PyObject *name_nanoseconds;
PyObject *name_items;
PyObject *name_buf_size;
// The int 0, for the sign tests of int subclasses and nanoseconds.
PyObject *zero;

constexpr uint64_t ns_limit = 1000000000ULL;

QUELM_INLINE bool too_long(Py_ssize_t n) noexcept {
    return static_cast<int64_t>(n) > g_state.item_length_limit;
}

QUELM_COLD int raise_value_error(const char *message) noexcept {
    PyErr_SetString(PyExc_ValueError, message);
    return -1;
}

QUELM_COLD int raise_too_large(PyTypeObject *type) noexcept {
    PyErr_Format(PyExc_ValueError, "%.200s object is too large", type->tp_name);
    return -1;
}

QUELM_COLD int raise_runtime_error(const char *message) noexcept {
    PyErr_SetString(PyExc_RuntimeError, message);
    return -1;
}

// An int that fits neither 64-bit range, or whose conversion failed: an
// OverflowError (or none, for a value known to be too small) defers the
// value to the default hook when allowed; other errors propagate.
QUELM_COLD int int_out_of_range(bool deferrable) noexcept {
    if (PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError))
            return -1;
        PyErr_Clear();
    }
    if (deferrable)
        return -2;
    PyErr_SetString(PyExc_OverflowError, "Integer value out of range");
    return -1;
}

QUELM_COLD int raise_unsupported(Packer *self, PyObject *o) noexcept {
    PyTypeObject *type = Py_TYPE(o);
    if (self->datetime && type == datetime_api()->DateTimeType) {
        PyErr_Format(PyExc_ValueError, "can not serialize '%.200s' object where tzinfo=None",
                     type->tp_name);
        return -1;
    }
    PyErr_Format(PyExc_TypeError, "can not serialize '%.200s' object", type->tp_name);
    return -1;
}

int pack_inner(Packer *self, PyObject *o, bool deferrable, int budget) noexcept;

// ---- scalars --------------------------------------------------------------

// An exact int beyond the direct read of pack_exact_int: the general
// conversion, then the unsigned range above int64.
QUELM_NOINLINE int pack_wide_int(Packer *self, PyObject *o, bool deferrable) noexcept {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (QUELM_LIKELY(overflow == 0))
        return write_int64(&self->buffer, v);
    if (overflow > 0) {
        unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (!(u == static_cast<unsigned long long>(-1) && PyErr_Occurred()))
            return write_uint64(&self->buffer, u);
    }
    return int_out_of_range(deferrable);
}

// Small exact ints are read directly, without a conversion call. One
// write site only: it is inlined into the recursive pack_value, whose frame
// must stay small for deep nesting.
QUELM_INLINE int pack_exact_int(Packer *self, PyObject *o, bool deferrable) noexcept {
    int64_t v;
#if PY_VERSION_HEX >= 0x030C0000
    auto *l = reinterpret_cast<PyLongObject *>(o);
    if (QUELM_UNLIKELY(!PyUnstable_Long_IsCompact(l)))
        return pack_wide_int(self, o, deferrable);
    v = PyUnstable_Long_CompactValue(l);
#else
    // Up to two digits always fit an int64.
    static_assert(2 * PyLong_SHIFT < 63);
    const Py_ssize_t size = Py_SIZE(o);
    if (QUELM_UNLIKELY(size < -2 || size > 2))
        return pack_wide_int(self, o, deferrable);
    const digit *d = reinterpret_cast<PyLongObject *>(o)->ob_digit;
    const Py_ssize_t n = size < 0 ? -size : size;
    uint64_t mag = n == 0 ? 0 : d[0];
    if (n == 2)
        mag |= static_cast<uint64_t>(d[1]) << PyLong_SHIFT;
    v = size < 0 ? -static_cast<int64_t>(mag) : static_cast<int64_t>(mag);
#endif
    return write_int64(&self->buffer, v);
}

// An int subclass: its own comparison decides the sign, the digits are read
// directly.
QUELM_NOINLINE int pack_int_subclass(Packer *self, PyObject *o, bool deferrable) noexcept {
    int positive = PyObject_RichCompareBool(o, zero, Py_GT);
    if (positive < 0)
        return int_out_of_range(deferrable);
    if (positive) {
        unsigned long long u = PyLong_AsUnsignedLongLong(o);
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred())
            return int_out_of_range(deferrable);
        return write_uint64(&self->buffer, u);
    }
    long long v = PyLong_AsLongLong(o);
    if (v == -1 && PyErr_Occurred())
        return int_out_of_range(deferrable);
    return write_int64(&self->buffer, v);
}

QUELM_INLINE int pack_double(Packer *self, double d) noexcept {
    if (self->use_single_float)
        return write_float32(&self->buffer, d);
    return write_float64(&self->buffer, d);
}

QUELM_INLINE int pack_bin(Packer *self, PyTypeObject *type, const char *data,
                          Py_ssize_t n) noexcept {
    if (QUELM_UNLIKELY(too_long(n)))
        return raise_too_large(type);
    return write_bin(&self->buffer, data, static_cast<size_t>(n));
}

QUELM_INLINE int pack_utf8(Packer *self, const char *s, Py_ssize_t n) noexcept {
    if (QUELM_UNLIKELY(too_long(n)))
        return raise_value_error("unicode string is too large");
    return write_str(&self->buffer, s, static_cast<size_t>(n));
}

// A str through the interpreter's cached UTF-8 form; a compact ASCII str
// is its own UTF-8 and is read in place.
QUELM_INLINE int pack_str_fast(Packer *self, PyObject *o) noexcept {
    if (QUELM_LIKELY(PyUnicode_IS_COMPACT_ASCII(o)))
        return pack_utf8(self, static_cast<const char *>(PyUnicode_DATA(o)),
                         PyUnicode_GET_LENGTH(o));
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(o, &n);
    if (s == nullptr)
        return -1;
    return pack_utf8(self, s, n);
}

// A str encoded with the codec and the configured error handler. The name
// is held for the duration, as the handler may run Python code that
// re-initialises this Packer.
QUELM_NOINLINE int pack_str_with_errors(Packer *self, PyObject *o) noexcept {
    Ref name = Ref::borrow(self->errors_name);
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(o, "utf-8", PyBytes_AS_STRING(name.get())));
    if (!encoded)
        return -1;
    return pack_utf8(self, PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
}

QUELM_INLINE int pack_str(Packer *self, PyObject *o) noexcept {
    if (QUELM_LIKELY(self->errors_name == nullptr))
        return pack_str_fast(self, o);
    return pack_str_with_errors(self, o);
}

// ---- containers -----------------------------------------------------------

QUELM_INLINE int pack_map_header_of(Packer *self, Py_ssize_t n) noexcept {
    if (QUELM_UNLIKELY(too_long(n)))
        return raise_value_error("dict is too large");
    return write_map_header(&self->buffer, static_cast<uint32_t>(n));
}

QUELM_INLINE int pack_array_header_of(Packer *self, Py_ssize_t n) noexcept {
    if (QUELM_UNLIKELY(too_long(n)))
        return raise_value_error("list is too large");
    return write_array_header(&self->buffer, static_cast<uint32_t>(n));
}

// Walks the entries of an exact dict (or frozendict) in order. Python code
// run by packing a key or value may mutate the dict: both are held by strong
// references while they are packed, and a changed size or a walk that would
// write more pairs than the header announced is refused.
template <Py_ssize_t (*current_size)(PyObject *)>
int pack_dict_entries(Packer *self, PyObject *d, Py_ssize_t size, int budget) noexcept {
    Py_ssize_t pos = 0, walked = 0;
    PyObject *key, *value;
    for (;;) {
        const Py_ssize_t now = current_size(d);
        if (now < 0)
            return -1;
        if (QUELM_UNLIKELY(now != size))
            return raise_runtime_error("dictionary changed size during iteration");
        if (!PyDict_Next(d, &pos, &key, &value))
            break;
        if (QUELM_UNLIKELY(walked == size))
            return raise_runtime_error("dictionary keys changed during iteration");
        Py_INCREF(key);
        Py_INCREF(value);
        int r = pack_value(self, key, budget);
        if (r == 0)
            r = pack_value(self, value, budget);
        Py_DECREF(key);
        Py_DECREF(value);
        if (r < 0)
            return -1;
        walked++;
    }
    if (QUELM_UNLIKELY(walked != size))
        return raise_runtime_error("dictionary changed size during iteration");
    return 0;
}

Py_ssize_t dict_size(PyObject *d) noexcept { return PyDict_GET_SIZE(d); }

int pack_dict_exact(Packer *self, PyObject *d, int budget) noexcept {
    const Py_ssize_t size = PyDict_GET_SIZE(d);
    if (pack_map_header_of(self, size) < 0)
        return -1;
    return pack_dict_entries<dict_size>(self, d, size, budget);
}

#ifdef QUELM_HAVE_FROZENDICT
int pack_frozendict_exact(Packer *self, PyObject *d, int budget) noexcept {
    const Py_ssize_t size = PyObject_Length(d);
    if (size < 0)
        return -1;
    if (pack_map_header_of(self, size) < 0)
        return -1;
    return pack_dict_entries<PyObject_Length>(self, d, size, budget);
}
#endif

// Any other mapping of the map rule: its own len() and items().
QUELM_NOINLINE int pack_mapping_items(Packer *self, PyObject *o, int budget) noexcept {
    const Py_ssize_t size = PyObject_Length(o);
    if (size < 0)
        return -1;
    if (pack_map_header_of(self, size) < 0)
        return -1;
    Ref items = Ref::steal(PyObject_CallMethodNoArgs(o, name_items));
    if (!items)
        return -1;
    return pack_pairs(self, items.get(), size, o, budget);
}

// An exact list, by index. Each item is held while it is packed; a list
// that changes size meanwhile is refused, since its header is written.
int pack_list_exact(Packer *self, PyObject *l, int budget) noexcept {
    const Py_ssize_t size = PyList_GET_SIZE(l);
    if (pack_array_header_of(self, size) < 0)
        return -1;
    for (Py_ssize_t i = 0; i < size; i++) {
        if (QUELM_UNLIKELY(PyList_GET_SIZE(l) != size))
            return raise_list_changed();
        PyObject *item = Py_NewRef(PyList_GET_ITEM(l, i));
        const int r = pack_value(self, item, budget);
        Py_DECREF(item);
        if (r < 0)
            return -1;
    }
    if (QUELM_UNLIKELY(PyList_GET_SIZE(l) != size))
        return raise_list_changed();
    return 0;
}

int pack_tuple_exact(Packer *self, PyObject *t, int budget) noexcept {
    const Py_ssize_t size = PyTuple_GET_SIZE(t);
    if (pack_array_header_of(self, size) < 0)
        return -1;
    for (Py_ssize_t i = 0; i < size; i++) {
        if (pack_value(self, PyTuple_GET_ITEM(t, i), budget) < 0)
            return -1;
    }
    return 0;
}

// A list or tuple subclass: header from the stored size, items from its
// iteration, which must agree with it.
QUELM_NOINLINE int pack_sequence_iterated(Packer *self, PyObject *o, int budget) noexcept {
    const Py_ssize_t size = Py_SIZE(o);
    if (pack_array_header_of(self, size) < 0)
        return -1;
    Ref iterator = Ref::steal(PyObject_GetIter(o));
    if (!iterator)
        return -1;
    Py_ssize_t count = 0;
    for (;;) {
        Ref item = Ref::steal(PyIter_Next(iterator.get()));
        if (!item)
            break;
        if (count == size)
            return raise_length_mismatch(o, size, count + 1, false);
        if (pack_value(self, item.get(), budget) < 0)
            return -1;
        count++;
    }
    if (PyErr_Occurred())
        return -1;
    if (count != size)
        return raise_length_mismatch(o, size, count, false);
    return 0;
}

// ---- extension values, timestamps and the rare types ----------------------

int pack_ext_value(Packer *self, PyObject *o) noexcept {
    Ref data = Ref::steal(PyObject_GetAttr(o, name_data));
    if (!data)
        return -1;
    const char *payload;
    Py_ssize_t n;
    if (ascii_bytes_view(data.get(), &payload, &n) < 0)
        return -1;
    if (too_long(n))
        return raise_value_error("EXT data is too large");
    Ref code_obj = Ref::steal(PyObject_GetAttr(o, name_code));
    if (!code_obj)
        return -1;
    const long code = PyLong_AsLong(code_obj.get());
    if (code == -1 && PyErr_Occurred())
        return -1;
    // Reading and converting `code` may have run Python code that resized a
    // bytearray payload: take its bytes again, with no Python code between
    // here and the copy.
    if (ascii_bytes_view(data.get(), &payload, &n) < 0)
        return -1;
    if (too_long(n))
        return raise_value_error("EXT data is too large");
    if (write_ext_header(&self->buffer, static_cast<int8_t>(static_cast<uint8_t>(code)),
                         static_cast<size_t>(n)) < 0)
        return -1;
    return write_bytes(&self->buffer, payload, static_cast<size_t>(n));
}

int pack_timestamp(Packer *self, PyObject *o) noexcept {
    Ref seconds_obj = Ref::steal(PyObject_GetAttr(o, name_seconds));
    if (!seconds_obj)
        return -1;
    const long long seconds = PyLong_AsLongLong(seconds_obj.get());
    if (seconds == -1 && PyErr_Occurred())
        return -1;
    Ref ns_obj = Ref::steal(PyObject_GetAttr(o, name_nanoseconds));
    if (!ns_obj)
        return -1;
    Ref ns_int = Ref::steal(PyNumber_Index(ns_obj.get()));
    if (!ns_int)
        return -1;
    const int negative = PyObject_RichCompareBool(ns_int.get(), zero, Py_LT);
    if (negative < 0)
        return -1;
    if (negative) {
        PyErr_Format(PyExc_OverflowError, "can't convert negative value to %.200s",
                     "unsigned long");
        return -1;
    }
    const unsigned long ns = PyLong_AsUnsignedLong(ns_int.get());
    if (ns == static_cast<unsigned long>(-1) && PyErr_Occurred())
        return -1;
    // Only reachable by bypassing Timestamp's constructor; no layout can
    // carry it, and cutting it to 32 bits would silently change the instant.
    if (ns >= ns_limit)
        return raise_value_error(
            "nanoseconds must be a non-negative integer not greater than 999999999.");
    return write_timestamp(&self->buffer, seconds, static_cast<uint32_t>(ns));
}

int pack_memoryview(Packer *self, PyObject *o) noexcept {
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) < 0)
        return -1;
    if (too_long(view.len)) {
        PyBuffer_Release(&view);
        return raise_value_error("memoryview is too large");
    }
    const int r = write_bin(&self->buffer, view.buf, static_cast<size_t>(view.len));
    PyBuffer_Release(&view);
    return r;
}

QUELM_INLINE bool is_aware(PyObject *o) noexcept {
    auto *dt = reinterpret_cast<PyDateTime_DateTime *>(o);
    return dt->hastzinfo && dt->tzinfo != Py_None;
}

int pack_datetime(Packer *self, PyObject *o) noexcept {
    Ref delta = Ref::steal(PyNumber_Subtract(o, g_state.epoch));
    if (!delta)
        return -1;
    if (!Py_IS_TYPE(delta.get(), datetime_api()->DeltaType))
        return raise_value_error("failed to calculate delta");
    PyObject *d = delta.get();
    const int64_t seconds = static_cast<int64_t>(PyDateTime_DELTA_GET_DAYS(d)) * 86400 +
                            PyDateTime_DELTA_GET_SECONDS(d);
    const uint32_t ns = static_cast<uint32_t>(PyDateTime_DELTA_GET_MICROSECONDS(d)) * 1000U;
    return write_timestamp(&self->buffer, seconds, ns);
}

// The ordered tests for everything the inline fast path did not take.
QUELM_NOINLINE int pack_other(Packer *self, PyObject *o, bool deferrable, int budget) noexcept {
    PyTypeObject *type = Py_TYPE(o);
    const bool strict = self->strict_types;
    if (strict ? type == &PyLong_Type : PyLong_Check(o)) {
        if (type == &PyLong_Type)
            return pack_exact_int(self, o, deferrable);
        return pack_int_subclass(self, o, deferrable);
    }
    if (strict ? type == &PyFloat_Type : PyFloat_Check(o)) {
        const double d = PyFloat_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred())
            return -1;
        return pack_double(self, d);
    }
    if (strict ? type == &PyBytes_Type : PyBytes_Check(o))
        return pack_bin(self, type, PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
    if (strict ? type == &PyByteArray_Type : PyByteArray_Check(o))
        return pack_bin(self, type, PyByteArray_AS_STRING(o), PyByteArray_GET_SIZE(o));
    if (strict ? type == &PyUnicode_Type : PyUnicode_Check(o))
        return pack_str(self, o);
    if (strict ? type == &PyDict_Type : PyDict_Check(o)) {
        if (type == &PyDict_Type)
            return pack_dict_exact(self, o, budget);
        return pack_mapping_items(self, o, budget);
    }
#ifdef QUELM_HAVE_FROZENDICT
    if (strict ? type == &PyFrozenDict_Type : PyObject_TypeCheck(o, &PyFrozenDict_Type)) {
        if (type == &PyFrozenDict_Type)
            return pack_frozendict_exact(self, o, budget);
        return pack_mapping_items(self, o, budget);
    }
#endif
    PyObject *ext_type = g_state.ext_type;
    int is_ext;
    if (strict) {
        is_ext = reinterpret_cast<PyObject *>(type) == ext_type;
    } else {
        is_ext = PyObject_IsInstance(o, ext_type);
        if (is_ext < 0)
            return -1;
    }
    if (is_ext)
        return pack_ext_value(self, o);
    if (reinterpret_cast<PyObject *>(type) == g_state.timestamp_type)
        return pack_timestamp(self, o);
    if (type == &PyList_Type)
        return pack_list_exact(self, o, budget);
    if (!strict) {
        if (type == &PyTuple_Type)
            return pack_tuple_exact(self, o, budget);
        if (PyList_Check(o) || PyTuple_Check(o))
            return pack_sequence_iterated(self, o, budget);
    }
    if (type == &PyMemoryView_Type)
        return pack_memoryview(self, o);
    if (self->datetime && type == datetime_api()->DateTimeType && is_aware(o))
        return pack_datetime(self, o);
    if (deferrable)
        return -2;
    return raise_unsupported(self, o);
}

// Exact lists and tuples may skip the ExtType test only while it is a plain
// subtype test: a metaclass could make isinstance() claim them.
QUELM_INLINE bool ext_type_is_plain() noexcept {
    return Py_IS_TYPE(g_state.ext_type, &PyType_Type);
}

// _pack_inner: 0 written, -1 failed, -2 deferred to the default hook
// (only when `deferrable`; nothing written, no exception set).
QUELM_INLINE int pack_inner(Packer *self, PyObject *o, bool deferrable, int budget) noexcept {
    if (o == Py_None)
        return write_nil(&self->buffer);
    if (o == Py_True)
        return write_bool(&self->buffer, true);
    if (o == Py_False)
        return write_bool(&self->buffer, false);
    PyTypeObject *type = Py_TYPE(o);
    if (type == &PyUnicode_Type)
        return pack_str(self, o);
    if (type == &PyLong_Type)
        return pack_exact_int(self, o, deferrable);
    if (type == &PyFloat_Type)
        return pack_double(self, PyFloat_AS_DOUBLE(o));
    if (type == &PyDict_Type)
        return pack_dict_exact(self, o, budget);
    if ((type == &PyList_Type || (type == &PyTuple_Type && !self->strict_types)) &&
        ext_type_is_plain()) {
        if (type == &PyList_Type)
            return pack_list_exact(self, o, budget);
        return pack_tuple_exact(self, o, budget);
    }
    if (type == &PyBytes_Type)
        return pack_bin(self, type, PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
    if (type == &PyByteArray_Type)
        return pack_bin(self, type, PyByteArray_AS_STRING(o), PyByteArray_GET_SIZE(o));
    return pack_other(self, o, deferrable, budget);
}

QUELM_COLD int raise_recursion() noexcept {
    return raise_value_error("recursion limit exceeded.");
}

// The default hook is called at most once per value; its result is packed
// without being offered to it again. The hook is held during the call, as
// it may re-initialise this Packer.
QUELM_NOINLINE int pack_with_default(Packer *self, PyObject *value, int budget) noexcept {
    Ref hook = Ref::borrow(self->default_hook);
    Ref replaced = Ref::steal(PyObject_CallOneArg(hook.get(), value));
    if (!replaced)
        return -1;
    return pack_inner(self, replaced.get(), false, budget);
}

}  // namespace

int raise_length_mismatch(PyObject *container, Py_ssize_t length, Py_ssize_t yielded,
                          bool pairs) noexcept {
    const char *noun = pairs ? (yielded == 1 ? "pair" : "pairs") : (yielded == 1 ? "item" : "items");
    PyErr_Format(PyExc_ValueError, "%.200s object has length %zd but yielded %s%zd %s",
                 Py_TYPE(container)->tp_name, length, yielded > length ? "at least " : "",
                 yielded, noun);
    return -1;
}

int raise_list_changed() noexcept {
    PyErr_SetString(PyExc_RuntimeError, "list changed size during iteration");
    return -1;
}

int check_exports(Packer *self) noexcept {
    if (QUELM_UNLIKELY(self->exports != 0)) {
        PyErr_SetString(PyExc_BufferError, export_guard_message);
        return -1;
    }
    return 0;
}

int pack_value(Packer *self, PyObject *value, int budget) noexcept {
    if (QUELM_UNLIKELY(budget < 0))
        return raise_recursion();
    const int inner = budget - 1;
    if (QUELM_LIKELY(self->default_hook == Py_None))
        return pack_inner(self, value, false, inner);
    const int r = pack_inner(self, value, true, inner);
    if (r != -2)
        return r;
    return pack_with_default(self, value, inner);
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
    PyObject *result = PyBytes_FromStringAndSize(b.buf, static_cast<Py_ssize_t>(b.length));
    if (result != nullptr)
        b.length = 0;
    return result;
}

int WriteCall::refuse_nested() noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    "Packer with autoreset=False cannot be called recursively while packing "
                    "is in progress");
    return -1;
}

namespace {

// ---- the type -------------------------------------------------------------

constexpr size_t default_buf_size = 262144;

// Allocation: the buffer, sized by the only positional argument or the
// keyword buf_size; every other keyword is left to initialisation.
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
    size_t size = default_buf_size;
    if (size_obj != nullptr && convert_size_t(size_obj, &size) < 0)
        return nullptr;
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object)
        return nullptr;
    auto *self = reinterpret_cast<Packer *>(object.get());
    self->default_hook = Py_NewRef(Py_None);
    self->unicode_errors = Py_NewRef(Py_None);
    self->buffer.buf = static_cast<char *>(PyMem_Malloc(size));
    if (self->buffer.buf == nullptr) {
        PyErr_SetString(PyExc_MemoryError, "Unable to allocate internal buffer.");
        return nullptr;
    }
    self->buffer.length = 0;
    self->buffer.buf_size = size;
    self->buffer.write_limit = size;
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
                                   "unicode_errors", "buf_size", nullptr};
    auto *self = reinterpret_cast<Packer *>(op);
    PyObject *default_hook = Py_None, *use_single_float = Py_False, *autoreset = Py_True,
             *use_bin_type = Py_True, *strict_types = Py_False, *datetime = Py_False,
             *unicode_errors = Py_None, *buf_size = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwds, "|$OOOOOOOO:Packer", const_cast<char **>(kwlist),
                                     &default_hook, &use_single_float, &autoreset,
                                     &use_bin_type, &strict_types, &datetime, &unicode_errors,
                                     &buf_size))
        return -1;
    bool flags[5];
    if (convert_flag(use_single_float, &flags[0]) < 0 || convert_flag(autoreset, &flags[1]) < 0 ||
        convert_flag(use_bin_type, &flags[2]) < 0 || convert_flag(strict_types, &flags[3]) < 0 ||
        convert_flag(datetime, &flags[4]) < 0)
        return -1;
    self->use_single_float = flags[0];
    self->autoreset = flags[1];
    self->buffer.use_bin_type = flags[2];
    self->strict_types = flags[3];
    self->datetime = flags[4];
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
        PyMem_Free(self->buffer.buf);
        self->buffer.buf = nullptr;
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
    "    A container it changes in size makes the pack fail.\n"
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
    ":param str unicode_errors:\n"
    "    The error handler for encoding unicode. (default: 'strict')\n"
    "    DO NOT USE THIS!! This option is kept for very specific usage.\n"
    "\n"
    ":param int buf_size:\n"
    "    The size of the internal buffer. (default: 256*1024)\n"
    "    Useful if serialisation size can be correctly estimated,\n"
    "    avoid unnecessary reallocations.\n";

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

// The value dispatch: maps a Python value to its encoding. Exact builtin
// types are recognised first, by their type object alone; everything else
// goes through the ordered tests of pack_other, out of line. Containers are
// walked in containers.cpp.
#include "_packer/leaves.h"

#include "_cquelm/convert.h"
#include "_cquelm/module.h"
#include "_packer/pack_typed.h"

namespace quelm {

QUELM_COLD int raise_value_error(const char *message) noexcept {
    PyErr_SetString(PyExc_ValueError, message);
    return -1;
}

QUELM_COLD int raise_runtime_error(const char *message) noexcept {
    PyErr_SetString(PyExc_RuntimeError, message);
    return -1;
}

namespace {

constexpr uint64_t ns_limit = 1000000000ULL;

QUELM_COLD int raise_too_large(PyTypeObject *type) noexcept {
    PyErr_Format(PyExc_ValueError, "%.200s object is too large", type->tp_name);
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
    if ((self->datetime || self->typed) && type == datetime_api()->DateTimeType) {
        PyErr_Format(PyExc_ValueError, "can not serialize '%.200s' object where tzinfo=None",
                     type->tp_name);
        return -1;
    }
    PyErr_Format(PyExc_TypeError, "can not serialize '%.200s' object", type->tp_name);
    return -1;
}

int pack_inner(Packer *self, PyObject *o, bool deferrable, int budget) noexcept;

}  // namespace

// ---- scalars --------------------------------------------------------------

int pack_wide_int(Packer *self, PyObject *o, bool deferrable) noexcept {
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

// The name is held for the duration, as the handler may run Python code
// that re-initialises this Packer.
int pack_str_with_errors(Packer *self, PyObject *o) noexcept {
    Ref name = Ref::borrow(self->errors_name);
    Ref encoded = Ref::steal(PyUnicode_AsEncodedString(o, "utf-8", PyBytes_AS_STRING(name.get())));
    if (!encoded)
        return -1;
    return pack_utf8(self, PyBytes_AS_STRING(encoded.get()), PyBytes_GET_SIZE(encoded.get()));
}

namespace {

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

QUELM_INLINE int pack_bin(Packer *self, PyTypeObject *type, const char *data,
                          Py_ssize_t n) noexcept {
    if (QUELM_UNLIKELY(too_long(n)))
        return raise_too_large(type);
    return write_bin(&self->buffer, data, static_cast<size_t>(n));
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
    const auto type = static_cast<int8_t>(static_cast<uint8_t>(code));
    if (type == -1 && check_timestamp_ext(payload, static_cast<size_t>(n)) < 0)
        return -1;
    if (write_ext_header(&self->buffer, type, static_cast<size_t>(n)) < 0)
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
    // A record, Enum member, UUID or datetime: where its class's plan proves
    // that no test below but the typed step could take it, that step first
    // (two of the subclass tests below walk the class's bases). Subclasses
    // of the built-in types that have a flag of their own (IntEnum members,
    // defaultdicts) are known without asking the plan.
    constexpr unsigned long builtin_subclass =
        Py_TPFLAGS_LONG_SUBCLASS | Py_TPFLAGS_LIST_SUBCLASS | Py_TPFLAGS_TUPLE_SUBCLASS |
        Py_TPFLAGS_BYTES_SUBCLASS | Py_TPFLAGS_UNICODE_SUBCLASS | Py_TPFLAGS_DICT_SUBCLASS;
    bool typed_asked = false;
    if (self->typed && !PyType_HasFeature(type, builtin_subclass) && ext_type_is_plain()) {
        const int r = pack_typed_early(self, o, budget, true, &typed_asked);
        if (r != 1)
            return r;
    }
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
    // Typed values first where their class's plan proves the ExtType test
    // false: its fallback looks the instance's __class__ up by name.
    if (self->typed && !typed_asked && ext_type_is_plain() && !PyList_Check(o) &&
        !PyTuple_Check(o) &&
        type != &PyMemoryView_Type &&
        reinterpret_cast<PyObject *>(type) != g_state.timestamp_type) {
        const int r = pack_typed_early(self, o, budget, false, &typed_asked);
        if (r != 1)
            return r;
    }
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
    if (self->typed && !typed_asked) {
        const int r = pack_typed(self, o, budget);
        if (r != 1)
            return r;
    }
    if ((self->datetime || self->typed) && type == datetime_api()->DateTimeType && is_aware(o))
        return pack_datetime(self, o);
    if (deferrable)
        return -2;
    return raise_unsupported(self, o);
}

// _pack_inner: 0 written, -1 failed, -2 deferred to the default hook
// (only when `deferrable`; nothing written, no exception set).
QUELM_INLINE int pack_inner(Packer *self, PyObject *o, bool deferrable, int budget) noexcept {
    if (const int r = try_pack_singleton(self, o); r != not_a_leaf)
        return r;
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

}  // namespace quelm

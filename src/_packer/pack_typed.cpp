// The writers of typed packing: one per kind of class, walking the class's
// plan without calling Python code where the bytes can be produced directly.
#include "_packer/pack_typed.h"

#include "_cquelm/state.h"
#include "_packer/dispatch.h"
#include "_packer/instance_attrs.h"
#include "_packer/leaves.h"
#include "_packer/pack_plan.h"

#include <cstring>

namespace quelm {

namespace {

// The value of one attribute (new reference), or null with an exception set.
// Checked on every read: code run while the previous fields were packed may
// have changed the class or the instance's class.
QUELM_INLINE PyObject *read_field(PyObject *o, const PackPlan *plan, PlanField &field) noexcept {
    if (field.from_instance && Py_TYPE(o) == plan->type && plan->tag != 0 &&
        valid_version_tag(Py_TYPE(o)) == plan->tag) {
        PyObject *value;
        const int r = read_instance_attr(o, field.name, &field.key_index, &value);
        if (QUELM_LIKELY(r > 0))
            return value;
        if (r < 0)
            return nullptr;
    }
    if (field.offset > 0) {
        PyObject *value = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) + field.offset);
        if (QUELM_LIKELY(value != nullptr))
            return Py_NewRef(value);
        // An unset slot: getattr raises the AttributeError.
    }
    return PyObject_GetAttr(o, field.name);
}

// A map of the plan's attributes, in order, keyed by their names. Each value
// is held while it is packed: packing it may run code that replaces it.
int pack_fields(Packer *self, PyObject *o, const PackPlan *plan, int budget) noexcept {
    if (QUELM_UNLIKELY(past_limit(self)) && enter_floor(self) < 0)
        return -1;
    if (QUELM_UNLIKELY(too_long(plan->count)))
        return raise_value_error("dict is too large");
    if (write_map_header(&self->buffer, static_cast<uint32_t>(plan->count)) < 0)
        return -1;
    for (Py_ssize_t i = 0; i < plan->count; i++) {
        PlanField &field = plan->fields[i];
        const int key = field.utf8 != nullptr
                            ? write_str(&self->buffer, field.utf8,
                                        static_cast<size_t>(field.utf8_length))
                            : pack_value(self, field.name, budget);
        if (key < 0)
            return -1;
        PyObject *value = read_field(o, plan, field);
        if (value == nullptr)
            return -1;
        const int r = pack_value(self, value, budget);
        Py_DECREF(value);
        if (r < 0)
            return -1;
    }
    return 0;
}

// 1 if `value` packs as an Enum member, 0 if not, -1 with an exception set.
// The types packed before typed packing is asked are never members.
int value_is_member(PyObject *value) noexcept {
    PyTypeObject *type = Py_TYPE(value);
    if (value == Py_None || type == &PyLong_Type || type == &PyUnicode_Type ||
        type == &PyFloat_Type || type == &PyBool_Type || type == &PyBytes_Type ||
        type == &PyList_Type || type == &PyTuple_Type || type == &PyDict_Type)
        return 0;
    PlanRef plan(pack_plan_for(type));
    if (!plan)
        return -1;
    return plan->kind == PackKind::value ? 1 : 0;
}

// Whether `value` is the field's default, so that omit_defaults leaves it
// out: the default object itself, or one of its exact type that compares
// equal (so 1 does not stand in for 1.0, nor 0 for False; a float must
// match bit for bit). 1, 0, or -1 with an exception set.
int is_default(PyObject *value, const PlanField &field) noexcept {
    PyObject *d = field.default_value;
    if (d == nullptr)
        return 0;
    if (value == d)
        return 1;
    PyTypeObject *type = Py_TYPE(value);
    if (type != Py_TYPE(d) || type == &PyBool_Type || type == Py_TYPE(Py_None))
        return 0;  // singletons are equal only to themselves
    if (type == &PyFloat_Type) {
        // Bit for bit: -0.0 is not left out for a default of 0.0, whose
        // sign the decoder would restore wrongly.
        const double a = PyFloat_AS_DOUBLE(value), b = PyFloat_AS_DOUBLE(d);
        return std::memcmp(&a, &b, sizeof a) == 0;
    }
    if (type == &PyUnicode_Type && PyUnicode_GET_LENGTH(value) != PyUnicode_GET_LENGTH(d))
        return 0;
    int64_t a, b;
    if (type == &PyLong_Type && read_compact_int(value, &a) && read_compact_int(d, &b))
        return a == b;
    return PyObject_RichCompareBool(value, d, Py_EQ);
}

// Puts the header of a map of `n` pairs in place of the one of `old_size`
// bytes written at `at` for more pairs (n is smaller), moving what follows
// it back if the new header is shorter. 0, or -1 with BufferError while the
// bytes are exported (a view taken by code run while the map was written).
QUELM_COLD int rewrite_map_header(OutputBuffer *b, size_t at, size_t old_size,
                                  uint32_t n) noexcept {
    if (b->frozen) {
        PyErr_SetString(PyExc_BufferError, export_guard_message);
        return -1;
    }
    unsigned char header[5];
    size_t size;
    if (n <= wire::fixmap_max) {
        header[0] = static_cast<unsigned char>(wire::fixmap | n);
        size = 1;
    } else if (n <= 0xffff) {
        header[0] = wire::map16;
        store_be16(header + 1, static_cast<uint16_t>(n));
        size = 3;
    } else {
        header[0] = wire::map32;
        store_be32(header + 1, n);
        size = 5;
    }
    char *start = b->buf + at;
    if (size != old_size) {
        std::memmove(start + size, start + old_size, b->length - at - old_size);
        b->length -= old_size - size;
    }
    std::memcpy(start, header, size);
    return 0;
}

// A record that declares wire names or omitted defaults: the fields under
// their wire names, leaving out those at their default. The header is
// written for every field, as the plain writer does, and rewritten at the
// end when some were left out, so each value is read once and held only
// while it is packed. Nested writes from code run meanwhile end where they
// began, so the header stays where it was written.
QUELM_NOINLINE int pack_declared_fields(Packer *self, PyObject *o, const PackPlan *plan,
                                        int budget) noexcept {
    if (QUELM_UNLIKELY(too_long(plan->count)))
        return raise_value_error("dict is too large");
    OutputBuffer *b = &self->buffer;
    const size_t at = b->length;
    if (write_map_header(b, static_cast<uint32_t>(plan->count)) < 0)
        return -1;
    const size_t header = b->length - at;
    Py_ssize_t written = 0;
    for (Py_ssize_t i = 0; i < plan->count; i++) {
        PlanField &field = plan->fields[i];
        PyObject *value = read_field(o, plan, field);
        if (value == nullptr)
            return -1;
        const int omit = is_default(value, field);
        int r = omit;
        if (omit == 0) {
            r = field.wire_utf8 != nullptr
                    ? write_str(b, field.wire_utf8, static_cast<size_t>(field.wire_length))
                    : pack_value(self, field.wire, budget);
            if (r == 0)
                r = pack_value(self, value, budget);
            written++;
        }
        Py_DECREF(value);
        if (r < 0)
            return -1;
    }
    if (written == plan->count)
        return 0;
    return rewrite_map_header(b, at, header, static_cast<uint32_t>(written));
}

// An Enum member: its value, by the usual rules. A member that is an int or
// a str (IntEnum, StrEnum and other such mixins) only gets here under
// strict_types, which refuses the subclass itself: it is packed as the int
// or str it is, as without strict_types, whatever its _value_ says.
int pack_member_value(Packer *self, PyObject *o, const PackPlan *plan, int budget) noexcept {
    // A value may be another member, and so on: a level like any record.
    if (QUELM_UNLIKELY(past_limit(self)) && enter_floor(self) < 0)
        return -1;
    PyObject *value;
    if (PyLong_Check(o))
        // int's own conversion (a private copy function underneath, reached
        // through the public slot so no interpreter version lacks it); the
        // member's __int__, which may be overridden, is not consulted.
        value = PyLong_Type.tp_as_number->nb_int(o);
    else if (PyUnicode_Check(o))
        value = PyUnicode_FromObject(o);
    else
        value = read_field(o, plan, plan->fields[0]);
    if (value == nullptr)
        return -1;
    Ref held = Ref::steal(value);
    // The value takes the member's own level of nesting, as it would packed
    // in the member's place; a value that is itself a member (its _value_
    // may have been set to lead back here) takes the next one, so that a
    // cycle of members still ends at the nesting limit.
    const int level = value_is_member(value);
    if (level < 0)
        return -1;
    return pack_value(self, value, level == 1 ? budget : budget + 1);
}

QUELM_INLINE int write_text(Packer *self, const char *s, size_t n) noexcept {
    return write_str(&self->buffer, s, n);
}

// A str produced by Python code (str(), isoformat()), taken as it is.
int pack_text_result(Packer *self, PyObject *text, const char *producer) noexcept {
    if (text == nullptr)
        return -1;
    Ref held = Ref::steal(text);
    if (!PyUnicode_Check(text)) {
        PyErr_Format(PyExc_TypeError, "%.50s returned %.200s, not str", producer,
                     Py_TYPE(text)->tp_name);
        return -1;
    }
    Py_ssize_t n;
    const char *s = PyUnicode_AsUTF8AndSize(text, &n);
    if (s == nullptr)
        return -1;
    if (QUELM_UNLIKELY(too_long(n)))
        return raise_value_error("unicode string is too large");
    return write_text(self, s, static_cast<size_t>(n));
}

int pack_str_of(Packer *self, PyObject *o) noexcept {
    return pack_text_result(self, PyObject_Str(o), "__str__");
}

int pack_isoformat(Packer *self, PyObject *o) noexcept {
    static PyObject *name = nullptr;
    if (name == nullptr) {
        name = PyUnicode_InternFromString("isoformat");
        if (name == nullptr)
            return -1;
    }
    return pack_text_result(self, PyObject_CallMethodNoArgs(o, name), "isoformat()");
}

// The 16 bytes of a UUID's int, most significant first. -1 (with an
// exception set) when it is not an int of 128 bits.
int uuid_bytes(PyObject *value, unsigned char out[16]) noexcept {
    if (!PyLong_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "UUID int is not an int");
        return -1;
    }
#if PY_VERSION_HEX >= 0x030D0000
    const Py_ssize_t needed = PyLong_AsNativeBytes(
        value, out, 16,
        Py_ASNATIVEBYTES_BIG_ENDIAN | Py_ASNATIVEBYTES_UNSIGNED_BUFFER |
            Py_ASNATIVEBYTES_REJECT_NEGATIVE);
    if (needed < 0)
        return -1;
    if (needed > 16) {
        PyErr_SetString(PyExc_OverflowError, "UUID int does not fit 128 bits");
        return -1;
    }
    return 0;
#elif PY_VERSION_HEX >= 0x030C0000
    return _PyLong_AsByteArray(reinterpret_cast<PyLongObject *>(value), out, 16,
                               /*little_endian=*/0, /*is_signed=*/0);
#else
    // Before 3.12 the digits are read directly, as the dispatch reads small
    // ints: the generic conversion costs several times the formatting.
    const Py_ssize_t size = Py_SIZE(value);
    if (size < 0 || size > (128 + PyLong_SHIFT - 1) / PyLong_SHIFT) {
        PyErr_SetString(PyExc_OverflowError, "UUID int does not fit 128 bits");
        return -1;
    }
    const digit *d = reinterpret_cast<PyLongObject *>(value)->ob_digit;
    unsigned __int128 acc = 0;
    for (Py_ssize_t i = size - 1; i >= 0; i--) {
        if ((acc >> (128 - PyLong_SHIFT)) != 0) {
            PyErr_SetString(PyExc_OverflowError, "UUID int does not fit 128 bits");
            return -1;
        }
        acc = (acc << PyLong_SHIFT) | d[i];
    }
    for (int i = 15; i >= 0; i--) {
        out[i] = static_cast<unsigned char>(acc);
        acc >>= 8;
    }
    return 0;
#endif
}

// A UUID, subclasses included, as str(uuid.UUID(int=u.int)): 36 lower-case
// hex digits and hyphens, formatted from the int it holds. An int that is
// not one of 128 bits (only reachable by bypassing the constructor) is left
// to the object's own str().
int pack_uuid(Packer *self, PyObject *o, const PackPlan *plan) noexcept {
    PyObject *value = read_field(o, plan, plan->fields[0]);
    if (value == nullptr)
        return -1;
    unsigned char bytes[16];
    const int r = uuid_bytes(value, bytes);
    Py_DECREF(value);
    if (r < 0) {
        // The conversion's own refusals: not an int, negative, too large.
        if (!PyErr_ExceptionMatches(PyExc_OverflowError) &&
            !PyErr_ExceptionMatches(PyExc_ValueError) &&
            !PyErr_ExceptionMatches(PyExc_TypeError))
            return -1;
        PyErr_Clear();
        return pack_str_of(self, o);
    }
    static constexpr char hex[] = "0123456789abcdef";
    char text[36];
    size_t at = 0;
    for (size_t i = 0; i < 16; i++) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text[at++] = '-';
        text[at++] = hex[bytes[i] >> 4];
        text[at++] = hex[bytes[i] & 0xF];
    }
    return write_text(self, text, sizeof text);
}

// `width` decimal digits of `v`, zero-padded, at `p`; returns the end.
QUELM_INLINE char *put_digits(char *p, unsigned int v, int width) noexcept {
    for (int i = width - 1; i >= 0; i--) {
        p[i] = static_cast<char>('0' + v % 10);
        v /= 10;
    }
    return p + width;
}

// datetime.date itself: YYYY-MM-DD, as isoformat() writes it.
int pack_date(Packer *self, PyObject *o) noexcept {
    char text[10];
    char *p = put_digits(text, static_cast<unsigned int>(PyDateTime_GET_YEAR(o)), 4);
    *p++ = '-';
    p = put_digits(p, static_cast<unsigned int>(PyDateTime_GET_MONTH(o)), 2);
    *p++ = '-';
    put_digits(p, static_cast<unsigned int>(PyDateTime_GET_DAY(o)), 2);
    return write_text(self, text, sizeof text);
}

// datetime.time itself: HH:MM:SS[.ffffff] when naive; an aware time adds
// the offset its tzinfo computes, so it is left to its isoformat().
int pack_time(Packer *self, PyObject *o) noexcept {
    auto *t = reinterpret_cast<PyDateTime_Time *>(o);
    if (t->hastzinfo && t->tzinfo != Py_None)
        return pack_isoformat(self, o);
    char text[15];
    char *p = put_digits(text, static_cast<unsigned int>(PyDateTime_TIME_GET_HOUR(o)), 2);
    *p++ = ':';
    p = put_digits(p, static_cast<unsigned int>(PyDateTime_TIME_GET_MINUTE(o)), 2);
    *p++ = ':';
    p = put_digits(p, static_cast<unsigned int>(PyDateTime_TIME_GET_SECOND(o)), 2);
    const unsigned int us = static_cast<unsigned int>(PyDateTime_TIME_GET_MICROSECOND(o));
    if (us != 0) {
        *p++ = '.';
        p = put_digits(p, us, 6);
    }
    return write_text(self, text, static_cast<size_t>(p - text));
}

// Days from 1970-01-01 to the given day of the proleptic Gregorian calendar.
constexpr int64_t days_from_epoch(int64_t y, unsigned int m, unsigned int d) noexcept {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned int>(y - era * 400);
    const unsigned int doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}
static_assert(days_from_epoch(1970, 1, 1) == 0);
static_assert(days_from_epoch(2000, 3, 1) == 11017);
static_assert(days_from_epoch(1, 1, 1) == -719162);

// datetime.datetime itself whose tzinfo is datetime.timezone.utc: the
// timestamp the datetime option writes (its distance from the epoch, which
// has that same tzinfo), computed from the fields. Any other datetime is
// left to the dispatch (1).
int pack_utc_datetime(Packer *self, PyObject *o) noexcept {
    auto *dt = reinterpret_cast<PyDateTime_DateTime *>(o);
    if (!dt->hastzinfo || dt->tzinfo != g_state.utc)
        return 1;
    const int64_t days = days_from_epoch(PyDateTime_GET_YEAR(o),
                                         static_cast<unsigned int>(PyDateTime_GET_MONTH(o)),
                                         static_cast<unsigned int>(PyDateTime_GET_DAY(o)));
    const int64_t seconds = days * 86400 + PyDateTime_DATE_GET_HOUR(o) * 3600 +
                            PyDateTime_DATE_GET_MINUTE(o) * 60 + PyDateTime_DATE_GET_SECOND(o);
    const auto ns = static_cast<uint32_t>(PyDateTime_DATE_GET_MICROSECOND(o)) * 1000U;
    return write_timestamp(&self->buffer, seconds, ns);
}

// pack_typed with the plan of `o`'s class.
int pack_by_plan(Packer *self, PyObject *o, const PlanRef &plan, int budget) noexcept {
    switch (plan->kind) {
    case PackKind::fields:
        return pack_fields(self, o, plan.get(), budget);
    case PackKind::declared_fields:
        return pack_declared_fields(self, o, plan.get(), budget);
    case PackKind::value:
        return pack_member_value(self, o, plan.get(), budget);
    case PackKind::uuid:
        return pack_uuid(self, o, plan.get());
    case PackKind::decimal:
        return pack_str_of(self, o);
    case PackKind::datetime:
        return pack_utc_datetime(self, o);
    case PackKind::date:
        return pack_date(self, o);
    case PackKind::time:
        return pack_time(self, o);
    case PackKind::isoformat:
        return pack_isoformat(self, o);
    case PackKind::set:
        return pack_iterated(self, o, PySet_GET_SIZE(o), budget);
    case PackKind::none:
        break;
    }
    return 1;
}

}  // namespace

int pack_typed(Packer *self, PyObject *o, int budget) noexcept {
    PlanRef plan(pack_plan_for(Py_TYPE(o)));
    if (!plan)
        return -1;
    return pack_by_plan(self, o, plan, budget);
}

int pack_typed_early(Packer *self, PyObject *o, int budget, bool before_builtins,
                     bool *asked) noexcept {
    PlanRef plan(pack_plan_for(Py_TYPE(o)));
    if (!plan)
        return -1;
    if (!plan->never_ext_type || (before_builtins && !plan->no_builtin_base))
        return 1;
    *asked = true;
    return pack_by_plan(self, o, plan, budget);
}

}  // namespace quelm

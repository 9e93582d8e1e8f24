// Construction operations of the decoder (see construct.h): containers, map
// pairs, hooks, extension values and the four timestamp representations.
#include "_unpacker/construct.h"

#include "_cquelm/state.h"
#include "_unpacker/big_endian.h"

#include <cstring>

namespace quelm {

PyObject *raise_limit(const char *what, uint64_t n, int64_t limit) noexcept {
    PyErr_Format(PyExc_ValueError, "%llu exceeds %s(%lld)", static_cast<unsigned long long>(n),
                 what, static_cast<long long>(limit));
    return nullptr;
}

int raise_map_key_type(PyObject *key) noexcept {
    PyErr_Format(PyExc_ValueError, "%.100s is not allowed for map key when strict_map_key=True",
                 Py_TYPE(key)->tp_name);
    return -1;
}

namespace {

// A list of `presize` empty slots, hidden from the garbage collector until
// its slots are filled (finish_container).
PyObject *new_open_list(uint64_t presize) noexcept {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(presize));
    if (list != nullptr)
        PyObject_GC_UnTrack(list);
    return list;
}

// Calls `hook` with the completed container (stolen) and yields its result.
QUELM_NOINLINE PyObject *call_container_hook(PyObject *hook, PyObject *container) noexcept {
    PyObject *result = PyObject_CallOneArg(hook, container);
    Py_DECREF(container);
    return result;
}

// Mode 3: an aware datetime in UTC. The (seconds, nanoseconds) pair is first
// normalised to a day count and a non-negative second of the day (floor
// division), so every instant whose day count does not fit a C int is
// refused here, before the datetime interface sees a pair it cannot
// normalise.
QUELM_NOINLINE PyObject *timestamp_to_datetime(const DecodeOptions &o, int64_t seconds,
                                               uint32_t nanoseconds) noexcept {
    int64_t days = seconds / 86400;
    int64_t second_of_day = seconds % 86400;
    if (second_of_day < 0) {
        second_of_day += 86400;
        days -= 1;
    }
    if (days < INT32_MIN || days > INT32_MAX) {
        PyErr_Format(PyExc_OverflowError, "days=%lld; too large to convert to C int",
                     static_cast<long long>(days));
        return nullptr;
    }
    PyDateTime_CAPI *api = datetime_api();
    Ref epoch = Ref::steal(api->DateTime_FromDateAndTime(1970, 1, 1, 0, 0, 0, 0, o.utc,
                                                         api->DateTimeType));
    if (!epoch)
        return nullptr;
    Ref delta = Ref::steal(api->Delta_FromDelta(static_cast<int>(days),
                                                static_cast<int>(second_of_day),
                                                static_cast<int>(nanoseconds / 1000), 1,
                                                api->DeltaType));
    if (!delta)
        return nullptr;
    return PyNumber_Add(epoch.get(), delta.get());
}

QUELM_NOINLINE PyObject *construct_timestamp(const DecodeOptions &o, const unsigned char *data,
                                             uint64_t n) noexcept {
    int64_t seconds;
    uint32_t nanoseconds;
    if (n == 12) {
        nanoseconds = load_be32(data);
        seconds = static_cast<int64_t>(load_be64(data + 4));
    } else if (n == 8) {
        const uint64_t w = load_be64(data);
        nanoseconds = static_cast<uint32_t>(w >> 34);
        seconds = static_cast<int64_t>(w & ((uint64_t{1} << 34) - 1));
    } else if (n == 4) {
        nanoseconds = 0;
        seconds = load_be32(data);
    } else {
        PyErr_Format(PyExc_ValueError, "invalid timestamp data (length %llu)",
                     static_cast<unsigned long long>(n));
        return nullptr;
    }
    if (nanoseconds >= 1000000000u) {
        PyErr_SetString(PyExc_ValueError,
                        "nanoseconds must be a non-negative integer not greater than 999999999.");
        return nullptr;
    }
    switch (o.timestamp) {
    case 0: {
        Ref s = Ref::steal(PyLong_FromLongLong(seconds));
        if (!s)
            return nullptr;
        Ref ns = Ref::steal(PyLong_FromUnsignedLong(nanoseconds));
        if (!ns)
            return nullptr;
        PyObject *args[] = {s.get(), ns.get()};
        return PyObject_Vectorcall(o.timestamp_type, args, 2, nullptr);
    }
    case 1: {
        // The fraction first, the whole seconds added last.
        Ref ns = Ref::steal(PyFloat_FromDouble(static_cast<double>(nanoseconds)));
        if (!ns)
            return nullptr;
        Ref fraction = Ref::steal(PyNumber_TrueDivide(ns.get(), o.ns_per_second));
        if (!fraction)
            return nullptr;
        Ref s = Ref::steal(PyLong_FromLongLong(seconds));
        if (!s)
            return nullptr;
        return PyNumber_Add(fraction.get(), s.get());
    }
    case 2: {
        Ref s = Ref::steal(PyLong_FromLongLong(seconds));
        if (!s)
            return nullptr;
        Ref scaled = Ref::steal(PyNumber_Multiply(s.get(), o.ns_per_second));
        if (!scaled)
            return nullptr;
        Ref ns = Ref::steal(PyLong_FromUnsignedLong(nanoseconds));
        if (!ns)
            return nullptr;
        return PyNumber_Add(scaled.get(), ns.get());
    }
    case 3:
        return timestamp_to_datetime(o, seconds, nanoseconds);
    default:
        // init_ctx admits 0..3 only; a corrupt option is not a decodable value.
        PyErr_Format(PyExc_RuntimeError, "Invalid timestamp mode: %d", o.timestamp);
        return nullptr;
    }
}

}  // namespace

namespace {

// The character starting at p[i] (i < n): its code point in `*ch` and the
// length of its sequence, or 0 when that is not a well-formed sequence of
// one to three bytes (overlong forms and encoded surrogates are not).
QUELM_INLINE unsigned next_bmp_char(const unsigned char *p, uint64_t i, uint64_t n,
                                    uint32_t *ch) noexcept {
    const unsigned c = p[i];
    if (c < 0x80) {
        *ch = c;
        return 1;
    }
    if (c >= 0xc2 && c <= 0xdf) {
        if (n - i < 2 || (p[i + 1] & 0xc0) != 0x80)
            return 0;
        *ch = ((c & 0x1fu) << 6) | (p[i + 1] & 0x3fu);
        return 2;
    }
    if (c >= 0xe0 && c <= 0xef) {
        if (n - i < 3 || (p[i + 1] & 0xc0) != 0x80 || (p[i + 2] & 0xc0) != 0x80)
            return 0;
        const uint32_t v = ((c & 0x0fu) << 12) | ((p[i + 1] & 0x3fu) << 6) | (p[i + 2] & 0x3fu);
        if (v < 0x800 || (v >= 0xd800 && v <= 0xdfff))
            return 0;
        *ch = v;
        return 3;
    }
    return 0;
}

}  // namespace

PyObject *decode_short_bmp_text(const char *text, uint64_t n) noexcept {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text);
    // First pass: check the sequences, count the characters, find the
    // largest.
    uint64_t chars = 0;
    uint32_t max_char = 0;
    for (uint64_t i = 0; i < n; ++chars) {
        uint32_t ch;
        const unsigned width = next_bmp_char(p, i, n, &ch);
        if (width == 0)
            return nullptr;
        if (ch > max_char)
            max_char = ch;
        i += width;
    }
    PyObject *result = PyUnicode_New(static_cast<Py_ssize_t>(chars), max_char);
    if (result == nullptr) {
        PyErr_Clear();
        return nullptr;
    }
    // Second pass: write the characters into a str of the right width.
    const int kind = PyUnicode_KIND(result);
    void *data = PyUnicode_DATA(result);
    Py_ssize_t at = 0;
    for (uint64_t i = 0; i < n; ++at) {
        uint32_t ch = 0;
        i += next_bmp_char(p, i, n, &ch);
        PyUnicode_WRITE(kind, data, at, ch);
    }
    return result;
}

PyObject *g_key_cache[kKeyCacheSlots];
PyObject *g_text_cache[kTextCacheSlots];
PositionKey g_position_keys[kPositionKeys];
int32_t g_text_cache_credit = kTextCacheRetry;

PyObject *cache_ascii_text(const char *p, uint64_t n, PyObject **slot) noexcept {
    PyObject *text = new_ascii_text(p, n);
    if (text == nullptr)
        return nullptr;
    PyObject *old = *slot;
    *slot = Py_NewRef(text);
    Py_XDECREF(old);
    return text;
}

// Only keys of ASCII bytes enter the table, which serves every option set:
// what an error handler makes of invalid bytes is not what another call's
// handler, or a strict one, makes of them.
PyObject *cache_key_str(const DecodeOptions &o, const char *p, uint64_t n,
                        PyObject **slot) noexcept {
    PyObject *key = PyUnicode_DecodeUTF8(p, static_cast<Py_ssize_t>(n), o.unicode_errors);
    if (key == nullptr || !PyUnicode_CheckExact(key) || !PyUnicode_IS_COMPACT_ASCII(key) ||
        !is_ascii(p, n))
        return key;
    PyUnicode_InternInPlace(&key);
    PyObject *old = *slot;
    *slot = Py_NewRef(key);
    Py_XDECREF(old);
    return key;
}

PyObject *construct_ext(const DecodeOptions &o, const char *p, uint64_t t) noexcept {
    if (QUELM_UNLIKELY(o.ext_hook == nullptr)) {
        PyErr_SetString(PyExc_AssertionError, "u->ext_hook cannot be NULL");
        return nullptr;
    }
    const uint64_t n = t - 1;
    if (QUELM_UNLIKELY(o.max_ext_len < static_cast<int64_t>(n)))
        return raise_limit("max_ext_len", t, o.max_ext_len);
    const int code = static_cast<signed char>(p[0]);
    if (code == -1)
        return construct_timestamp(o, reinterpret_cast<const unsigned char *>(p) + 1, n);
    Ref pycode = Ref::steal(PyLong_FromLong(code));
    if (!pycode)
        return nullptr;
    Ref data = Ref::steal(PyBytes_FromStringAndSize(p + 1, static_cast<Py_ssize_t>(n)));
    if (!data)
        return nullptr;
    PyObject *args[] = {pycode.get(), data.get()};
    return PyObject_Vectorcall(o.ext_hook, args, 2, nullptr);
}

PyObject *start_array(const DecodeOptions &o, uint64_t n, uint64_t presize) noexcept {
    if (QUELM_UNLIKELY(o.max_array_len < static_cast<int64_t>(n)))
        return raise_limit("max_array_len", n, o.max_array_len);
    if (o.use_list || presize < n)
        return new_open_list(presize);
    PyObject *tuple = PyTuple_New(static_cast<Py_ssize_t>(n));
    if (tuple != nullptr)
        PyObject_GC_UnTrack(tuple);
    return tuple;
}

PyObject *grow_open_list(PyObject *list, uint64_t capacity) noexcept {
    PyObject *grown = new_open_list(capacity);
    if (grown == nullptr)
        return nullptr;
    const Py_ssize_t size = PyList_GET_SIZE(list);
    std::memcpy(PySequence_Fast_ITEMS(grown), PySequence_Fast_ITEMS(list),
                static_cast<size_t>(size) * sizeof(PyObject *));
    // The items moved: the old list gives up its claim on them.
    Py_SET_SIZE(list, 0);
    Py_DECREF(list);
    return grown;
}

namespace {

// Dicts larger than this grow as usual: the pre-sizing saves a resize or two
// of small records, and the cap keeps the memory a short input can make the
// decoder reserve (a table entry is several times the two bytes of a pair).
constexpr uint64_t dict_presize_max = 1024;

// An empty dict with room for `presize` pairs without a resize.
// _PyDict_NewPresized is private; it is exported with this meaning by every
// interpreter from 3.9 to 3.13, and where it is not known to be the plain
// PyDict_New stands in.
PyObject *new_presized_dict(uint64_t presize) noexcept {
#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030E0000
    if (presize > 5)
        return _PyDict_NewPresized(
            static_cast<Py_ssize_t>(presize < dict_presize_max ? presize : dict_presize_max));
#else
    (void)presize;
#endif
    return PyDict_New();
}

}  // namespace

PyObject *start_map(const DecodeOptions &o, uint64_t n, uint64_t presize) noexcept {
    if (QUELM_UNLIKELY(o.max_map_len < static_cast<int64_t>(n)))
        return raise_limit("max_map_len", n, o.max_map_len);
    if (o.use_pairs_hook)
        return new_open_list(presize);
    return new_presized_dict(presize);
}

PyObject *make_empty_array(const DecodeOptions &o) noexcept {
    if (QUELM_UNLIKELY(o.max_array_len < 0))
        return raise_limit("max_array_len", 0, o.max_array_len);
    return o.use_list ? PyList_New(0) : PyTuple_New(0);
}

PyObject *make_empty_map(const DecodeOptions &o) noexcept {
    if (QUELM_UNLIKELY(o.max_map_len < 0))
        return raise_limit("max_map_len", 0, o.max_map_len);
    return o.use_pairs_hook ? PyList_New(0) : PyDict_New();
}

int add_pair_to_list(PyObject *c, uint64_t index, PyObject *key, PyObject *value) noexcept {
    PyObject *pair = PyTuple_New(2);
    if (pair == nullptr) {
        Py_DECREF(key);
        Py_DECREF(value);
        return -1;
    }
    PyTuple_SET_ITEM(pair, 0, key);
    PyTuple_SET_ITEM(pair, 1, value);
    return add_array_item(c, index, pair);
}

int refuse_map_key(PyObject *key, PyObject *value) noexcept {
    raise_map_key_type(key);
    Py_DECREF(key);
    Py_DECREF(value);
    return -1;
}

PyObject *end_array(const DecodeOptions &o, PyObject *array) noexcept {
    if (QUELM_UNLIKELY(!o.use_list && PyList_CheckExact(array))) {
        // Built as a list because the input at hand could not vouch for the
        // announced count; now that every item arrived, it becomes the tuple.
        PyObject *tuple = PyList_AsTuple(array);
        Py_DECREF(array);
        if (tuple == nullptr)
            return nullptr;
        array = tuple;
    }
    if (o.list_hook == nullptr)
        return array;
    return call_container_hook(o.list_hook, array);
}

PyObject *end_map(const DecodeOptions &o, PyObject *map) noexcept {
    if (o.object_hook == nullptr)
        return map;
    return call_container_hook(o.object_hook, map);
}

}  // namespace quelm

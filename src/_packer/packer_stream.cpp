// The methods that write parts of a stream directly: container headers,
// extension values and maps from pairs. Each leaves the buffer exactly as it
// was when it fails, so no partial item can reach a later result.
#include "_packer/packer.h"

#include "_cquelm/convert.h"
#include "_cquelm/state.h"
#include "_packer/walk_guard.h"

namespace quelm {

namespace {

QUELM_COLD PyObject *raise_value_error(const char *message) noexcept {
    PyErr_SetString(PyExc_ValueError, message);
    return nullptr;
}

QUELM_COLD int raise_too_few(Py_ssize_t found) noexcept {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", found,
                 found == 0 ? "s" : "");
    return -1;
}

QUELM_COLD int raise_too_many() noexcept {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{2});
    return -1;
}

QUELM_INLINE bool too_long(long long n) noexcept { return n > g_state.item_length_limit; }

// Splits `item` into a key and a value, both held by the caller's Refs.
int unpack_pair(PyObject *item, Ref *key, Ref *value) noexcept {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t n = Py_SIZE(item);
        if (n < 2)
            return raise_too_few(n);
        if (n > 2)
            return raise_too_many();
        const bool tuple = PyTuple_CheckExact(item);
        *key = Ref::borrow(tuple ? PyTuple_GET_ITEM(item, 0) : PyList_GET_ITEM(item, 0));
        *value = Ref::borrow(tuple ? PyTuple_GET_ITEM(item, 1) : PyList_GET_ITEM(item, 1));
        return 0;
    }
    Ref iterator = Ref::steal(PyObject_GetIter(item));
    if (!iterator)
        return -1;
    *key = Ref::steal(PyIter_Next(iterator.get()));
    if (!*key)
        return PyErr_Occurred() ? -1 : raise_too_few(0);
    *value = Ref::steal(PyIter_Next(iterator.get()));
    if (!*value)
        return PyErr_Occurred() ? -1 : raise_too_few(1);
    Ref extra = Ref::steal(PyIter_Next(iterator.get()));
    if (extra)
        return raise_too_many();
    return PyErr_Occurred() ? -1 : 0;
}

int pack_pair(Packer *self, PyObject *item, int budget) noexcept {
    Ref key, value;
    if (unpack_pair(item, &key, &value) < 0)
        return -1;
    if (pack_value(self, key.get(), budget) < 0)
        return -1;
    return pack_value(self, value.get(), budget);
}

// What tells the two header methods apart.
struct HeaderKind {
    const char *function;
    int (*writer)(OutputBuffer *, uint32_t) noexcept;
    const char *negative;
    const char *too_large;
};

int array_header_writer(OutputBuffer *b, uint32_t n) noexcept { return write_array_header(b, n); }
int map_header_writer(OutputBuffer *b, uint32_t n) noexcept { return write_map_header(b, n); }

constexpr HeaderKind array_header = {"pack_array_header", array_header_writer,
                                     "array size must be non-negative", "array too large"};
constexpr HeaderKind map_header = {"pack_map_header", map_header_writer,
                                   "map size must be non-negative", "map too learge"};

// The size is converted before the export check, so a non-integer size is a
// TypeError even while views are exported.
PyObject *pack_container_header(PyObject *op, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames, const HeaderKind &kind) noexcept {
    auto *self = reinterpret_cast<Packer *>(op);
    static const char *const names[] = {"size"};
    PyObject *size_obj;
    if (bind_arguments(kind.function, args, nargs, kwnames, names, 1, &size_obj) < 0)
        return nullptr;
    long long size;
    if (convert_long_long(size_obj, &size) < 0)
        return nullptr;
    if (check_exports(self) < 0)
        return nullptr;
    if (size < 0)
        return raise_value_error(kind.negative);
    if (too_long(size))
        return raise_value_error(kind.too_large);
    WriteCall call(self);
    if (call.admit() < 0)
        return nullptr;
    if (kind.writer(&self->buffer, static_cast<uint32_t>(size)) < 0)
        return call.fail();
    return call.succeed();
}

}  // namespace

int pack_pairs(Packer *self, PyObject *pairs, Py_ssize_t expected, PyObject *owner,
               int budget) noexcept {
    Py_ssize_t count = 0;
    if (PyList_CheckExact(pairs) || PyTuple_CheckExact(pairs)) {
        // Walked by index. Packing may change a list's size, which is then
        // refused as it would be for a list packed as an array.
        const Py_ssize_t size = Py_SIZE(pairs);
        for (Py_ssize_t i = 0; i < size; i++) {
            if (QUELM_UNLIKELY(Py_SIZE(pairs) != size))
                return raise_list_changed();
            if (count == expected)
                return raise_length_mismatch(owner, expected, count + 1, true);
            Ref item = Ref::borrow(PyList_CheckExact(pairs) ? PyList_GET_ITEM(pairs, i)
                                                            : PyTuple_GET_ITEM(pairs, i));
            if (pack_pair(self, item.get(), budget) < 0)
                return -1;
            count++;
        }
        if (QUELM_UNLIKELY(Py_SIZE(pairs) != size))
            return raise_list_changed();
    } else {
        Ref iterator = Ref::steal(PyObject_GetIter(pairs));
        if (!iterator)
            return -1;
        for (;;) {
            Ref item = Ref::steal(PyIter_Next(iterator.get()));
            if (!item)
                break;
            if (count == expected)
                return raise_length_mismatch(owner, expected, count + 1, true);
            if (pack_pair(self, item.get(), budget) < 0)
                return -1;
            count++;
        }
        if (PyErr_Occurred())
            return -1;
    }
    if (count != expected)
        return raise_length_mismatch(owner, expected, count, true);
    return 0;
}

// Packer.pack_array_header(self, long long size)
PyObject *packer_pack_array_header(PyObject *op, PyObject *const *args, Py_ssize_t nargs,
                                   PyObject *kwnames) noexcept {
    return pack_container_header(op, args, nargs, kwnames, array_header);
}

// Packer.pack_map_header(self, long long size)
PyObject *packer_pack_map_header(PyObject *op, PyObject *const *args, Py_ssize_t nargs,
                                 PyObject *kwnames) noexcept {
    return pack_container_header(op, args, nargs, kwnames, map_header);
}

int check_timestamp_ext(const char *data, size_t n) noexcept {
    const auto *p = reinterpret_cast<const unsigned char *>(data);
    uint32_t nanoseconds = 0;
    if (n == 8)
        nanoseconds = (uint32_t{p[0]} << 22) | (uint32_t{p[1]} << 14) | (uint32_t{p[2]} << 6) |
                      (p[3] >> 2);
    else if (n == 12)
        nanoseconds = (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
    else if (n != 4) {
        PyErr_Format(PyExc_ValueError,
                     "invalid timestamp data (length %zu): extension type -1 holds timestamps "
                     "of 4, 8 or 12 bytes",
                     n);
        return -1;
    }
    if (nanoseconds >= 1000000000u) {
        PyErr_Format(PyExc_ValueError,
                     "invalid timestamp data: nanoseconds %u is not below 1000000000",
                     static_cast<unsigned>(nanoseconds));
        return -1;
    }
    return 0;
}

// Packer.pack_ext_type(self, typecode, data)
//
// The length written is the number of bytes `data` exposes, which is also
// the number copied: a subclass whose len() says otherwise cannot make the
// header disagree with the payload or the copy read past it.
PyObject *packer_pack_ext_type(PyObject *op, PyObject *const *args, Py_ssize_t nargs,
                               PyObject *kwnames) noexcept {
    auto *self = reinterpret_cast<Packer *>(op);
    static const char *const names[] = {"typecode", "data"};
    PyObject *bound[2];
    if (bind_arguments("pack_ext_type", args, nargs, kwnames, names, 2, bound) < 0)
        return nullptr;
    PyObject *typecode = bound[0], *data = bound[1];
    if (check_exports(self) < 0)
        return nullptr;
    const Py_ssize_t length = PyObject_Length(data);
    if (length < 0)
        return nullptr;
    if (too_long(length))
        return raise_value_error("ext data too large");
    long long code;
    if (convert_bounded(typecode, -128, 127, "char", &code) < 0)
        return nullptr;
    // No Python code runs from here to the copy, so the payload stays put.
    const char *payload;
    Py_ssize_t n;
    if (ascii_bytes_view(data, &payload, &n) < 0)
        return nullptr;
    if (too_long(n))
        return raise_value_error("ext data too large");
    if (code == -1 && check_timestamp_ext(payload, static_cast<size_t>(n)) < 0)
        return nullptr;
    WriteCall call(self);
    if (call.admit() < 0)
        return nullptr;
    if (write_ext_header(&self->buffer, static_cast<int8_t>(code), static_cast<size_t>(n)) < 0 ||
        write_bytes(&self->buffer, payload, static_cast<size_t>(n)) < 0)
        return call.fail();
    return call.succeed();
}

// Packer.pack_map_pairs(self, pairs)
PyObject *packer_pack_map_pairs(PyObject *op, PyObject *const *args, Py_ssize_t nargs,
                                PyObject *kwnames) noexcept {
    auto *self = reinterpret_cast<Packer *>(op);
    static const char *const names[] = {"pairs"};
    PyObject *pairs;
    if (bind_arguments("pack_map_pairs", args, nargs, kwnames, names, 1, &pairs) < 0)
        return nullptr;
    if (check_exports(self) < 0)
        return nullptr;
    const Py_ssize_t size = PyObject_Length(pairs);
    if (size < 0)
        return nullptr;
    if (too_long(size))
        return raise_value_error("map too large");
    WriteCall call(self);
    if (call.admit() < 0)
        return nullptr;
    StackWalk walk(self);
    if (write_map_header(&self->buffer, static_cast<uint32_t>(size)) < 0 ||
        pack_pairs(self, pairs, size, pairs, g_state.recursion_limit) < 0)
        return call.fail();
    return call.succeed();
}

}  // namespace quelm

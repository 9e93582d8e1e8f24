// The container walkers of the value dispatch: exact dicts by their entry
// table where its layout is known and through PyDict_Next otherwise (as
// frozendicts), other mappings through items(), exact lists and tuples by
// index, their subclasses by iteration. Every walk writes the header first,
// then checks that what it walked matches it.
#include "_packer/dict_entries.h"
#include "_packer/leaves.h"

#include <cstdlib>
#include <cstring>

namespace quelm {

namespace {

// Writing a header opens a container.
QUELM_INLINE int pack_map_header_of(Packer *self, Py_ssize_t n) noexcept {
    if (QUELM_UNLIKELY(past_limit(self)) && enter_floor(self) < 0)
        return -1;
    if (QUELM_UNLIKELY(too_long(n)))
        return raise_value_error("dict is too large");
    return write_map_header(&self->buffer, static_cast<uint32_t>(n));
}

QUELM_INLINE int pack_array_header_of(Packer *self, Py_ssize_t n) noexcept {
    if (QUELM_UNLIKELY(past_limit(self)) && enter_floor(self) < 0)
        return -1;
    if (QUELM_UNLIKELY(too_long(n)))
        return raise_value_error("list is too large");
    return write_array_header(&self->buffer, static_cast<uint32_t>(n));
}

// A value packed through the full dispatch with a reference of its own,
// as Python code it runs may drop the container's. An exact dict or list,
// the containers records hold, goes straight to the walk pack_value would
// choose for it: neither is ever deferred to the default hook.
QUELM_NOINLINE int pack_held(Packer *self, PyObject *o, int budget) noexcept {
    Py_INCREF(o);
    int r;
    PyTypeObject *type = Py_TYPE(o);
    if (type == &PyList_Type && budget >= 0 && ext_type_is_plain())
        r = pack_list_exact(self, o, budget - 1);
    else if (type == &PyDict_Type && budget >= 0)
        r = pack_dict_exact(self, o, budget - 1);
    else
        r = pack_value(self, o, budget);
    Py_DECREF(o);
    return r;
}

// A pair whose key is not a leaf: both are held while either is packed.
QUELM_NOINLINE int pack_pair_held(Packer *self, PyObject *key, PyObject *value,
                                  int budget) noexcept {
    Py_INCREF(key);
    Py_INCREF(value);
    int r = pack_value(self, key, budget);
    if (r == 0)
        r = pack_value(self, value, budget);
    Py_DECREF(key);
    Py_DECREF(value);
    return r;
}

// What pack_pair returns when both were leaves, so that no Python code ran.
constexpr int only_leaves = 1;

// One pair of a dict's walk: 0 or only_leaves, or -1 with an exception set.
// Leaves run no Python code; anything else may drop the dict's references,
// so the pair is held while it is packed. With `plain`, the leaves are
// tested as try_pack_leaf_by_type<true> allows (plain_leaves).
template <bool plain>
QUELM_INLINE int pack_pair(Packer *self, PyObject *key, PyObject *value, int budget) noexcept {
    int r = plain ? try_pack_leaf_by_type<true>(self, key) : try_pack_leaf(self, key, budget);
    if (QUELM_LIKELY(r == 0)) {
        r = plain ? try_pack_leaf_by_type<true>(self, value) : try_pack_leaf(self, value, budget);
        if (QUELM_LIKELY(r == 0))
            return only_leaves;
        if (r == not_a_leaf)
            r = pack_held(self, value, budget);
    } else if (r == not_a_leaf) {
        r = pack_pair_held(self, key, value, budget);
    }
    return r;
}

// Walks the entries of an exact dict (or frozendict) in order, from
// PyDict_Next's position `pos`, with `walked` pairs written already. Python
// code run by packing a key or value may mutate the dict: both are held by
// strong references while they are packed, and a changed size or a walk
// that would write more pairs than the header announced is refused.
template <Py_ssize_t (*current_size)(PyObject *)>
int pack_dict_entries(Packer *self, PyObject *d, Py_ssize_t size, Py_ssize_t pos,
                      Py_ssize_t walked, int budget) noexcept {
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
        if (pack_pair<false>(self, key, value, budget) < 0)
            return -1;
        walked++;
    }
    if (QUELM_UNLIKELY(walked != size))
        return raise_runtime_error("dictionary changed size during iteration");
    return 0;
}

Py_ssize_t dict_size(PyObject *d) noexcept { return PyDict_GET_SIZE(d); }

// The same walk over an exact dict's entry table, read in place
// (dict_entries.h), for as long as plain_leaves holds. Until a key or value
// that is not a leaf is packed no Python code runs, so the table, the size,
// the position and the leaf options stay as they were and nothing is
// checked between entries; after one, the size is checked and the table
// read again, as PyDict_Next would, or the walk goes on through
// PyDict_Next from the same position.
int pack_dict_table(Packer *self, PyObject *d, Py_ssize_t size, DictEntries table,
                    int budget) noexcept {
    Py_ssize_t walked = 0;
    const char *at = table.first + table.key_offset;
    const char *end = at + static_cast<size_t>(table.count) * table.stride;
    for (; at != end; at += table.stride) {
        PyObject *value = dict_entry_value(at);
        if (QUELM_UNLIKELY(value == nullptr))
            continue;
        PyObject *key = dict_entry_key(at);
        if (QUELM_UNLIKELY(walked == size))
            return raise_runtime_error("dictionary keys changed during iteration");
        const int r = pack_pair<true>(self, key, value, budget);
        if (r < 0)
            return -1;
        walked++;
        if (QUELM_LIKELY(r == only_leaves))
            continue;
        if (QUELM_UNLIKELY(PyDict_GET_SIZE(d) != size))
            return raise_runtime_error("dictionary changed size during iteration");
        // PyDict_Next's position of the next entry, in the table as it is now.
        const auto next = static_cast<Py_ssize_t>((at - table.first - table.key_offset) /
                                                  table.stride) + 1;
        if (QUELM_UNLIKELY(!read_dict_entries(d, &table) || !plain_leaves(self, budget)))
            return pack_dict_entries<dict_size>(self, d, size, next, walked, budget);
        if (next >= table.count)
            break;
        // The loop steps on to entry `next`.
        const char *first = table.first + table.key_offset;
        at = first + static_cast<size_t>(next - 1) * table.stride;
        end = first + static_cast<size_t>(table.count) * table.stride;
    }
    if (QUELM_UNLIKELY(walked != size))
        return raise_runtime_error("dictionary changed size during iteration");
    return 0;
}

}  // namespace

int pack_dict_exact(Packer *self, PyObject *d, int budget) noexcept {
    const Py_ssize_t size = PyDict_GET_SIZE(d);
    if (pack_map_header_of(self, size) < 0)
        return -1;
    DictEntries table;
    if (QUELM_LIKELY(read_dict_entries(d, &table) && plain_leaves(self, budget)))
        return pack_dict_table(self, d, size, table, budget);
    return pack_dict_entries<dict_size>(self, d, size, 0, 0, budget);
}

#ifdef QUELM_HAVE_FROZENDICT
int pack_frozendict_exact(Packer *self, PyObject *d, int budget) noexcept {
    const Py_ssize_t size = PyObject_Length(d);
    if (size < 0)
        return -1;
    if (pack_map_header_of(self, size) < 0)
        return -1;
    return pack_dict_entries<PyObject_Length>(self, d, size, 0, 0, budget);
}
#endif

int pack_mapping_items(Packer *self, PyObject *o, int budget) noexcept {
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

namespace {

// The run of strs (pack_short_str_run), out of line so that walks of lists
// without strs keep their lean frame, in its two copies.
QUELM_NOINLINE Py_ssize_t pack_str_run_plain(OutputBuffer *b, PyObject *const *items,
                                             Py_ssize_t i, Py_ssize_t size) noexcept {
    return pack_short_str_run<PutFixstrPlain>(b, items, i, size);
}

#ifdef QUELM_HAVE_MASKED_TEXT
QUELM_TARGET_MASKED_TEXT QUELM_NOINLINE Py_ssize_t pack_str_run_masked(OutputBuffer *b,
                                                                       PyObject *const *items,
                                                                       Py_ssize_t i,
                                                                       Py_ssize_t size) noexcept {
    return pack_short_str_run<PutFixstrMasked>(b, items, i, size);
}

// Whether this CPU (and its OS) has the masked byte loads of
// put_fixstr_masked, decided once. QUELM_TEXT_COPY=plain in the
// environment at the first list packed keeps the plain moves, so that tests
// and benchmarks can compare both on one machine.
bool use_masked_text() noexcept {
    static const bool masked = [] {
        const char *choice = std::getenv("QUELM_TEXT_COPY");
        if (choice != nullptr && std::strcmp(choice, "plain") == 0)
            return false;
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
               __builtin_cpu_supports("avx2");
    }();
    return masked;
}
#endif

QUELM_INLINE Py_ssize_t pack_str_run(OutputBuffer *b, PyObject *const *items, Py_ssize_t i,
                                     Py_ssize_t size) noexcept {
#ifdef QUELM_HAVE_MASKED_TEXT
    if (use_masked_text())
        return pack_str_run_masked(b, items, i, size);
#endif
    return pack_str_run_plain(b, items, i, size);
}

constexpr Py_ssize_t run_ahead = 3;

}  // namespace

// An exact list, by index. Each item is held while it is packed; a list
// that changes size meanwhile is refused, since its header is written.
int pack_list_exact(Packer *self, PyObject *l, int budget) noexcept {
    const Py_ssize_t size = PyList_GET_SIZE(l);
    if (pack_array_header_of(self, size) < 0)
        return -1;
    for (Py_ssize_t i = 0; i < size; i++) {
        if (QUELM_UNLIKELY(PyList_GET_SIZE(l) != size))
            return raise_list_changed();
        PyObject *item = PyList_GET_ITEM(l, i);
        // A run of short strs, the common list of names or labels, is
        // packed in one tight loop; it stops at the first item it leaves.
        // Worth its call where the item run_ahead places on is a str too.
        if (Py_TYPE(item) == &PyUnicode_Type && size - i > run_ahead &&
            Py_TYPE(PyList_GET_ITEM(l, i + run_ahead)) == &PyUnicode_Type &&
            QUELM_LIKELY(self->errors_name == nullptr) && QUELM_LIKELY(budget >= 0)) {
            i = pack_str_run(&self->buffer, reinterpret_cast<PyListObject *>(l)->ob_item, i, size);
            if (i == size)
                break;
            item = PyList_GET_ITEM(l, i);
        }
        int r = try_pack_leaf(self, item, budget);
        if (QUELM_UNLIKELY(r == not_a_leaf))
            r = pack_held(self, item, budget);
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
        if (pack_item(self, PyTuple_GET_ITEM(t, i), budget) < 0)
            return -1;
    }
    return 0;
}

int pack_sequence_iterated(Packer *self, PyObject *o, int budget) noexcept {
    return pack_iterated(self, o, Py_SIZE(o), budget);
}

int pack_iterated(Packer *self, PyObject *o, Py_ssize_t size, int budget) noexcept {
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

}  // namespace quelm

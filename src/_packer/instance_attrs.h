// An instance attribute read straight from where the interpreter keeps it.
//
// getattr(o, name) on a class with the generic attribute lookup first looks
// the name up along the class's MRO (for a data descriptor, which wins over
// the instance), then in the instance's own attributes, and only then takes
// what the class found. On a typed record of a few fields those lookups by
// name are most of the time spent. The plan proves, per class, that no data
// descriptor can answer for a field (the class's lookup finds nothing, or an
// object of a built-in type without __set__, such as a dataclass default):
// then getattr's answer is the instance's own value whenever the instance
// has one, and that value is read here. Anything else (no value there, a
// layout not known here) is left to getattr itself, which then raises the
// same AttributeError or finds the same class default as before.
//
// The proof holds only while the class is unchanged: it is tied to the
// class's version tag, which setting or deleting an attribute on the class or
// a base (or assigning __bases__) replaces. Tags are never reused, so the
// class and its tag together name one state of one class.
//
// The layouts are private to the interpreter and differ between releases, so
// each is read only under an exact version range:
//   * 3.9 and 3.10: the instance dict at tp_dictoffset, looked up by the
//     interned name with its cached hash (the class lookup is what is saved);
//   * 3.11 to 3.13: the values of an instance that has no dict yet, kept
//     apart from a dict and indexed like the class's shared keys, where a
//     name's index never changes once added. The index found once is kept in
//     the plan and checked against the keys before each read.
// Everything else takes getattr: other releases, free-threaded builds, a
// materialised instance dict on 3.11 on, an unusual layout. Nothing here
// creates an instance dict or runs Python code with a borrowed value held.
#pragma once

#include "_cquelm/common.h"
#include "_packer/dict_entries.h"

#include <cstddef>
#include <cstdint>

namespace quelm {

#if !defined(Py_GIL_DISABLED) && !defined(Py_LIMITED_API) && \
    PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030E0000
#define QUELM_INSTANCE_LAYOUT 1
#else
#define QUELM_INSTANCE_LAYOUT 0
#endif

// The class's version tag, or 0 while it has no valid one.
QUELM_INLINE unsigned int valid_version_tag(PyTypeObject *type) noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return type->tp_version_tag;
#else
    return PyType_HasFeature(type, Py_TPFLAGS_VALID_VERSION_TAG) ? type->tp_version_tag : 0;
#endif
}

// Whether getattr(instance, name) is the instance's own value whenever it has
// one, for the instances of `type` as it is now (see above).
inline bool instance_answers(PyTypeObject *type, PyObject *name) noexcept {
#if QUELM_INSTANCE_LAYOUT
    if (type->tp_getattro != PyObject_GenericGetAttr || !PyUnicode_CheckExact(name) ||
        !PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE))
        return false;
    PyObject *found = _PyType_Lookup(type, name);
    if (found == nullptr)
        return true;
    // A built-in type's slots cannot change, so a value of one without
    // __set__ never becomes a data descriptor.
    PyTypeObject *kind = Py_TYPE(found);
    return !PyType_HasFeature(kind, Py_TPFLAGS_HEAPTYPE) && kind->tp_descr_set == nullptr;
#else
    (void)type, (void)name;
    return false;
#endif
}

namespace instance_layout {

#if QUELM_INSTANCE_LAYOUT && PY_VERSION_HEX >= 0x030B0000
inline constexpr uint8_t kind_split = 2;

// The instance's values array, or null when it has none (its dict exists).
QUELM_INLINE PyObject *const *values_of(PyObject *o, PyTypeObject *type) noexcept {
#if PY_VERSION_HEX < 0x030C0000
    // 3.11: a pointer to the values four words before the object.
    if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))
        return nullptr;
    PyObject *const *values;
    std::memcpy(&values, reinterpret_cast<const char *>(o) - 4 * sizeof(void *), sizeof values);
    return values;
#elif PY_VERSION_HEX < 0x030D0000
    // 3.12: three words before the object, the dict, or the values pointer
    // less one (odd) when there is no dict.
    if (!PyType_HasFeature(type, Py_TPFLAGS_MANAGED_DICT))
        return nullptr;
    uintptr_t word;
    std::memcpy(&word, reinterpret_cast<const char *>(o) - 3 * sizeof(void *), sizeof word);
    if ((word & 1) == 0)
        return nullptr;
    return reinterpret_cast<PyObject *const *>(word + 1);
#else
    // 3.13: inline after the object header, behind four bytes (capacity,
    // size, embedded, valid) padded to a word; `valid` is cleared when a
    // dict takes the values over.
    if (!PyType_HasFeature(type, Py_TPFLAGS_INLINE_VALUES) ||
        type->tp_basicsize != static_cast<Py_ssize_t>(sizeof(PyObject)))
        return nullptr;
    const auto *header = reinterpret_cast<const uint8_t *>(o) + sizeof(PyObject);
    if (header[3] == 0)
        return nullptr;
    return reinterpret_cast<PyObject *const *>(header + sizeof(void *));
#endif
}

// The index of `name` among the class's shared keys (compared by identity),
// or -1.
inline Py_ssize_t find_key(const dict_layout::Keys *keys, PyObject *name) noexcept {
    const char *first = dict_layout::index_of(keys) + (size_t{1} << keys->log2_index_bytes);
    for (Py_ssize_t i = 0; i < keys->nentries; i++) {
        if (dict_entry_key(first + i * sizeof(dict_layout::StrEntry)) == name)
            return i;
    }
    return -1;
}
#endif

}  // namespace instance_layout

// Reads the instance's own value of `name` into *value (a new reference):
// 1 when read, 0 when not read here (getattr then answers), -1 with an
// exception set, as getattr's own lookup would have raised it. `index` is
// the name's index among the class's shared keys as last found, -1 if none;
// it is updated. Only for instances of a class for which instance_answers()
// holds, unchanged since.
QUELM_INLINE int read_instance_attr(PyObject *o, PyObject *name, Py_ssize_t *index,
                                    PyObject **value) noexcept {
#if QUELM_INSTANCE_LAYOUT && PY_VERSION_HEX < 0x030B0000
    (void)index;
    PyTypeObject *type = Py_TYPE(o);
    if (type->tp_dictoffset <= 0)
        return 0;
    PyObject *dict = *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(o) +
                                                   type->tp_dictoffset);
    const Py_hash_t hash = reinterpret_cast<PyASCIIObject *>(name)->hash;
    if (dict == nullptr || !PyDict_Check(dict) || hash == -1)
        return 0;
    // getattr's own lookup in the dict, with the name's cached hash. The
    // dict is held as getattr holds it: comparing keys may run code that
    // replaces it.
    Py_INCREF(dict);
    PyObject *found = Py_XNewRef(_PyDict_GetItem_KnownHash(dict, name, hash));
    Py_DECREF(dict);
    if (found == nullptr)
        return PyErr_Occurred() ? -1 : 0;
    *value = found;
    return 1;
#elif QUELM_INSTANCE_LAYOUT
    PyTypeObject *type = Py_TYPE(o);
    PyObject *const *values = instance_layout::values_of(o, type);
    if (values == nullptr)
        return 0;
    const auto *keys = reinterpret_cast<const dict_layout::Keys *>(
        reinterpret_cast<PyHeapTypeObject *>(type)->ht_cached_keys);
    if (keys == nullptr || keys->kind != instance_layout::kind_split)
        return 0;
    Py_ssize_t i = *index;
    const char *first = dict_layout::index_of(keys) + (size_t{1} << keys->log2_index_bytes);
    if (QUELM_UNLIKELY(i < 0 || i >= keys->nentries ||
                       dict_entry_key(first + i * sizeof(dict_layout::StrEntry)) != name)) {
        i = instance_layout::find_key(keys, name);
        if (i < 0)
            return 0;
        *index = i;
    }
    // A null value is an attribute deleted or never set: getattr answers.
    if (values[i] == nullptr)
        return 0;
    *value = Py_NewRef(values[i]);
    return 1;
#else
    (void)o, (void)name, (void)index, (void)value;
    return 0;
#endif
}

}  // namespace quelm

// An exact dict's entries read straight from the interpreter's layout.
//
// PyDict_Next is a call into the interpreter per entry, with checks of its
// own, and on records of a few keys it costs as much as writing the keys.
// A dict whose keys and values live in one table (a "combined" table, which
// every dict built by a literal, a comprehension or dict() has) keeps its
// entries in insertion order in an array after the hash index; a deleted
// entry keeps its slot with a null value. Walking that array in order, and
// skipping null values, is what PyDict_Next does for such a table.
//
// The layout is private to the interpreter and differs between releases, so
// it is read only for the releases whose layout is written out below, each
// guarded by an exact version range. Everything else takes PyDict_Next:
// other releases, free-threaded builds (whose tables change under other
// threads), split tables (instance dicts sharing their class's keys) and any
// kind of table not listed. The tests compare this walk with PyDict_Next's
// on every supported release.
#pragma once

#include "_cquelm/common.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quelm {

#if !defined(Py_GIL_DISABLED) && !defined(Py_LIMITED_API) && \
    PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030E0000
#define QUELM_DICT_LAYOUT 1
#else
#define QUELM_DICT_LAYOUT 0
#endif

// The entries of a combined table: `count` slots of `stride` bytes from
// `first`, each a key pointer followed by a value pointer, the key
// `key_offset` bytes into the slot; a null value marks a deleted entry.
// Valid only until Python code runs: a resize replaces the table.
struct DictEntries {
    const char *first;
    Py_ssize_t count;
    size_t stride;
    size_t key_offset;
};

namespace dict_layout {

#if QUELM_DICT_LAYOUT
// An entry of a table whose keys may be of any type.
struct GeneralEntry {
    Py_hash_t hash;
    PyObject *key;
    PyObject *value;
};
// An entry of a table whose keys are all strs (3.11 on): their hash is
// cached in the str itself.
struct StrEntry {
    PyObject *key;
    PyObject *value;
};
static_assert(offsetof(GeneralEntry, value) == offsetof(GeneralEntry, key) + sizeof(PyObject *));
static_assert(offsetof(StrEntry, value) == offsetof(StrEntry, key) + sizeof(PyObject *));

// The hash index starts right after the fields below (no flexible array
// member here, which not every compiler takes in C++); they end aligned,
// so no padding comes between.
template <typename Keys>
QUELM_INLINE const char *index_of(const Keys *keys) noexcept {
    static_assert(sizeof(Keys) % sizeof(Py_ssize_t) == 0);
    return reinterpret_cast<const char *>(keys) + sizeof(Keys);
}
#endif

#if QUELM_DICT_LAYOUT && PY_VERSION_HEX < 0x030B0000
// 3.9 and 3.10: the index holds dk_size slots of 1, 2, 4 or 8 bytes, by
// dk_size; every entry is a GeneralEntry.
struct Keys {
    Py_ssize_t refcnt;
    Py_ssize_t size;
    void *lookup;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
static_assert(sizeof(Keys) == 5 * sizeof(Py_ssize_t));

QUELM_INLINE bool read(const Keys *keys, DictEntries *out) noexcept {
    const auto size = static_cast<size_t>(keys->size);
    const size_t index_width = size <= 0xff ? 1 : size <= 0xffff ? 2 : size <= 0xffffffff ? 4 : 8;
    out->first = index_of(keys) + size * index_width;
    out->count = keys->nentries;
    out->stride = sizeof(GeneralEntry);
    out->key_offset = offsetof(GeneralEntry, key);
    return true;
}
#elif QUELM_DICT_LAYOUT
// 3.11 to 3.13: the index takes 2**log2_index_bytes bytes; the kind says
// which entry type follows it.
struct Keys {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
};
static_assert(sizeof(Keys) == 4 * sizeof(Py_ssize_t) || sizeof(Py_ssize_t) == 4);
inline constexpr uint8_t kind_general = 0;
inline constexpr uint8_t kind_str = 1;

QUELM_INLINE bool read(const Keys *keys, DictEntries *out) noexcept {
    out->first = index_of(keys) + (size_t{1} << keys->log2_index_bytes);
    out->count = keys->nentries;
    if (QUELM_LIKELY(keys->kind == kind_str)) {
        out->stride = sizeof(StrEntry);
        out->key_offset = offsetof(StrEntry, key);
        return true;
    }
    if (keys->kind == kind_general) {
        out->stride = sizeof(GeneralEntry);
        out->key_offset = offsetof(GeneralEntry, key);
        return true;
    }
    // A split table's keys.
    return false;
}
#endif

}  // namespace dict_layout

// Reads the entries of the exact dict `d`: true if its table is a combined
// one of a layout known here, false (nothing read) for anything else, which
// PyDict_Next then walks.
QUELM_INLINE bool read_dict_entries(PyObject *d, DictEntries *out) noexcept {
#if QUELM_DICT_LAYOUT
    const auto *dict = reinterpret_cast<const PyDictObject *>(d);
    if (QUELM_UNLIKELY(dict->ma_values != nullptr))
        return false;
    return dict_layout::read(reinterpret_cast<const dict_layout::Keys *>(dict->ma_keys), out);
#else
    (void)d, (void)out;
    return false;
#endif
}

// The key and the value of the entry whose key is at `at` (first +
// key_offset + a multiple of stride); the value is null for a deleted
// entry. Both borrowed from the table.
QUELM_INLINE PyObject *dict_entry_key(const char *at) noexcept {
    PyObject *key;
    std::memcpy(&key, at, sizeof key);
    return key;
}
QUELM_INLINE PyObject *dict_entry_value(const char *at) noexcept {
    PyObject *value;
    std::memcpy(&value, at + sizeof(PyObject *), sizeof value);
    return value;
}

}  // namespace quelm

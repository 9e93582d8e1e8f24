// What the value dispatch (dispatch.cpp) and the container walkers
// (containers.cpp) share: the length limit, their cold raisers and the
// walkers themselves. Private to the Packer's files.
#pragma once

#include "_packer/packer.h"
#include "_packer/walk_guard.h"
#include "_cquelm/state.h"

namespace quelm {

QUELM_INLINE bool too_long(Py_ssize_t n) noexcept {
    return static_cast<int64_t>(n) > g_state.item_length_limit;
}

// Exact lists and tuples, and typed values whose plan proves it, may skip
// the ExtType test only while it is a plain subtype test: a metaclass could
// make isinstance() claim them.
QUELM_INLINE bool ext_type_is_plain() noexcept {
    return Py_IS_TYPE(g_state.ext_type, &PyType_Type);
}

// ValueError / RuntimeError with `message`; return -1.
QUELM_COLD int raise_value_error(const char *message) noexcept;
QUELM_COLD int raise_runtime_error(const char *message) noexcept;

// The container walkers: each writes the header, then packs every entry
// through pack_value with `budget`. Return 0, or -1 with an exception set.
[[nodiscard]] int pack_dict_exact(Packer *self, PyObject *d, int budget) noexcept;
#ifdef QUELM_HAVE_FROZENDICT
[[nodiscard]] int pack_frozendict_exact(Packer *self, PyObject *d, int budget) noexcept;
#endif
// Any other mapping of the map rule: its own len() and items().
[[nodiscard]] QUELM_NOINLINE int pack_mapping_items(Packer *self, PyObject *o,
                                                    int budget) noexcept;
[[nodiscard]] int pack_list_exact(Packer *self, PyObject *l, int budget) noexcept;
[[nodiscard]] int pack_tuple_exact(Packer *self, PyObject *t, int budget) noexcept;
// A list or tuple subclass: header from the stored size, items from its
// iteration, which must agree with it.
[[nodiscard]] QUELM_NOINLINE int pack_sequence_iterated(Packer *self, PyObject *o,
                                                        int budget) noexcept;
// An array of `size` items taken from the iteration of `o`, which must
// yield exactly that many.
[[nodiscard]] int pack_iterated(Packer *self, PyObject *o, Py_ssize_t size, int budget) noexcept;

}  // namespace quelm

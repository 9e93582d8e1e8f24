// Mismatches of the typed decoder: a value its plan node does not take ends
// the descent with T_MISMATCH; the state keeps what was expected and found,
// and each level the failure passes through adds its path segment.
#pragma once

#include "_typed/decode_wire.h"

namespace quelm {

// Records the mismatch (`found` stolen; NULL means its creation failed) and
// returns T_MISMATCH, or T_ERROR.
QUELM_COLD int set_mismatch(TypedState &s, PyObject *expected, PyObject *found) noexcept;

// The value at h is not one `n` takes. A refused array or map is skipped
// first, so that malformed bytes inside it take precedence.
QUELM_COLD int mismatch(TypedState &s, const char *&p, const PlanNode &n, const Head &h) noexcept;

// A decoded value (borrowed) that `n` does not take: named by its repr.
QUELM_COLD int mismatch_value(TypedState &s, const PlanNode &n, PyObject *value) noexcept;

// A conversion the type performs itself (an Enum lookup, Decimal, the ISO
// forms) refused `value` with one of the exceptions it raises for that
// (ValueError, ArithmeticError): a mismatch. Any other exception: T_ERROR.
QUELM_COLD int refused_value(TypedState &s, const PlanNode &n, PyObject *value) noexcept;

// Hashing `value` (borrowed), a key (`key`) or set item built from the wire,
// raised TypeError: a list or dict where Any takes a key, a Decimal
// signalling NaN. A mismatch against `expected` (a label the plan owns);
// any other exception: T_ERROR.
QUELM_COLD int unhashable(TypedState &s, PyObject *expected, PyObject *value, bool key) noexcept;

// A timestamp whose instant the datetime type cannot hold (OverflowError
// while building it): a mismatch; any other exception: T_ERROR.
QUELM_COLD int out_of_range(TypedState &s, const PlanNode &n) noexcept;

// A required field absent from its map; the path ends at the field.
QUELM_COLD int missing_field(TypedState &s, const PlanField &f) noexcept;

// A key of a record that refuses unknown keys matched no field: T_OK for
// the wire name of a field the class builds itself (typed packing writes
// those), else a mismatch whose path ends at the key when it is a str.
QUELM_COLD int unknown_key(TypedState &s, const PlanNode &n, const Head &key) noexcept;

// The value of a record's key that names no field (the key starts at `key`
// and is already read), skipped; unless the record refuses unknown keys,
// through unknown_key. Out of line, in place of the plain skip, and given
// only where the key starts (read again if refused), so that the loop over
// a record's fields keeps its key in registers.
[[nodiscard]] int skip_unknown(TypedState &s, const char *&p, const PlanNode &n,
                               const char *key) noexcept;

// A mismatch of a map key: the path stays at the map, the message says so
// (and where inside the key, for a key that is a container).
QUELM_COLD int as_key(TypedState &s) noexcept;

// Add the segment (borrowed str, or an index) to the path of a mismatch
// found inside it and return `st`, or T_ERROR if that fails.
QUELM_COLD int add_segment(TypedState &s, int st, PyObject *segment) noexcept;
QUELM_COLD int add_index(TypedState &s, int st, uint64_t index) noexcept;

QUELM_INLINE int at_name(TypedState &s, int st, PyObject *name) noexcept {
    return st == T_MISMATCH ? add_segment(s, st, name) : st;
}

QUELM_INLINE int at_index(TypedState &s, int st, uint64_t index) noexcept {
    return st == T_MISMATCH ? add_index(s, st, index) : st;
}

// After T_MISMATCH: "$" followed by the path segments, outermost first
// (`.name` for a field or str key, `[i]` for an index, `[key]` otherwise).
PyObject *mismatch_path(const TypedState &s) noexcept;

// Releases what a mismatch left in the state.
void clear_mismatch(TypedState &s) noexcept;

}  // namespace quelm

// Constraints of the typed decoder: the bounds, multiples and lengths that
// `Annotated` metadata declares (objects with the attributes gt, ge, lt,
// le, multiple_of, min_length, max_length), checked on a value once it is
// built. quelm/_typing.py compiles them into a K_CHECKED node whose `extra`
// is a tuple of (check, bound, expected text).
#pragma once

#include "_typed/decode_value.h"

namespace quelm {

// The checks, numbered as quelm/_typing.py numbers them.
enum CheckKind : long {
    CHECK_GT,
    CHECK_GE,
    CHECK_LT,
    CHECK_LE,
    CHECK_MULTIPLE_OF,
    CHECK_MIN_LEN,
    CHECK_MAX_LEN,
    CHECK_COUNT,
};

// Whether `checks` (a node's extra) has the shape above: 0, or -1 with the
// plan error set.
[[nodiscard]] int read_checks(PyObject *checks) noexcept;

// Applies the node's checks to `value` (borrowed): T_OK, T_MISMATCH saying
// which bound it broke, or T_ERROR (a comparison raised).
[[nodiscard]] int apply_checks(TypedState &s, const PlanNode &node, PyObject *value) noexcept;

}  // namespace quelm

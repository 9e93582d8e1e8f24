// Applying a compiled plan to Quelm bytes: the typed decoder proper.
//
// It descends the plan and the bytes together, validating each value against
// its node and building the final object at once (a dataclass from its map,
// a UUID from its text), with no intermediate dict or list per record. The
// descent recurses once per open container and never deeper than the
// decoder's nesting limit (1024), on frames of a few hundred bytes, and
// never closer to the end of the thread's stack than a margin.
//
// Statuses (int): T_OK, or one of the failures below. Only T_ERROR has a
// Python exception set; T_MISMATCH leaves what was expected and found, and
// the path to it, in the TypedState.
#pragma once

#include "_typed/decode_plan.h"
#include "_unpacker/context.h"

namespace quelm {

enum TypedStatus : int {
    T_OK = 0,
    T_ERROR = -1,         // a Python exception is set
    T_INVALID_BYTE = -2,  // 0xc1 where a value was expected
    T_TOO_DEEP = -3,      // a container would open at depth 1024
    T_NEED_MORE = -4,     // the input ended inside a value
    T_MISMATCH = -5,      // a value the type does not accept
};

struct TypedState {
    const TypedPlanObject *plan;
    const char *end;             // end of the input
    DecodeOptions options;       // limits, unicode_errors, strict_map_key; Any decodes
                                 // as unpackb does by default
    DecodeOptions datetime_options;  // the same with aware datetimes for timestamps
    // Items the open containers still wait for; every one needs at least a
    // byte, so containers are pre-sized to at most the bytes left beyond them.
    uint64_t awaited;
    uint32_t depth;              // open containers
    uintptr_t stack_floor;       // containers open only above it (stack_guard.h)
    // After T_MISMATCH: the expected type's label (borrowed from the plan),
    // a description of what was found (owned), and the path segments
    // collected while unwinding, innermost first (owned list).
    PyObject *expected;
    PyObject *found;
    PyObject *segments;
};

// Decodes one value of plan node `node` from `p` (advanced past it) into
// `*out` (a new reference on T_OK).
[[nodiscard]] int decode_typed(TypedState &s, const char *&p, uint32_t node,
                               PyObject **out) noexcept;

}  // namespace quelm

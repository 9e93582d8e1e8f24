// Typed packing (Packer(typed=True)): the types real programs carry,
// written as their plain equivalents. Reached from the value dispatch only
// for values it does not take itself, just before the `default` hook.
#pragma once

#include "_packer/packer.h"

namespace quelm {

// Packs `o` (borrowed) by the rules of its class's plan (pack_plan.h): a
// dataclass or attrs instance as a map of its attributes, an Enum member as
// its value, a UUID, Decimal, date or time as a str, a UTC datetime as a
// timestamp, a set as an array. Nested values are packed with `budget`.
// Returns 0 written, -1 failed (exception set), or 1 when `o` is not a typed
// value (nothing written, no exception set).
[[nodiscard]] int pack_typed(Packer *self, PyObject *o, int budget) noexcept;

// pack_typed for a value the dispatch has not yet tested for ExtType (its
// metaclass checked to be plain), where the class's plan proves that no test
// still ahead of the typed step could take `o`: with `before_builtins`,
// ahead of the tests for the built-in types too (the class has none of them
// for a base), else only ahead of the ExtType test (the caller has ruled out
// lists, tuples, memoryviews and Timestamp). Returns 1, having written
// nothing, when the plan proves less. Sets `*asked` when the plan was asked,
// so that the later typed step, which would answer the same, is skipped.
[[nodiscard]] int pack_typed_early(Packer *self, PyObject *o, int budget, bool before_builtins,
                                   bool *asked) noexcept;

}  // namespace quelm

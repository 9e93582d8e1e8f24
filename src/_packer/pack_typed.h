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

// pack_typed for a value the dispatch has not yet tested for ExtType, where
// nothing else it tests before the typed step can take it (no list, tuple,
// memoryview or Timestamp). Also returns 1, having written nothing, when the
// class's plan cannot prove that `o` is no ExtType instance.
[[nodiscard]] int pack_typed_early(Packer *self, PyObject *o, int budget) noexcept;

// pack_typed ahead of every other test of the dispatch's slow path, for a
// class whose plan proves that none of them could take its instances (no
// built-in base, no ExtType; the dispatch checks that ExtType's metaclass is
// plain). Returns 1, having written nothing, when the plan proves less; sets
// `*asked` when the plan was asked, so that the later typed steps, which
// would answer the same, are skipped.
[[nodiscard]] int pack_typed_first(Packer *self, PyObject *o, int budget, bool *asked) noexcept;

}  // namespace quelm

// Raising the sibling exception classes of quelm.exceptions. They are looked
// up by name in the module namespace each time one is raised (then in the
// builtins), so a caller who rebinds quelm._cquelm.FormatError changes what
// the core raises.
#pragma once

#include "_cquelm/common.h"

namespace quelm {

// Raises the class bound to `name` without arguments ("raise FormatError").
// Always returns -1 with an exception set (NameError if nothing is bound).
QUELM_COLD int raise_named(const char *name) noexcept;

// Calls the class bound to `name` with `args` (a tuple, borrowed) and raises
// the instance it returns. Always returns -1 with an exception set.
QUELM_COLD int raise_named_with(const char *name, PyObject *args) noexcept;

// Calls the class bound to `name` with the single str `message` and raises it.
QUELM_COLD int raise_named_message(const char *name, const char *message) noexcept;

}  // namespace quelm

// The stack guard of the packer's walk: its process-wide count of running
// walks, and the look at the thread's stack floor (walk_guard.h).
#include "_packer/walk_guard.h"

namespace quelm {

int g_running_walks = 0;

int enter_floor(Packer *self) noexcept {
    const uintptr_t floor = stack_floor();
    if (stack_exhausted(floor)) {
        PyErr_SetString(PyExc_ValueError,
                        "recursion limit exceeded: the value nests too deeply for this "
                        "thread's stack");
        return -1;
    }
    self->stack_limit = floor;
    return 0;
}

}  // namespace quelm

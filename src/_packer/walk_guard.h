// The stack guard of the packer's walk (dispatch.cpp, containers.cpp,
// pack_typed.cpp), which recurses once per container or record: each opens
// only while enough of the thread's stack is left (stack_guard.h).
//
// Finding the thread's stack floor costs more than packing a small value,
// and a value nested a few levels deep cannot exhaust the stack: the
// outermost walk on a thread may use kFreeWalk below its start, and looks up
// the floor only when it goes deeper. A walk started while another is
// running (a hook packing, or another thread while a hook has released the
// interpreter lock) may be deep in its thread's stack already, and checks
// against the floor from the start.
#pragma once

#include "_cquelm/stack_guard.h"
#include "_packer/packer.h"

namespace quelm {

inline constexpr uintptr_t kFreeWalk = 4 * 1024;

// Where the calling function's frames are on the stack. A local's address,
// as the frame address would make every function of the walk keep a frame
// pointer, which costs more than the guard itself.
#define QUELM_STACK_HERE(name)  \
    char name##_probe;          \
    const auto name = reinterpret_cast<uintptr_t>(&name##_probe)

// Walks running now, in any thread or Packer.
extern int g_running_walks;

// One walk of a value through pack_value, from the call that starts it.
class StackWalk {
public:
    explicit StackWalk(Packer *self) noexcept {
        QUELM_STACK_HERE(here);
        self->stack_limit = here - kFreeWalk;
        if (QUELM_UNLIKELY(g_running_walks++ != 0))
            self->stack_limit = stack_floor();
    }
    ~StackWalk() { g_running_walks--; }
    StackWalk(const StackWalk &) = delete;
    StackWalk &operator=(const StackWalk &) = delete;
};

// Whether the frames here are below the limit, where a container or record
// may open only after enter_floor.
QUELM_INLINE bool past_limit(const Packer *self) noexcept {
    QUELM_STACK_HERE(here);
    return here < self->stack_limit;
}

// Past the free part of the walk: the thread's stack floor becomes the limit
// and 0 is returned, or -1 with ValueError when the frames are below the
// floor already.
[[nodiscard]] QUELM_COLD int enter_floor(Packer *self) noexcept;

}  // namespace quelm

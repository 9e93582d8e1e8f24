// The stack guard of the packer's walk, which recurses once per container
// or record: each (containers.cpp, pack_typed.cpp) opens only while enough
// of the thread's stack is left (stack_guard.h). The calls that start a walk
// (pack, pack_map_pairs) hold a StackWalk while it runs.
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

// How far below its start the outermost walk goes before it looks up the
// floor: some 25 levels of lists, 10 of records.
inline constexpr uintptr_t kFreeWalk = 4 * 1024;

// The stack pointer where it can be read in one instruction; elsewhere the
// frame address, which makes each function of the walk keep a frame
// pointer. (A local's address would do on the stack, but a sanitizer may
// move locals to the heap.)
QUELM_INLINE uintptr_t stack_here() noexcept {
    uintptr_t sp;
#if defined(__x86_64__)
    __asm__("mov %%rsp, %0" : "=r"(sp));
#elif defined(__aarch64__)
    __asm__("mov %0, sp" : "=r"(sp));
#else
    sp = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#endif
    return sp;
}

// Walks running now, in any thread or Packer.
extern int g_running_walks;

// One walk of a value through pack_value, from the call that starts it.
class StackWalk {
public:
    explicit StackWalk(Packer *self) noexcept {
        self->stack_limit = stack_here() - kFreeWalk;
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
    return stack_here() < self->stack_limit;
}

// Past the free part of the walk: the thread's stack floor becomes the limit
// and 0 is returned, or -1 with ValueError when the frames are below the
// floor already.
[[nodiscard]] QUELM_COLD int enter_floor(Packer *self) noexcept;

}  // namespace quelm

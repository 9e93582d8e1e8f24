// How far a recursive walk (the typed decoder, the packer's walk) may
// recurse on the thread it runs on. Each recurses once per open container,
// up to the nesting limit (1024), which the 8 MiB stacks of ordinary threads
// hold many times over; a thread made with a small stack
// (threading.stack_size, or a C library whose threads start with 128 KiB)
// may not. So each container first checks that a margin of the thread's
// stack is left, and refuses to open otherwise.
#pragma once

#include "_cquelm/common.h"

namespace quelm {

// Room kept free below the deepest frame: enough for the frames of one more
// level and for the Python code a type may run there (__post_init__).
inline constexpr uintptr_t kStackMargin = 96 * 1024;

// The lowest address the decoder's frames may reach on this thread (the
// stack's end plus the margin), or 0 when the platform does not say.
uintptr_t stack_floor() noexcept;

QUELM_INLINE bool stack_exhausted(uintptr_t floor) noexcept {
    return reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < floor;
}

}  // namespace quelm

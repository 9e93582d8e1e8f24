// The stack floor of the calling thread (see stack_guard.h), found once per
// thread.
#include "_cquelm/stack_guard.h"

#if defined(__linux__) || defined(__FreeBSD__)
#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif
#elif defined(__APPLE__)
#include <pthread.h>
#endif

namespace quelm {

namespace {

uintptr_t find_floor() noexcept {
    uintptr_t low = 0;
#if defined(__linux__) || defined(__FreeBSD__)
    pthread_attr_t attr;
#if defined(__FreeBSD__)
    if (pthread_attr_init(&attr) != 0)
        return 0;
    if (pthread_attr_get_np(pthread_self(), &attr) == 0) {
#else
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
#endif
        void *addr = nullptr;
        size_t size = 0;
        if (pthread_attr_getstack(&attr, &addr, &size) == 0)
            low = reinterpret_cast<uintptr_t>(addr);
        pthread_attr_destroy(&attr);
    }
#elif defined(__APPLE__)
    pthread_t self = pthread_self();
    low = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self)) -
          pthread_get_stacksize_np(self);
#endif
    return low == 0 ? 0 : low + kStackMargin;
}

thread_local uintptr_t t_floor = 0;
thread_local bool t_known = false;

}  // namespace

uintptr_t stack_floor() noexcept {
    if (!t_known) {
        t_floor = find_floor();
        t_known = true;
    }
    return t_floor;
}

}  // namespace quelm

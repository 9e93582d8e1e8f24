// Skipping a value on the wire (see decode_wire.h).
#include "_typed/decode_wire.h"

#include "_cquelm/stack_guard.h"

namespace quelm {

int skip_value(TypedState &s, const char *&p) noexcept {
    Head h;
    if (const int st = read_head(p, s.end, h))
        return st;
    if (h.family != W_ARRAY && h.family != W_MAP)
        return T_OK;
    if (s.depth >= kMaxDepth || stack_exhausted(s.stack_floor))
        return T_TOO_DEEP;
    ++s.depth;
    const uint64_t items = h.family == W_MAP ? 2 * h.n : h.n;
    for (uint64_t i = 0; i < items; ++i)
        if (const int st = skip_value(s, p))
            return st;
    --s.depth;
    return T_OK;
}

}  // namespace quelm

// Going on past a value whose construction failed. The state machine stops
// at the item that raised (a hook, a limit, invalid UTF-8, a key or a
// timestamp refused) with the containers around it still open; a stream
// must not hand out the rest of that value as values of their own, so the
// context is turned into a skip of what remains of it.
#include "_unpacker/context.h"

namespace quelm {

bool discard_failed_value(DecodeContext *ctx, Py_ssize_t *offset) noexcept {
    uint32_t depth = ctx->depth;
    // A container whose construction failed stays on the stack without an
    // object (every other live frame holds one while constructing): its
    // header is read and its items are still to come.
    const bool failed_open = depth != 0 && ctx->stack[depth - 1].container == nullptr;
    for (uint32_t i = 0; i < depth; ++i) {
        Py_CLEAR(ctx->stack[i].pending_key);
        Py_CLEAR(ctx->stack[i].container);
    }
    Py_CLEAR(ctx->result);
    ctx->state = 0;
    ctx->trail = 0;
    // The failed item (or header) ends at *offset.
    *offset += 1;
    if (!failed_open) {
        // The item counts as received by the containers around it, closing
        // those it completes, as a skipped item would.
        while (depth != 0) {
            ContainerFrame &fr = ctx->stack[depth - 1];
            if (fr.container_type == MAP_KEY) {
                fr.container_type = MAP_VALUE;
                break;
            }
            if (fr.container_type == MAP_VALUE)
                fr.container_type = MAP_KEY;
            if (++fr.count != fr.size)
                break;
            depth -= 1;
        }
    }
    ctx->depth = depth;
    ctx->awaited = 0;
    ctx->active_routine = depth != 0 ? decode_skip : nullptr;
    return depth == 0;
}

}  // namespace quelm

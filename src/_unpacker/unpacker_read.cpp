// The Unpacker's reading operations: the common driver _unpack, which runs
// one decoding routine over the input buffer, refills it and maps the
// routine's status; unpack, skip, the header readers and iteration on top of
// it; read_bytes and tell beside it.
#include "_unpacker/unpacker.h"

#include "_cquelm/convert.h"
#include "_cquelm/errors.h"

#include <utility>

namespace quelm {

namespace {

Unpacker *as_unpacker(PyObject *o) noexcept { return reinterpret_cast<Unpacker *>(o); }

QUELM_COLD PyObject *raise_recursive() noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    "Unpacker cannot be called recursively while unpacking is in progress");
    return nullptr;
}

// The end of the available input. Iteration ends quietly, since more may
// be fed, except when the source reported its end with a value cut off:
// nothing can complete that value any more, and its bytes would vanish.
QUELM_COLD PyObject *raise_end_of_data(const Unpacker *self, bool iter) noexcept {
    static const char message[] = "No more data to unpack.";
    if (!iter) {
        raise_named_message("OutOfData", message);
        return nullptr;
    }
    if (self->source_ended && self->ctx.active_routine != nullptr) {
        const uint64_t left = self->stream_offset - self->value_start +
                              static_cast<uint64_t>(self->buf_tail - self->buf_head);
        char text[160];
        PyOS_snprintf(text, sizeof text,
                      "No more data to unpack: the input ended inside a value, "
                      "%llu bytes left over.",
                      static_cast<unsigned long long>(left));
        raise_named_message("OutOfData", text);
        return nullptr;
    }
    PyErr_SetString(PyExc_StopIteration, message);
    return nullptr;
}

QUELM_COLD PyObject *raise_too_deep() noexcept {
    raise_named("StackError");
    return nullptr;
}

// Consumes the bytes a routine read, from buf_head up to `offset`.
QUELM_INLINE void consume_to(Unpacker *self, Py_ssize_t offset) noexcept {
    self->stream_offset += static_cast<uint64_t>(offset - self->buf_head);
    self->buf_head = offset;
}

// Runs `routine` over the unconsumed bytes and consumes what it read.
QUELM_INLINE int run_routine(Unpacker *self, DecodeRoutine routine) noexcept {
    Py_ssize_t offset = self->buf_head;
    int status = routine(&self->ctx, self->buf, self->buf_tail, &offset);
    consume_to(self, offset);
    return status;
}

// Makes the context ready for the next value once one is complete, and
// returns the value (the context gives up its reference).
QUELM_INLINE PyObject *take_result(DecodeContext *ctx) noexcept {
    PyObject *result = ctx->result;
    ctx->result = nullptr;
    ctx->state = 0;
    ctx->trail = 0;
    ctx->depth = 0;
    ctx->active_routine = nullptr;
    return result;
}

// Skips what is buffered of a value being discarded. Needs no Python code,
// so it may run with the failure's exception pending. Returns 0, or the
// failing status (the context is cleared).
int skip_discarded(Unpacker *self) noexcept {
    int status = run_routine(self, decode_skip);
    if (status == DECODE_COMPLETE) {
        Py_DECREF(take_result(&self->ctx));
        self->discarding = false;
        return 0;
    }
    if (status == DECODE_NEED_MORE)
        return 0;
    clear_context(&self->ctx);
    self->discarding = false;
    // An invalid byte stays unconsumed and is met again; a nesting too deep
    // has no end to find.
    self->too_deep = status == DECODE_TOO_DEEP;
    return status;
}

// A routine failed (any status but complete and more-needed). A value that
// failed with an exception is not left behind in pieces: its remaining
// bytes are skipped now or by the next call, so that the next value comes
// next. Other failures clear the context. Returns NULL with the exception.
QUELM_NOINLINE PyObject *fail(Unpacker *self, DecodeRoutine routine, int status) noexcept {
    DecodeContext *ctx = &self->ctx;
    if (status == DECODE_ERROR && routine == decode_construct) {
        PendingError keep;
        Py_ssize_t offset = self->buf_head;
        self->discarding = !discard_failed_value(ctx, &offset);
        consume_to(self, offset);
        if (self->discarding && self->buf_head < self->buf_tail)
            (void)skip_discarded(self);
        return nullptr;
    }
    {
        PendingError keep;
        clear_context(ctx);
    }
    self->discarding = false;
    self->too_deep = status == DECODE_TOO_DEEP;
    raise_decode_status(status);
    return nullptr;
}

// The loop of _unpack, run while in_progress is held. The routine reads the
// buffer in place: nothing can move it meanwhile, since every operation that
// could (feed, __init__, a nested read) is refused while in_progress is set.
PyObject *drive(Unpacker *self, DecodeRoutine routine, bool iter) noexcept {
    DecodeContext *ctx = &self->ctx;
    for (;;) {
        if (self->buf_head < self->buf_tail) {
            if (ctx->active_routine == nullptr)
                self->value_start = self->stream_offset;
            if (QUELM_UNLIKELY(self->discarding)) {
                int status = skip_discarded(self);
                if (status != 0) {
                    raise_decode_status(status);
                    return nullptr;
                }
                if (!self->discarding)
                    continue;
            } else {
                ctx->active_routine = routine;
                int status = run_routine(self, routine);
                if (QUELM_LIKELY(status == DECODE_COMPLETE))
                    return take_result(ctx);
                if (status != DECODE_NEED_MORE)
                    return fail(self, routine, status);
            }
        }
        if (self->file_like == Py_None)
            return raise_end_of_data(self, iter);
        if (self->ops->read_from_file(self) < 0)
            return nullptr;
    }
}

// The five operations that run a routine go through the operation table.
PyObject *unpack_with(PyObject *o, DecodeRoutine routine, bool iter) noexcept {
    Unpacker *self = as_unpacker(o);
    return self->ops->_unpack(self, routine, iter);
}

// The part of read_bytes that the buffer could not give: `missing` bytes
// straight from the source, in one call that bypasses the buffer, appended
// to `ret`. The source is held in case the call re-initialises us.
Ref read_rest(Unpacker *self, Ref ret, Py_ssize_t missing) noexcept {
    const Py_ssize_t from_buffer = PyBytes_GET_SIZE(ret.get());
    Ref source = Ref::borrow(self->file_like);
    Ref read = Ref::steal(PyObject_GetAttrString(source.get(), "read"));
    if (!read)
        return Ref();
    Ref request = Ref::steal(PyLong_FromSsize_t(missing));
    if (!request)
        return Ref();
    Ref got = Ref::steal(PyObject_CallOneArg(read.get(), request.get()));
    if (!got)
        return Ref();
    Ref combined = Ref::steal(PyNumber_InPlaceAdd(ret.get(), got.get()));
    if (!combined)
        return Ref();
    Py_ssize_t total = PyObject_Size(combined.get());
    if (total < 0)
        return Ref();
    if (total > from_buffer)
        self->stream_offset += static_cast<uint64_t>(total - from_buffer);
    return combined;
}

}  // namespace

PyObject *unpacker_unpack_driver(Unpacker *self, DecodeRoutine routine, bool iter) noexcept {
    if (self->in_progress)
        return raise_recursive();
    if (!self->ready) {
        raise_not_ready();
        return nullptr;
    }
    if (self->too_deep)
        return raise_too_deep();
    // Any routine may go on with the rest of a failed value.
    if (self->ctx.active_routine != nullptr && self->ctx.active_routine != routine &&
        !self->discarding) {
        raise_switching();
        return nullptr;
    }
    self->in_progress = 1;
    PyObject *result = drive(self, routine, iter);
    self->in_progress = 0;
    return result;
}

// Unpacker.unpack(self)
PyObject *unpacker_unpack(PyObject *self, PyObject *) noexcept {
    return unpack_with(self, decode_construct, false);
}

// Unpacker.skip(self)
PyObject *unpacker_skip(PyObject *self, PyObject *) noexcept {
    return unpack_with(self, decode_skip, false);
}

// Unpacker.read_array_header(self)
PyObject *unpacker_read_array_header(PyObject *self, PyObject *) noexcept {
    return unpack_with(self, read_array_header, false);
}

// Unpacker.read_map_header(self)
PyObject *unpacker_read_map_header(PyObject *self, PyObject *) noexcept {
    return unpack_with(self, read_map_header, false);
}

// Unpacker.__next__(self)
PyObject *unpacker_iternext(PyObject *self) noexcept {
    return unpack_with(self, decode_construct, true);
}

// Unpacker.read_bytes(self, Py_ssize_t nbytes)
PyObject *unpacker_read_bytes(PyObject *o, PyObject *const *args, Py_ssize_t nargs,
                              PyObject *kwnames) noexcept {
    Unpacker *self = as_unpacker(o);
    PyObject *arg = single_argument("read_bytes", "nbytes", args, nargs, kwnames);
    if (arg == nullptr)
        return nullptr;
    Py_ssize_t nbytes = 0;
    if (convert_ssize(arg, &nbytes) < 0)
        return nullptr;
    if (self->in_progress) {
        PyErr_SetString(PyExc_RuntimeError,
                        "Unpacker.read_bytes() cannot be called while unpacking is in progress");
        return nullptr;
    }
    if (!self->ready) {
        raise_not_ready();
        return nullptr;
    }
    // Reading raw bytes is how a caller moves on by hand: from the rest of
    // a failed value, or from a nesting too deep.
    if (nbytes > 0) {
        if (self->discarding) {
            clear_context(&self->ctx);
            self->discarding = false;
        }
        self->too_deep = false;
    }
    if (self->ctx.active_routine != nullptr) {
        raise_switching();
        return nullptr;
    }
    if (nbytes < 0) {
        PyErr_SetString(PyExc_ValueError, "nbytes must not be negative");
        return nullptr;
    }
    Py_ssize_t avail = self->buf_tail - self->buf_head;
    Py_ssize_t from_buffer = nbytes < avail ? nbytes : avail;
    Ref ret = Ref::steal(PyBytes_FromStringAndSize(self->buf + self->buf_head, from_buffer));
    if (!ret)
        return nullptr;
    // Consumed before the read, which may use this Unpacker; given back if
    // the read fails and nothing has used the buffer meanwhile.
    consume_to(self, self->buf_head + from_buffer);
    if (avail >= nbytes || self->file_like == Py_None)
        return ret.release();
    const uint64_t generation = self->generation, offset_after = self->stream_offset;
    const Py_ssize_t head_after = self->buf_head;
    Ref combined = read_rest(self, std::move(ret), nbytes - from_buffer);
    if (!combined && self->generation == generation && self->stream_offset == offset_after &&
        self->buf_head == head_after) {
        self->buf_head -= from_buffer;
        self->stream_offset -= static_cast<uint64_t>(from_buffer);
    }
    return combined.release();
}

// Unpacker.tell(self)
PyObject *unpacker_tell(PyObject *self, PyObject *) noexcept {
    return PyLong_FromUnsignedLongLong(as_unpacker(self)->stream_offset);
}

// Unpacker._bytes_needed(self): how many bytes beyond those fed the value in
// progress needs at the least, so that a reader which must not read past the
// value may still read that many at once. Every item the open containers
// still wait for needs a byte of its own, except the containers that are
// open themselves (each fills its parent's slot with its own items); the
// item cut off at the buffer's head needs what its state still lacks. 0
// when nothing is known (between values, or while recovering from a
// failure).
PyObject *unpacker_bytes_needed(PyObject *o, PyObject *) noexcept {
    const Unpacker *self = as_unpacker(o);
    const DecodeContext &ctx = self->ctx;
    if (!self->ready || self->discarding || self->too_deep || ctx.active_routine == nullptr)
        return PyLong_FromLong(0);
    const uint64_t own = ctx.depth == 0 ? 1 : ctx.awaited - (ctx.depth - 1);
    const uint64_t total = (ctx.state != 0 ? ctx.trail : 1) + (own - 1);
    const uint64_t held = static_cast<uint64_t>(self->buf_tail - self->buf_head);
    return PyLong_FromUnsignedLongLong(total > held ? total - held : 0);
}

}  // namespace quelm

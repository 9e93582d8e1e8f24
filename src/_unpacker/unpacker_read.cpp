// The Unpacker's reading operations: the common driver _unpack, which runs
// one decoding routine over the input buffer, refills it and maps the
// routine's status; unpack, skip, the header readers and iteration on top of
// it; read_bytes and tell beside it.
#include "_unpacker/unpacker.h"

#include "_cquelm/convert.h"
#include "_cquelm/errors.h"

namespace quelm {

namespace {

Unpacker *as_unpacker(PyObject *o) noexcept { return reinterpret_cast<Unpacker *>(o); }

QUELM_COLD PyObject *raise_recursive() noexcept {
    PyErr_SetString(PyExc_RuntimeError,
                    "Unpacker cannot be called recursively while unpacking is in progress");
    return nullptr;
}

QUELM_COLD PyObject *raise_end_of_data(bool iter) noexcept {
    static const char message[] = "No more data to unpack.";
    if (iter)
        PyErr_SetString(PyExc_StopIteration, message);
    else
        raise_named_message("OutOfData", message);
    return nullptr;
}

// The loop of _unpack, run while in_progress is held. The routine reads the
// buffer in place: nothing can move it meanwhile, since every operation that
// could (feed, __init__, a nested read) is refused while in_progress is set.
PyObject *drive(Unpacker *self, DecodeRoutine routine, bool iter) noexcept {
    DecodeContext *ctx = &self->ctx;
    for (;;) {
        if (self->buf_head < self->buf_tail) {
            Py_ssize_t prev = self->buf_head, offset = prev;
            ctx->active_routine = routine;
            int status = routine(ctx, self->buf, self->buf_tail, &offset);
            self->buf_head = offset;
            self->stream_offset += static_cast<uint64_t>(offset - prev);
            if (QUELM_LIKELY(status == DECODE_COMPLETE)) {
                PyObject *result = ctx->result;
                ctx->result = nullptr;
                ctx->state = 0;
                ctx->trail = 0;
                ctx->depth = 0;
                ctx->active_routine = nullptr;
                return result;
            }
            if (status != DECODE_NEED_MORE) {
                {
                    PendingError keep;
                    clear_context(ctx);
                }
                raise_decode_status(status);
                return nullptr;
            }
        }
        if (self->file_like == Py_None)
            return raise_end_of_data(iter);
        if (self->ops->read_from_file(self) < 0)
            return nullptr;
    }
}

// The five operations that run a routine go through the operation table.
PyObject *unpack_with(PyObject *o, DecodeRoutine routine, bool iter) noexcept {
    Unpacker *self = as_unpacker(o);
    return self->ops->_unpack(self, routine, iter);
}

}  // namespace

PyObject *unpacker_unpack_driver(Unpacker *self, DecodeRoutine routine, bool iter) noexcept {
    if (self->in_progress)
        return raise_recursive();
    if (!self->ready) {
        raise_not_ready();
        return nullptr;
    }
    if (self->ctx.active_routine != nullptr && self->ctx.active_routine != routine) {
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
    self->buf_head += from_buffer;
    // Counted now: these bytes stay consumed whatever the read below does.
    self->stream_offset += static_cast<uint64_t>(from_buffer);
    if (avail >= nbytes || self->file_like == Py_None)
        return ret.release();

    // The rest comes straight from the source, in one call that bypasses
    // the buffer; the source is held in case the call re-initialises us.
    Ref source = Ref::borrow(self->file_like);
    Ref read = Ref::steal(PyObject_GetAttrString(source.get(), "read"));
    if (!read)
        return nullptr;
    Ref request = Ref::steal(PyLong_FromSsize_t(nbytes - from_buffer));
    if (!request)
        return nullptr;
    Ref got = Ref::steal(PyObject_CallOneArg(read.get(), request.get()));
    if (!got)
        return nullptr;
    Ref combined = Ref::steal(PyNumber_InPlaceAdd(ret.get(), got.get()));
    if (!combined)
        return nullptr;
    Py_ssize_t total = PyObject_Size(combined.get());
    if (total < 0)
        return nullptr;
    if (total > from_buffer)
        self->stream_offset += static_cast<uint64_t>(total - from_buffer);
    return combined.release();
}

// Unpacker.tell(self)
PyObject *unpacker_tell(PyObject *self, PyObject *) noexcept {
    return PyLong_FromUnsignedLongLong(as_unpacker(self)->stream_offset);
}

}  // namespace quelm

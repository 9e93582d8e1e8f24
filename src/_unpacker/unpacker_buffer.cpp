// The Unpacker's input buffer: appending bytes (compacting before growing,
// growing by allocate-copy-free up to max_buffer_size) and refilling from
// file_like.read.
#include "_unpacker/unpacker.h"

#include "_cquelm/errors.h"

#include <cstring>

namespace quelm {

namespace {

QUELM_COLD int raise_buffer_full() noexcept { return raise_named("BufferFull"); }

// Moves the live bytes into a block of `capacity` bytes (or to the start of
// the current one) and appends `length` bytes behind them. A failed
// allocation leaves the buffer exactly as it was.
QUELM_NOINLINE int relocate(Unpacker *self, const char *data, Py_ssize_t length,
                            Py_ssize_t capacity) noexcept {
    Py_ssize_t live = self->buf_tail - self->buf_head;
    char *target = self->buf;
    if (capacity != self->buf_size) {
        target = static_cast<char *>(PyMem_Malloc(static_cast<size_t>(capacity)));
        if (target == nullptr) {
            PyErr_SetString(PyExc_MemoryError, "Unable to enlarge internal buffer.");
            return -1;
        }
        std::memcpy(target, self->buf + self->buf_head, static_cast<size_t>(live));
        PyMem_Free(self->buf);
        self->buf = target;
        self->buf_size = capacity;
    } else if (self->buf_head != 0) {
        std::memmove(target, self->buf + self->buf_head, static_cast<size_t>(live));
    }
    if (length != 0)
        std::memcpy(target + live, data, static_cast<size_t>(length));
    self->buf_head = 0;
    self->buf_tail = live + length;
    return 0;
}

// Sorts what file_like.read returned: 1 with its bytes (a bytes object,
// a subclass included: its own bytes, whatever its __len__ or __bool__
// claim), 0 for the end of input (None, or zero bytes), or -1 with
// TypeError for anything else. Other bytes-like results are refused as
// before, unless empty; other objects end the input when false.
int read_result(PyObject *got, const char **data, Py_ssize_t *length) noexcept {
    if (PyBytes_Check(got)) {
        *data = PyBytes_AS_STRING(got);
        *length = PyBytes_GET_SIZE(got);
        return *length != 0;
    }
    if (got == Py_None)
        return 0;
    if (PyObject_CheckBuffer(got)) {
        Py_buffer view;
        if (PyObject_GetBuffer(got, &view, PyBUF_SIMPLE) < 0)
            return -1;
        const Py_ssize_t len = view.len;
        PyBuffer_Release(&view);
        if (len == 0)
            return 0;
    } else {
        int truth = PyObject_IsTrue(got);
        if (truth <= 0)
            return truth;
    }
    char *unused = nullptr;
    Py_ssize_t unused_length = 0;
    return PyBytes_AsStringAndSize(got, &unused, &unused_length);
}

// Appends the whole of a read that went past max_buffer_size, into a block
// just large enough.
QUELM_COLD int append_beyond_limit(Unpacker *self, const char *data, Py_ssize_t length) noexcept {
    Py_ssize_t live = self->buf_tail - self->buf_head;
    if (length > PY_SSIZE_T_MAX - live) {
        PyErr_SetString(PyExc_MemoryError, "Unable to enlarge internal buffer.");
        return -1;
    }
    return relocate(self, data, length, live + length);
}

}  // namespace

int append_buffer(Unpacker *self, const char *data, Py_ssize_t length) noexcept {
    // Written as differences so that no sum can overflow: tail <= size and
    // live <= size <= max_buffer_size hold throughout.
    if (QUELM_LIKELY(length <= self->buf_size - self->buf_tail)) {
        if (length != 0)
            std::memcpy(self->buf + self->buf_tail, data, static_cast<size_t>(length));
        self->buf_tail += length;
        return 0;
    }
    Py_ssize_t live = self->buf_tail - self->buf_head;
    if (length <= self->buf_size - live)
        return relocate(self, data, length, self->buf_size);
    if (length > self->max_buffer_size - live)
        return raise_buffer_full();
    Py_ssize_t needed = live + length;
    Py_ssize_t capacity =
        needed > self->max_buffer_size / 2 ? self->max_buffer_size : 2 * needed;
    return relocate(self, data, length, capacity);
}

int read_from_file(Unpacker *self) noexcept {
    Py_ssize_t space = self->max_buffer_size - (self->buf_tail - self->buf_head);
    if (space <= 0)
        return raise_buffer_full();
    Ref request = Ref::steal(PyLong_FromSsize_t(self->read_size < space ? self->read_size : space));
    if (!request)
        return -1;
    // Held for the call: nothing but this object's own __init__ could drop
    // it, and that is refused while a read runs, but the call must not
    // depend on it.
    Ref read = Ref::borrow(self->file_like_read);
    Ref got = Ref::steal(PyObject_CallOneArg(read.get(), request.get()));
    if (!got)
        return -1;
    const char *data = nullptr;
    Py_ssize_t length = 0;
    int r = read_result(got.get(), &data, &length);
    if (r < 0)
        return -1;
    if (r == 0) {
        // End of input: from now on the object behaves as one fed by hand.
        PyObject *old_source = self->file_like, *old_read = self->file_like_read;
        self->file_like = Py_NewRef(Py_None);
        self->file_like_read = Py_NewRef(Py_None);
        self->source_ended = true;
        Py_DECREF(old_source);
        Py_DECREF(old_read);
        return 0;
    }
    // A source may return more than was asked; those bytes are kept, past
    // max_buffer_size if need be, rather than lost. Until they are
    // consumed, the next refill raises BufferFull instead of reading.
    if (length > self->max_buffer_size - (self->buf_tail - self->buf_head))
        return append_beyond_limit(self, data, length);
    return self->ops->append_buffer(self, data, length);
}

}  // namespace quelm

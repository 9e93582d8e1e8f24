// Reading and emptying a Packer's buffer without packing: bytes(),
// getbuffer() and the buffer protocol, reset(), and the refusal to pickle.
// A live view freezes the buffer (see OutputBuffer::write_limit), so the
// exported bytes stay where they are and as they are until it is released.
#include "_packer/packer.h"

namespace quelm {

namespace {

int packer_get_view(PyObject *op, Py_buffer *view, int flags) noexcept {
    if (view == nullptr) {
        PyErr_SetString(PyExc_BufferError, "PyObject_GetBuffer: view==NULL argument is obsolete");
        return -1;
    }
    auto *self = reinterpret_cast<Packer *>(op);
    if (PyBuffer_FillInfo(view, op, self->buffer.buf,
                          static_cast<Py_ssize_t>(self->buffer.length), 1, flags) < 0)
        return -1;
    if (self->exports++ == 0)
        buffer_freeze(&self->buffer);
    return 0;
}

void packer_release_view(PyObject *op, Py_buffer *) noexcept {
    auto *self = reinterpret_cast<Packer *>(op);
    if (--self->exports == 0)
        buffer_thaw(&self->buffer);
}

QUELM_COLD PyObject *refuse_pickling() noexcept {
    PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
    return nullptr;
}

}  // namespace

PyBufferProcs packer_as_buffer = {
    .bf_getbuffer = packer_get_view,
    .bf_releasebuffer = packer_release_view,
};

// Packer.reset(self)
PyObject *packer_reset(PyObject *op, PyObject *) noexcept {
    auto *self = reinterpret_cast<Packer *>(op);
    if (check_exports(self) < 0)
        return nullptr;
    // Emptying the buffer under a running write would cut the front off
    // the value it is writing.
    if (self->writing > 0) {
        PyErr_SetString(PyExc_RuntimeError, "Packer cannot be reset while packing is in progress");
        return nullptr;
    }
    self->buffer.length = 0;
    Py_RETURN_NONE;
}

// Packer.bytes(self)
PyObject *packer_bytes(PyObject *op, PyObject *) noexcept {
    auto *self = reinterpret_cast<Packer *>(op);
    return PyBytes_FromStringAndSize(self->buffer.buf,
                                     static_cast<Py_ssize_t>(self->buffer.length));
}

// Packer.getbuffer(self)
PyObject *packer_getbuffer(PyObject *op, PyObject *) noexcept {
    return PyMemoryView_FromObject(op);
}

// Packer.__reduce__(self)
PyObject *packer_reduce(PyObject *, PyObject *) noexcept { return refuse_pickling(); }

// Packer.__setstate__(self, state)
PyObject *packer_setstate(PyObject *, PyObject *) noexcept { return refuse_pickling(); }

}  // namespace quelm

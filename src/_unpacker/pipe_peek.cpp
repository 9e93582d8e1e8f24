// _peek_pipe: the bytes a pipe holds, looked at without consuming them.
//
// quelm.unpack must never consume a byte past the value it reads, and a pipe
// cannot be read back. A buffered reader's peek() shows at most its own
// buffer (4 or 8 KiB), so a long value costs one round of peek, decode and
// read per buffer, and each of those reads wakes the writer once more. On
// Linux, tee() copies the pipe's pages into a pipe of our own without taking
// them from the source: the decoder sees everything the writer has put in
// (up to the private pipe's capacity) and the caller then reads exactly the
// bytes the value used. Elsewhere the function is absent and the caller keeps
// to peek().
#include "_cquelm/module.h"

#if defined(__linux__)
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace quelm {

#if defined(__linux__)
namespace {

// Drains the private pipe of the `teed` bytes just put there into `out`,
// so that the next look starts on an empty one. 0, or -1 with errno set.
int drain(int read_end, char *out, ssize_t teed) noexcept {
    ssize_t got = 0;
    while (got < teed) {
        ssize_t r;
        Py_BEGIN_ALLOW_THREADS
        r = read(read_end, out + got, static_cast<size_t>(teed - got));
        Py_END_ALLOW_THREADS
        if (r > 0) {
            got += r;
        } else if (r == 0) {
            errno = EPIPE;
            return -1;
        } else if (errno != EINTR) {
            return -1;
        }
    }
    return 0;
}

// _peek_pipe(fd, read_end, write_end, into) -> int
//
// The bytes go into the caller's buffer (the one a failed value is replayed
// from), not into a fresh bytes object: at a pipe's 64 KiB a look, a fresh
// block each time costs page faults and a copy more than the decoding of
// those bytes saves.
PyObject *peek_pipe(PyObject *, PyObject *const *args, Py_ssize_t nargs) noexcept {
    if (nargs != 4) {
        PyErr_Format(PyExc_TypeError, "_peek_pipe() takes exactly 4 arguments (%zd given)", nargs);
        return nullptr;
    }
    int fds[3];
    for (int i = 0; i < 3; ++i) {
        const long fd = PyLong_AsLong(args[i]);
        if (fd == -1 && PyErr_Occurred())
            return nullptr;
        if (fd < 0 || fd > INT_MAX) {
            PyErr_SetString(PyExc_ValueError, "file descriptor out of range");
            return nullptr;
        }
        fds[i] = static_cast<int>(fd);
    }
    Py_buffer into;
    if (PyObject_GetBuffer(args[3], &into, PyBUF_WRITABLE) < 0)
        return nullptr;
    if (into.len <= 0) {
        PyBuffer_Release(&into);
        PyErr_SetString(PyExc_ValueError, "the buffer must not be empty");
        return nullptr;
    }
    // Blocks while the source is empty and still has a writer, as read()
    // would; 0 means it is empty and has none (the end of the input). The
    // private pipe is empty on entry, so tee never waits for room there.
    // The buffer stays exported while the lock is released, so no other
    // thread can resize or free it meanwhile.
    ssize_t teed;
    for (;;) {
        Py_BEGIN_ALLOW_THREADS
        teed = tee(fds[0], fds[2], static_cast<size_t>(into.len), 0);
        Py_END_ALLOW_THREADS
        if (teed >= 0)
            break;
        if (errno != EINTR || PyErr_CheckSignals() < 0) {
            if (!PyErr_Occurred())
                PyErr_SetFromErrno(PyExc_OSError);
            PyBuffer_Release(&into);
            return nullptr;
        }
    }
    // Drained whatever happens (a signal's handler may wait for its turn).
    const int drained = teed == 0 ? 0 : drain(fds[1], static_cast<char *>(into.buf), teed);
    PyBuffer_Release(&into);
    if (drained < 0)
        return PyErr_SetFromErrno(PyExc_OSError);
    return PyLong_FromSsize_t(teed);
}

PyMethodDef peek_pipe_def = {
    "_peek_pipe",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(peek_pipe)),
    METH_FASTCALL,
    "_peek_pipe(fd, read_end, write_end, into) -> int\n"
    "\n"
    "Copies up to len(into) bytes from the start of the pipe *fd* into the\n"
    "writable buffer *into*, leaving them in the pipe, and returns how many; 0\n"
    "at the end of the input. They pass through the empty private pipe whose\n"
    "two ends are given. Waits, as a read would, while *fd* is empty.",
};

}  // namespace
#endif

int pipe_peek_publish(PyObject *module) noexcept {
#if defined(__linux__)
    Ref name = Ref::steal(PyUnicode_FromString("quelm._cquelm"));
    if (!name)
        return -1;
    Ref fn = Ref::steal(PyCFunction_NewEx(&peek_pipe_def, nullptr, name.get()));
    if (!fn)
        return -1;
    return PyModule_AddObjectRef(module, "_peek_pipe", fn.get());
#else
    (void)module;
    return 0;
#endif
}

}  // namespace quelm

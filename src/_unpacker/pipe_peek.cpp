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

// _peek_pipe(fd, read_end, write_end, size) -> bytes
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
    const Py_ssize_t size = PyLong_AsSsize_t(args[3]);
    if (size == -1 && PyErr_Occurred())
        return nullptr;
    if (size <= 0) {
        PyErr_SetString(PyExc_ValueError, "size must be positive");
        return nullptr;
    }
    // Blocks while the source is empty and still has a writer, as read()
    // would; 0 means it is empty and has none (the end of the input). The
    // private pipe is empty on entry, so tee never waits for room there.
    ssize_t teed;
    for (;;) {
        Py_BEGIN_ALLOW_THREADS
        teed = tee(fds[0], fds[2], static_cast<size_t>(size), 0);
        Py_END_ALLOW_THREADS
        if (teed >= 0)
            break;
        if (errno != EINTR || PyErr_CheckSignals() < 0) {
            if (!PyErr_Occurred())
                PyErr_SetFromErrno(PyExc_OSError);
            return nullptr;
        }
    }
    PyObject *result = PyBytes_FromStringAndSize(nullptr, teed);
    if (result == nullptr || teed == 0)
        return result;
    // Drain the private pipe whatever happens, so that the next look starts
    // on an empty one.
    char *out = PyBytes_AS_STRING(result);
    ssize_t got = 0;
    while (got < teed) {
        ssize_t r;
        Py_BEGIN_ALLOW_THREADS
        r = read(fds[1], out + got, static_cast<size_t>(teed - got));
        Py_END_ALLOW_THREADS
        if (r > 0) {
            got += r;
        } else if (r == 0) {
            errno = EPIPE;
            break;
        } else if (errno != EINTR) {
            break;
        }
    }
    if (got < teed) {
        Py_DECREF(result);
        PyErr_SetFromErrno(PyExc_OSError);
        return nullptr;
    }
    return result;
}

PyMethodDef peek_pipe_def = {
    "_peek_pipe",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(peek_pipe)),
    METH_FASTCALL,
    "_peek_pipe(fd, read_end, write_end, size) -> bytes\n"
    "\n"
    "Up to *size* bytes from the start of the pipe *fd*, left in it; b'' at the\n"
    "end of the input. They pass through the empty private pipe whose two ends\n"
    "are given. Waits, as a read would, while *fd* is empty.",
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

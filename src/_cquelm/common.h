// Shared vocabulary of the native core: branch hints, the owned-reference
// type, and the one return convention every internal routine follows.
//
// Return convention (written once, here):
//   * internal routines return int: 0 on success, -1 on failure with a Python
//     exception set;
//   * the packer's dispatch (_pack_inner) may also return -2: "defer this value
//     to the default hook", with no exception set;
//   * decoding routines return a DecodeStatus (see _unpacker/context.h):
//     1 complete, 0 more input needed, -1 exception set, -2 invalid byte,
//     -3 nesting too deep;
//   * Python-facing functions return a new reference, or NULL with an
//     exception set.
// Nothing here throws: the module is built without C++ exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>

#if PY_VERSION_HEX < 0x030A0000
// Interfaces the core uses that arrived in 3.10.
static inline PyObject *Py_NewRef(PyObject *o) {
    Py_INCREF(o);
    return o;
}
static inline PyObject *Py_XNewRef(PyObject *o) {
    Py_XINCREF(o);
    return o;
}
static inline int PyModule_AddObjectRef(PyObject *module, const char *name, PyObject *value) {
    Py_INCREF(value);
    if (PyModule_AddObject(module, name, value) < 0) {
        Py_DECREF(value);
        return -1;
    }
    return 0;
}
#endif

#if defined(_MSC_VER) && !defined(__clang__)
// MSVC's own compiler has no branch hints and no cold attribute.
#define QUELM_LIKELY(x) (x)
#define QUELM_UNLIKELY(x) (x)
#define QUELM_INLINE __forceinline
#define QUELM_NOINLINE __declspec(noinline)
#define QUELM_COLD __declspec(noinline)
#else
#define QUELM_LIKELY(x) __builtin_expect(!!(x), 1)
#define QUELM_UNLIKELY(x) __builtin_expect(!!(x), 0)
#define QUELM_INLINE inline __attribute__((always_inline))
#define QUELM_NOINLINE __attribute__((noinline))
// Error raisers live out of line so that the hot paths stay small.
#define QUELM_COLD __attribute__((cold, noinline))
#endif

namespace quelm {

// A move-only owned reference for cold paths (construction, option parsing,
// hook calls). Hot loops use raw pointers with a single exit label instead.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref &operator=(Ref &&other) noexcept {
        if (this != &other) {
            PyObject *old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a reference the caller owns (may be NULL).
    static Ref steal(PyObject *o) noexcept { return Ref(o); }
    // Adds a reference of its own to a borrowed object (may be NULL).
    static Ref borrow(PyObject *o) noexcept {
        Py_XINCREF(o);
        return Ref(o);
    }

    PyObject *get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    // Hands the reference to the caller; this Ref becomes empty.
    PyObject *release() noexcept {
        PyObject *o = p_;
        p_ = nullptr;
        return o;
    }
    // Replaces the held reference by a stolen one, releasing the old one last.
    void reset(PyObject *stolen = nullptr) noexcept {
        PyObject *old = p_;
        p_ = stolen;
        Py_XDECREF(old);
    }

private:
    explicit Ref(PyObject *o) noexcept : p_(o) {}
    PyObject *p_ = nullptr;
};

// Saves the pending exception on construction and restores it on destruction,
// so that clean-up code run in between can neither replace nor clear it.
class PendingError {
public:
    PendingError() noexcept { PyErr_Fetch(&type_, &value_, &tb_); }
    ~PendingError() { PyErr_Restore(type_, value_, tb_); }
    PendingError(const PendingError &) = delete;
    PendingError &operator=(const PendingError &) = delete;

private:
    PyObject *type_ = nullptr;
    PyObject *value_ = nullptr;
    PyObject *tb_ = nullptr;
};

}  // namespace quelm

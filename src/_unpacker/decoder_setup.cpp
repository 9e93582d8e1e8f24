// Setup shared by unpackb and the Unpacker: init_ctx validates the decoding
// options into a context, get_data_from_buffer turns any bytes-like object
// into one contiguous read-only run of bytes.
#include "_cquelm/errors.h"
#include "_cquelm/state.h"
#include "_unpacker/context.h"

namespace quelm {

namespace {

QUELM_COLD int raise_type_error(const char *message) noexcept {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
}

}  // namespace

int init_ctx(DecodeContext *ctx, PyObject *object_hook, PyObject *object_pairs_hook,
             PyObject *list_hook, PyObject *ext_hook, bool use_list, bool raw, int32_t timestamp,
             bool strict_map_key, const char *unicode_errors, int64_t max_str_len,
             int64_t max_bin_len, int64_t max_array_len, int64_t max_map_len,
             int64_t max_ext_len) noexcept {
    // The decoding state comes first, so that clear_context is safe whatever
    // fails below.
    ctx->state = 0;
    ctx->trail = 0;
    ctx->depth = 0;
    ctx->awaited = 0;
    ctx->result = nullptr;
    ctx->active_routine = nullptr;

    DecodeOptions &o = ctx->options;
    o.use_list = use_list;
    o.raw = raw;
    o.strict_map_key = strict_map_key;
    o.use_pairs_hook = false;
    o.object_hook = nullptr;
    o.list_hook = nullptr;
    o.ext_hook = nullptr;
    o.timestamp = 0;
    o.timestamp_type = g_state.timestamp_type;
    o.ns_per_second = g_state.ns_per_second;
    o.utc = g_state.utc;
    o.unicode_errors = nullptr;
    o.max_str_len = max_str_len;
    o.max_bin_len = max_bin_len;
    o.max_array_len = max_array_len;
    o.max_map_len = max_map_len;
    o.max_ext_len = max_ext_len;

    if (object_hook != Py_None && object_pairs_hook != Py_None)
        return raise_type_error("object_pairs_hook and object_hook are mutually exclusive.");
    if (object_hook != Py_None) {
        if (!PyCallable_Check(object_hook))
            return raise_type_error("object_hook must be a callable.");
        o.object_hook = object_hook;
    }
    if (object_pairs_hook != Py_None) {
        if (!PyCallable_Check(object_pairs_hook))
            return raise_type_error("object_pairs_hook must be a callable.");
        o.object_hook = object_pairs_hook;
        o.use_pairs_hook = true;
    }
    if (list_hook != Py_None) {
        if (!PyCallable_Check(list_hook))
            return raise_type_error("list_hook must be a callable.");
        o.list_hook = list_hook;
    }
    if (ext_hook != Py_None) {
        if (!PyCallable_Check(ext_hook))
            return raise_type_error("ext_hook must be a callable.");
        o.ext_hook = ext_hook;
    }
    if (timestamp < 0 || timestamp > 3) {
        PyErr_SetString(PyExc_ValueError, "timestamp must be 0..3");
        return -1;
    }
    o.timestamp = timestamp;
    o.unicode_errors = unicode_errors;
    return 0;
}

int get_data_from_buffer(PyObject *obj, Py_buffer *view, const char **buf,
                         Py_ssize_t *buf_len) noexcept {
    if (PyObject_GetBuffer(obj, view, PyBUF_FULL_RO) < 0)
        return -1;
    if (view->itemsize != 1) {
        PyBuffer_Release(view);
        PyErr_SetString(PyExc_BufferError, "cannot unpack from multi-byte object");
        return -1;
    }
    if (PyBuffer_IsContiguous(view, 'C')) {
        *buf = static_cast<const char *>(view->buf);
        *buf_len = view->len;
        return 0;
    }
    PyBuffer_Release(view);
    PyObject *copy = PyMemoryView_GetContiguous(obj, PyBUF_READ, 'C');
    if (copy == nullptr)
        return -1;
    if (PyObject_GetBuffer(copy, view, PyBUF_SIMPLE) < 0) {
        Py_DECREF(copy);
        return -1;
    }
    *buf = static_cast<const char *>(view->buf);
    *buf_len = view->len;
    Py_DECREF(copy);
    return 0;
}

void raise_decode_status(int status) noexcept {
    switch (status) {
    case DECODE_ERROR:
        break;
    case DECODE_NEED_MORE:
        PyErr_SetString(PyExc_ValueError, "Unpack failed: incomplete input");
        break;
    case DECODE_INVALID_BYTE:
        raise_named("FormatError");
        break;
    case DECODE_TOO_DEEP:
        raise_named("StackError");
        break;
    default:
        PyErr_Format(PyExc_ValueError, "Unpack failed: error = %d", status);
        break;
    }
}

}  // namespace quelm

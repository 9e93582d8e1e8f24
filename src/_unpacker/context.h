// The decoder's shared records: DecodeOptions, ContainerFrame, DecodeContext,
// the DecodeStatus codes, and the routines that drive a context. unpackb runs
// a context once over its whole input; the Unpacker embeds one and resumes it
// across feeds.
#pragma once

#include "_cquelm/common.h"

namespace quelm {

// Result of every decoding routine.
enum DecodeStatus : int {
    DECODE_COMPLETE = 1,       // one top-level value is complete, in ctx->result
    DECODE_NEED_MORE = 0,      // input ended first; call again with more bytes
    DECODE_ERROR = -1,         // a Python exception is set
    DECODE_INVALID_BYTE = -2,  // 0xc1 where a value was expected; no exception set
    DECODE_TOO_DEEP = -3,      // a container would open at depth 1024; no exception set
};

// Decoding options, filled by init_ctx and read only by the construction
// operations. Object fields are borrowed: whoever fills the record keeps
// them alive for as long as the context is used.
struct DecodeOptions {
    bool use_list;
    bool raw;
    bool use_pairs_hook;
    bool strict_map_key;
    int32_t timestamp;           // mode 0..3
    PyObject *object_hook;       // or the object_pairs_hook when use_pairs_hook; may be NULL
    PyObject *list_hook;         // may be NULL
    PyObject *ext_hook;          // may be NULL
    PyObject *timestamp_type;
    PyObject *ns_per_second;
    PyObject *utc;
    const char *unicode_errors;  // NULL: strict
    int64_t max_str_len;
    int64_t max_bin_len;
    int64_t max_array_len;
    int64_t max_map_len;
    int64_t max_ext_len;
};

enum ContainerType : uint32_t {
    ARRAY_ITEM = 0,
    MAP_KEY = 1,
    MAP_VALUE = 2,
};

// One open container.
struct ContainerFrame {
    PyObject *container;    // owned; NULL in skip mode and once completed
    uint64_t size;          // items (pairs for a map) announced by the header
    uint64_t count;         // items (pairs) completed so far, below size
    uint32_t container_type;
    PyObject *pending_key;  // owned; a completed key waiting for its value
};

inline constexpr uint32_t kMaxDepth = 1024;

struct DecodeContext;

// The shape shared by the four routines the Unpacker can drive: the two
// decoding modes and the two container-header readers.
using DecodeRoutine = int (*)(DecodeContext *ctx, const char *data, Py_ssize_t length,
                              Py_ssize_t *offset);

// The resumable state of one decoding. No pointers into itself, so it can
// live in automatic storage or inside another object.
struct DecodeContext {
    DecodeOptions options;
    uint32_t state;            // HEADER (0) between items
    uint64_t trail;            // bytes the current state needs; may be 2^32
    uint32_t depth;            // open containers; frames 0..depth-1 are live
    // Items the live frames still wait for (a map pair counts twice). Every
    // awaited item needs at least one more byte, so it bounds how far a new
    // container may be pre-sized from the bytes at hand. 0 whenever depth is 0.
    uint64_t awaited;
    PyObject *result;          // owned; the completed value (or header count)
    DecodeRoutine active_routine;  // maintained by the Unpacker only
    ContainerFrame stack[kMaxDepth];
};

// The state machine. construct: build objects (true) or only validate and
// consume (false). `*offset` is where decoding continues (0 <= *offset <=
// length) and, on return, how far bytes are consumed.
[[nodiscard]] int decode_execute(bool construct, DecodeContext *ctx, const char *data,
                                 Py_ssize_t length, Py_ssize_t *offset) noexcept;
[[nodiscard]] int decode_construct(DecodeContext *ctx, const char *data, Py_ssize_t length,
                                   Py_ssize_t *offset) noexcept;
[[nodiscard]] int decode_skip(DecodeContext *ctx, const char *data, Py_ssize_t length,
                              Py_ssize_t *offset) noexcept;

// Header-only readers: a whole array (map) header or nothing; the count goes
// to ctx->result as an int.
[[nodiscard]] int read_array_header(DecodeContext *ctx, const char *data, Py_ssize_t length,
                                    Py_ssize_t *offset) noexcept;
[[nodiscard]] int read_map_header(DecodeContext *ctx, const char *data, Py_ssize_t length,
                                  Py_ssize_t *offset) noexcept;

// Releases every live frame's pending key and container, then the result,
// and returns the context to its fresh state. Options are untouched.
void clear_context(DecodeContext *ctx) noexcept;

// After decode_construct failed with an exception (DECODE_ERROR, *offset at
// the last byte of the item or header that failed), releases everything
// built so far and sets the context to skip the rest of the value in
// decode_skip mode, with *offset just past the failed part. Returns true
// when nothing of the value remains (the context is then fresh), false when
// decode_skip must still run over more input. Sets no exception.
bool discard_failed_value(DecodeContext *ctx, Py_ssize_t *offset) noexcept;

// Sets the exception for a failing status: none for DECODE_ERROR (already
// set), ValueError "Unpack failed: incomplete input" for DECODE_NEED_MORE,
// FormatError, StackError, and a ValueError naming any other status.
QUELM_COLD void raise_decode_status(int status) noexcept;

// Validates the options and fills ctx->options (borrowing every object), and
// puts the context into its initial decoding state first of all, so that
// clear_context is safe even after a failure. Returns 0 or -1.
[[nodiscard]] int init_ctx(DecodeContext *ctx, PyObject *object_hook, PyObject *object_pairs_hook,
                           PyObject *list_hook, PyObject *ext_hook, bool use_list, bool raw,
                           int32_t timestamp, bool strict_map_key, const char *unicode_errors,
                           int64_t max_str_len, int64_t max_bin_len, int64_t max_array_len,
                           int64_t max_map_len, int64_t max_ext_len) noexcept;

// Fills `view` with a contiguous read-only run of the bytes `obj` exports
// (copying once if they are not contiguous). On success the caller holds
// the view and must release it; on failure it holds nothing. Returns 0 or -1.
[[nodiscard]] int get_data_from_buffer(PyObject *obj, Py_buffer *view, const char **buf,
                                       Py_ssize_t *buf_len) noexcept;

}  // namespace quelm

// Process-wide state shared by the packer and the decoder. There is one copy
// per process, not one per module object: the module refuses a second
// interpreter, and a successful initialisation keeps everything alive until
// the process ends.
#pragma once

#include "_cquelm/common.h"

#include <datetime.h>

#include <atomic>

namespace quelm {

struct ModuleState {
    // The module object being (or that was) initialised; strong. Set by exec
    // step 2, dropped again if a later exec step fails.
    PyObject *module = nullptr;
    // Id of the first interpreter that created the module (create step 2);
    // -1 until then.
    int64_t main_interpreter_id = -1;
    // datetime.timezone.utc (exec step 7).
    PyObject *utc = nullptr;
    // 1970-01-01 00:00:00 with tzinfo utc, fold 0 (exec step 7): aware
    // datetimes are packed as their distance from it.
    PyObject *epoch = nullptr;
    // quelm.ext.ExtType and quelm.ext.Timestamp as imported by exec step 8;
    // later replacements in quelm.ext do not reach the core.
    PyObject *ext_type = nullptr;
    PyObject *timestamp_type = nullptr;
    // The int 1000000000 (exec step 12), for timestamp modes 1 and 2.
    PyObject *ns_per_second = nullptr;
    // Nesting budget of the packer (exec step 9).
    int32_t recursion_limit = 1024;
    // Largest length or count a 32-bit header field holds (exec step 9).
    int64_t item_length_limit = 4294967295LL;
    // The interpreter's datetime C interface (exec step 6), stored once with
    // a compare-and-swap from empty so that the first stored value wins.
    std::atomic<PyDateTime_CAPI *> datetime_api{nullptr};
    // Default of Unpacker(ext_hook=...), fixed by exec step 14.
    PyObject *unpacker_default_ext_hook = nullptr;
};

extern ModuleState g_state;

// The datetime C interface; valid once the module has initialised.
QUELM_INLINE PyDateTime_CAPI *datetime_api() noexcept {
    return g_state.datetime_api.load(std::memory_order_relaxed);
}

}  // namespace quelm

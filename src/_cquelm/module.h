// What the module frame asks of the packer and decoder rooms during the exec
// step (module.cpp runs them in order). Each returns 0, or -1 with an
// exception set.
#pragma once

#include "_cquelm/common.h"

namespace quelm {

// Readies the Packer type and publishes it as `Packer` (exec step 5).
int packer_type_ready(PyObject *module) noexcept;

// Readies the Unpacker type and publishes it as `Unpacker` (exec step 5).
int unpacker_type_ready(PyObject *module) noexcept;

// Publishes `default_read_extended_type`, then `unpackb` with the default of
// its `ext_hook` fixed to g_state.ext_type as it is now (exec step 13).
int decoder_functions_publish(PyObject *module) noexcept;

// Publishes `packb`, the one-call encoder of the package's top level
// (exec step 13, after the decoder's functions).
int packer_functions_publish(PyObject *module) noexcept;

// Readies the typed decoder's types and publishes `Decoder`, `_TypedPlan`
// and `ValidationError` (exec step 13, after the packer's functions).
int typed_decoder_publish(PyObject *module) noexcept;

// Publishes `_peek_pipe` where the platform can look into a pipe without
// consuming it (Linux); elsewhere publishes nothing (exec step 13, last).
int pipe_peek_publish(PyObject *module) noexcept;

}  // namespace quelm

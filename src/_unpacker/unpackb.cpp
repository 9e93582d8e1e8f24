// unpackb and default_read_extended_type. (Placeholder until the decoder
// lands: publishes nothing.)
#include "_cquelm/module.h"

namespace quelm {

int decoder_functions_publish(PyObject *) noexcept { return 0; }

}  // namespace quelm

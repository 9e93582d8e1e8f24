// The Unpacker type. (Placeholder until the streaming decoder lands.)
#include "_cquelm/module.h"

namespace quelm {

namespace {
PyTypeObject UnpackerType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quelm._cquelm.Unpacker",
};
}  // namespace

int unpacker_type_ready(PyObject *module) noexcept {
    UnpackerType.tp_flags = Py_TPFLAGS_DEFAULT;
    UnpackerType.tp_new = PyType_GenericNew;
    if (PyType_Ready(&UnpackerType) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "Unpacker", reinterpret_cast<PyObject *>(&UnpackerType));
}

}  // namespace quelm

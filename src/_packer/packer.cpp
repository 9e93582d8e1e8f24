// The Packer type. (Placeholder until the packer lands: the type exists so
// that the module frame can ready and publish it.)
#include "_cquelm/module.h"

namespace quelm {

namespace {
PyTypeObject PackerType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quelm._cquelm.Packer",
};
}  // namespace

int packer_type_ready(PyObject *module) noexcept {
    PackerType.tp_flags = Py_TPFLAGS_DEFAULT;
    PackerType.tp_new = PyType_GenericNew;
    if (PyType_Ready(&PackerType) < 0)
        return -1;
    return PyModule_AddObjectRef(module, "Packer", reinterpret_cast<PyObject *>(&PackerType));
}

}  // namespace quelm

// The plan cache of typed packing: describes a class once through
// quelm._pack_typed.describe and keeps the result, keyed by the class and its
// version tag (pack_plan.h states the rules).
#include "_packer/pack_plan.h"

#include <structmember.h>

#include "_cquelm/state.h"
#include "_packer/instance_attrs.h"

namespace quelm {

namespace {

// 128 sets of 2 entries: a set holds the two classes met last among those
// whose addresses fall into it, so two classes packed in turn never evict
// each other.
constexpr size_t kSets = 128;
constexpr size_t kWays = 2;

struct Entry {
    // The class; strong, or null for an empty entry.
    PyTypeObject *type;
    // Its version tag when it was described; never 0.
    unsigned int tag;
    // One reference to the plan.
    PackPlan *plan;
};

Entry cache[kSets][kWays];
// The way of each set that was used last.
unsigned char recent[kSets];

// quelm._pack_typed.describe, imported on first use; strong.
PyObject *describe = nullptr;

QUELM_INLINE size_t set_of(PyTypeObject *type) noexcept {
    const auto a = reinterpret_cast<uintptr_t>(type);
    return ((a >> 4) ^ (a >> 12)) % kSets;
}

// Gives the class a version tag if it has none (the interpreter may have run
// out of tags: then 0, and the class is described on every use).
unsigned int assign_tag(PyTypeObject *type, PyObject *any_name) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    (void)any_name;
    PyUnstable_Type_AssignVersionTag(type);
#else
    // Before 3.12 a lookup through the method cache is what assigns a tag.
    (void)_PyType_Lookup(type, any_name);
#endif
    return valid_version_tag(type);
}

// Where the instances of `type` keep attribute `name`, when reading it
// there is exactly what getattr() would do: the generic lookup, finding a
// __slots__ member descriptor (a data descriptor, which the instance dict
// cannot shadow). 0 otherwise.
Py_ssize_t slot_offset(PyTypeObject *type, PyObject *name) noexcept {
    if (type->tp_getattro != PyObject_GenericGetAttr)
        return 0;
    PyObject *descr = _PyType_Lookup(type, name);
    if (descr == nullptr || !Py_IS_TYPE(descr, &PyMemberDescr_Type))
        return 0;
    auto *member_descr = reinterpret_cast<PyMemberDescrObject *>(descr);
    const PyMemberDef *member = member_descr->d_member;
    int unusual = READ_RESTRICTED;
#ifdef Py_RELATIVE_OFFSET
    unusual |= Py_RELATIVE_OFFSET;
#endif
    if (member->type != T_OBJECT_EX || (member->flags & unusual) != 0 ||
        !PyType_IsSubtype(type, PyDescr_TYPE(member_descr)))
        return 0;
    const Py_ssize_t offset = member->offset;
    if (offset < static_cast<Py_ssize_t>(sizeof(PyObject)) ||
        offset > type->tp_basicsize - static_cast<Py_ssize_t>(sizeof(PyObject *)))
        return 0;
    return offset;
}

// See PackPlan::never_ext_type.
bool never_ext_type(PyTypeObject *type) noexcept {
    static PyObject *name_class = nullptr;
    if (name_class == nullptr && (name_class = PyUnicode_InternFromString("__class__")) == nullptr) {
        PyErr_Clear();
        return false;
    }
    PyObject *ext_type = g_state.ext_type;
    if (type->tp_getattro != PyObject_GenericGetAttr || !PyType_Check(ext_type) ||
        PyType_IsSubtype(type, reinterpret_cast<PyTypeObject *>(ext_type)))
        return false;
    PyObject *own = _PyType_Lookup(type, name_class);
    return own != nullptr && own == _PyType_Lookup(&PyBaseObject_Type, name_class);
}

// See PackPlan::no_builtin_base.
bool no_builtin_base(PyTypeObject *type) noexcept {
    static PyTypeObject *const tested[] = {
        &PyLong_Type, &PyFloat_Type, &PyBytes_Type, &PyByteArray_Type, &PyUnicode_Type,
        &PyDict_Type, &PyList_Type, &PyTuple_Type, &PyMemoryView_Type,
#ifdef QUELM_HAVE_FROZENDICT
        &PyFrozenDict_Type,
#endif
    };
    for (PyTypeObject *base : tested)
        if (PyType_IsSubtype(type, base))
            return false;
    return reinterpret_cast<PyObject *>(type) != g_state.timestamp_type;
}

QUELM_COLD PackPlan *fail_description(PyTypeObject *type) noexcept {
    PyErr_Format(PyExc_TypeError, "typed packing cannot describe class '%.200s'", type->tp_name);
    return nullptr;
}

// The wire names and defaults of a declared record: describe's third item, a
// tuple of str as long as the names, and its fourth, None or a tuple of
// `(default,)` or `()` per field. 0, or -1 with an exception set.
int read_declared(PyTypeObject *type, PackPlan *plan, PyObject *description) noexcept {
    PyObject *wires = PyTuple_GET_ITEM(description, 2);
    PyObject *defaults = PyTuple_GET_ITEM(description, 3);
    if (plan->kind != PackKind::fields || !PyTuple_CheckExact(wires) ||
        PyTuple_GET_SIZE(wires) != plan->count ||
        (defaults != Py_None &&
         (!PyTuple_CheckExact(defaults) || PyTuple_GET_SIZE(defaults) != plan->count))) {
        fail_description(type);
        return -1;
    }
    for (Py_ssize_t i = 0; i < plan->count; i++) {
        PlanField &field = plan->fields[i];
        PyObject *wire = PyTuple_GET_ITEM(wires, i);
        if (!PyUnicode_CheckExact(wire)) {
            fail_description(type);
            return -1;
        }
        field.wire = Py_NewRef(wire);
        PyUnicode_InternInPlace(&field.wire);
        field.wire_utf8 = PyUnicode_AsUTF8AndSize(field.wire, &field.wire_length);
        if (field.wire_utf8 == nullptr)
            PyErr_Clear();
        if (defaults == Py_None)
            continue;
        PyObject *d = PyTuple_GET_ITEM(defaults, i);
        if (!PyTuple_CheckExact(d) || PyTuple_GET_SIZE(d) > 1) {
            fail_description(type);
            return -1;
        }
        if (PyTuple_GET_SIZE(d) == 1)
            field.default_value = Py_NewRef(PyTuple_GET_ITEM(d, 0));
    }
    plan->kind = PackKind::declared_fields;
    return 0;
}

// A new plan (one reference) from describe(type), or null with an
// exception set.
PackPlan *build_plan(PyTypeObject *type) noexcept {
    if (describe == nullptr) {
        Ref module = Ref::steal(PyImport_ImportModule("quelm._pack_typed"));
        if (!module)
            return nullptr;
        PyObject *function = PyObject_GetAttrString(module.get(), "describe");
        if (function == nullptr)
            return nullptr;
        // Another pack may have imported it meanwhile (the import runs Python code).
        if (describe == nullptr)
            describe = function;
        else
            Py_DECREF(function);
    }
    Ref result = Ref::steal(PyObject_CallOneArg(describe, reinterpret_cast<PyObject *>(type)));
    if (!result)
        return nullptr;
    PyObject *r = result.get();
    if (!PyTuple_CheckExact(r) || (PyTuple_GET_SIZE(r) != 2 && PyTuple_GET_SIZE(r) != 4))
        return fail_description(type);
    const long kind = PyLong_AsLong(PyTuple_GET_ITEM(r, 0));
    if (kind == -1 && PyErr_Occurred())
        return nullptr;
    if (kind < 0 || kind > static_cast<long>(PackKind::last))
        return fail_description(type);
    PyObject *names = PyTuple_GET_ITEM(r, 1);
    if (names != Py_None && !PyTuple_CheckExact(names))
        return fail_description(type);
    const Py_ssize_t count = names == Py_None ? 0 : PyTuple_GET_SIZE(names);

    auto *plan = static_cast<PackPlan *>(PyMem_Malloc(sizeof(PackPlan)));
    if (plan == nullptr) {
        PyErr_NoMemory();
        return nullptr;
    }
    plan->refs = 1;
    plan->kind = static_cast<PackKind>(kind);
    plan->count = 0;
    plan->fields = nullptr;
    plan->never_ext_type = never_ext_type(type);
    plan->no_builtin_base = no_builtin_base(type);
    plan->type = type;
    plan->tag = 0;
    if (count > 0) {
        plan->fields = static_cast<PlanField *>(PyMem_Calloc(static_cast<size_t>(count),
                                                             sizeof(PlanField)));
        if (plan->fields == nullptr) {
            pack_plan_decref(plan);
            PyErr_NoMemory();
            return nullptr;
        }
    }
    for (Py_ssize_t i = 0; i < count; i++) {
        PyObject *name = PyTuple_GET_ITEM(names, i);
        if (!PyUnicode_CheckExact(name)) {
            pack_plan_decref(plan);
            PyErr_Format(PyExc_TypeError, "attribute names of '%.200s' must be str, not %.200s",
                         type->tp_name, Py_TYPE(name)->tp_name);
            return nullptr;
        }
        PlanField &field = plan->fields[i];
        field.name = Py_NewRef(name);
        PyUnicode_InternInPlace(&field.name);
        plan->count = i + 1;
        field.utf8 = PyUnicode_AsUTF8AndSize(field.name, &field.utf8_length);
        if (field.utf8 == nullptr)
            PyErr_Clear();
        field.offset = slot_offset(type, field.name);
        field.from_instance = field.offset == 0 && instance_answers(type, field.name);
        field.key_index = -1;
    }
    if (PyTuple_GET_SIZE(r) == 4 && read_declared(type, plan, r) < 0) {
        pack_plan_decref(plan);
        return nullptr;
    }
    return plan;
}

// The cache missed: describes the class and keeps the plan. Returns a new
// reference, or null with an exception set.
QUELM_NOINLINE PackPlan *describe_and_store(PyTypeObject *type) noexcept {
    // Held throughout: describing it runs Python code.
    Ref type_ref = Ref::borrow(reinterpret_cast<PyObject *>(type));
    static PyObject *probe_name = nullptr;
    if (probe_name == nullptr) {
        probe_name = PyUnicode_InternFromString("__dataclass_fields__");
        if (probe_name == nullptr)
            return nullptr;
    }
    // Taken before describing: if the class changes meanwhile, the entry
    // carries the older tag and is described again on next use.
    const unsigned int tag = assign_tag(type, probe_name);
    PackPlan *plan = build_plan(type);
    if (plan == nullptr || tag == 0)
        return plan;
    // The fields were judged after describing: if the class changed
    // meanwhile, its tag is no longer this one and they are not relied on.
    plan->tag = tag;
    const size_t s = set_of(type);
    size_t way = kWays;
    for (size_t w = 0; w < kWays && way == kWays; w++) {
        if (cache[s][w].type == type)
            way = w;
    }
    for (size_t w = 0; w < kWays && way == kWays; w++) {
        if (cache[s][w].type == nullptr)
            way = w;
    }
    if (way == kWays)
        way = (recent[s] + 1) % kWays;
    const Entry old = cache[s][way];
    pack_plan_incref(plan);
    cache[s][way] = Entry{reinterpret_cast<PyTypeObject *>(Py_NewRef(type_ref.get())), tag, plan};
    recent[s] = static_cast<unsigned char>(way);
    // Last, with the cache consistent: releasing a class may run Python code.
    if (old.plan != nullptr)
        pack_plan_decref(old.plan);
    Py_XDECREF(reinterpret_cast<PyObject *>(old.type));
    return plan;
}

}  // namespace

PackPlan *pack_plan_for(PyTypeObject *type) noexcept {
    const unsigned int tag = valid_version_tag(type);
    if (QUELM_LIKELY(tag != 0)) {
        const size_t s = set_of(type);
        for (size_t w = 0; w < kWays; w++) {
            const Entry &e = cache[s][w];
            if (e.type == type && e.tag == tag) {
                recent[s] = static_cast<unsigned char>(w);
                pack_plan_incref(e.plan);
                return e.plan;
            }
        }
    }
    return describe_and_store(type);
}

void pack_plan_decref(PackPlan *plan) noexcept {
    if (--plan->refs > 0)
        return;
    for (Py_ssize_t i = 0; i < plan->count; i++) {
        Py_DECREF(plan->fields[i].name);
        Py_XDECREF(plan->fields[i].wire);
        Py_XDECREF(plan->fields[i].default_value);
    }
    PyMem_Free(plan->fields);
    PyMem_Free(plan);
}

}  // namespace quelm

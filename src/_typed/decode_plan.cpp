// The _TypedPlan type: a compiled decoding plan, built from the node list
// that quelm/_typing.py produces (see decode_plan.h for the layout).
#include "_typed/decode_plan.h"

#include "_typed/decode_checks.h"

#include <cstring>

namespace quelm {

TypedConstants g_typed;

namespace {

QUELM_COLD int plan_error(const char *what) noexcept {
    PyErr_Format(PyExc_ValueError, "malformed decoding plan: %s", what);
    return -1;
}

QUELM_COLD PyObject *bad_plan(const char *what) noexcept {
    plan_error(what);
    return nullptr;
}

// uuid, decimal and the datetime constructors, imported once.
int load_constants() noexcept {
    if (g_typed.uuid_type != nullptr)
        return 0;
    Ref uuid_module = Ref::steal(PyImport_ImportModule("uuid"));
    if (!uuid_module)
        return -1;
    Ref uuid_type = Ref::steal(PyObject_GetAttrString(uuid_module.get(), "UUID"));
    Ref safe = Ref::steal(PyObject_GetAttrString(uuid_module.get(), "SafeUUID"));
    if (!uuid_type || !safe)
        return -1;
    Ref unknown = Ref::steal(PyObject_GetAttrString(safe.get(), "unknown"));
    Ref decimal_module = Ref::steal(PyImport_ImportModule("decimal"));
    if (!unknown || !decimal_module)
        return -1;
    Ref decimal_type = Ref::steal(PyObject_GetAttrString(decimal_module.get(), "Decimal"));
    Ref datetime_module = Ref::steal(PyImport_ImportModule("datetime"));
    if (!decimal_type || !datetime_module)
        return -1;
    Ref date_type = Ref::steal(PyObject_GetAttrString(datetime_module.get(), "date"));
    Ref time_type = Ref::steal(PyObject_GetAttrString(datetime_module.get(), "time"));
    if (!date_type || !time_type)
        return -1;
    Ref date_iso = Ref::steal(PyObject_GetAttrString(date_type.get(), "fromisoformat"));
    Ref time_iso = Ref::steal(PyObject_GetAttrString(time_type.get(), "fromisoformat"));
    Ref int_name = Ref::steal(PyUnicode_InternFromString("int"));
    Ref is_safe_name = Ref::steal(PyUnicode_InternFromString("is_safe"));
    Ref any_label = Ref::steal(PyUnicode_InternFromString("Any"));
    if (!date_iso || !time_iso || !int_name || !is_safe_name || !any_label)
        return -1;
    g_typed.safe_uuid_unknown = unknown.release();
    g_typed.decimal_type = decimal_type.release();
    g_typed.date_fromisoformat = date_iso.release();
    g_typed.time_fromisoformat = time_iso.release();
    g_typed.int_name = int_name.release();
    g_typed.is_safe_name = is_safe_name.release();
    g_typed.any_label = any_label.release();
    g_typed.uuid_type = uuid_type.release();  // last: it marks the set complete
    return 0;
}

// An index into the plan's nodes (or -1 where `optional`).
int read_index(PyObject *o, uint32_t limit, bool optional, uint32_t *out) noexcept {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred())
        return -1;
    if (optional && v == -1) {
        *out = UINT32_MAX;
        return 0;
    }
    if (v < 0 || static_cast<unsigned long>(v) >= limit)
        return plan_error("node index out of range");
    *out = static_cast<uint32_t>(v);
    return 0;
}

PyObject *own(PyObject *o) noexcept { return o == Py_None ? nullptr : Py_NewRef(o); }

// One field tuple: (wire name, init name, node, default, factory, flags).
int read_field(PyObject *t, uint32_t node_count, PlanField *f) noexcept {
    if (!PyTuple_Check(t) || PyTuple_GET_SIZE(t) != 6)
        return plan_error("a field is not a 6-tuple");
    PyObject *wire = PyTuple_GET_ITEM(t, 0);
    PyObject *init = PyTuple_GET_ITEM(t, 1);
    if (!PyUnicode_CheckExact(wire) || !PyUnicode_CheckExact(init))
        return plan_error("a field name is not a str");
    if (read_index(PyTuple_GET_ITEM(t, 2), node_count, false, &f->node) < 0)
        return -1;
    const long flags = PyLong_AsLong(PyTuple_GET_ITEM(t, 5));
    if (flags == -1 && PyErr_Occurred())
        return -1;
    f->flags = static_cast<uint32_t>(flags);
    // The key bytes are taken from the interned name the field keeps.
    Py_INCREF(wire);
    PyUnicode_InternInPlace(&wire);
    f->wire_name = wire;
    f->wire_utf8 = PyUnicode_AsUTF8AndSize(wire, &f->wire_len);
    if (f->wire_utf8 == nullptr) {
        Py_CLEAR(f->wire_name);
        return -1;
    }
    Py_INCREF(init);
    PyUnicode_InternInPlace(&init);
    f->init_name = init;
    f->default_value = flags & FIELD_HAS_DEFAULT ? Py_NewRef(PyTuple_GET_ITEM(t, 3)) : nullptr;
    f->factory = flags & FIELD_HAS_FACTORY ? Py_NewRef(PyTuple_GET_ITEM(t, 4)) : nullptr;
    return 0;
}

// The keyword names of a CALL_ALL record: its fields after the positional ones.
int record_kwnames(TypedPlanObject *plan, PlanNode *n) noexcept {
    uint32_t npos = 0;
    while (npos < n->count && !(plan->fields[n->first + npos].flags & FIELD_KEYWORD))
        ++npos;
    n->npos = npos;
    if (n->mode != CALL_ALL || npos == n->count)
        return 0;
    n->kwnames = PyTuple_New(n->count - npos);
    if (n->kwnames == nullptr)
        return -1;
    for (uint32_t i = npos; i < n->count; ++i)
        PyTuple_SET_ITEM(n->kwnames, i - npos,
                         Py_NewRef(plan->fields[n->first + i].init_name));
    return 0;
}

// A node's optional ninth item, a record's refusal of unknown keys:
// (expected, names of fields the class builds itself).
int read_forbid(PyObject *t, PlanNode *n) noexcept {
    if (PyTuple_GET_SIZE(t) == 8)
        return 0;
    PyObject *forbid = PyTuple_GET_ITEM(t, 8);
    if (n->kind != K_RECORD || !PyTuple_Check(forbid) || PyTuple_GET_SIZE(forbid) != 2 ||
        !PyUnicode_Check(PyTuple_GET_ITEM(forbid, 0)) || !PyTuple_Check(PyTuple_GET_ITEM(forbid, 1)))
        return plan_error("a record's unknown-key rule has the wrong shape");
    PyObject *names = PyTuple_GET_ITEM(forbid, 1);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names); ++i)
        if (!PyUnicode_CheckExact(PyTuple_GET_ITEM(names, i)))
            return plan_error("a record's built field name is not a str");
    n->forbid_expected = Py_NewRef(PyTuple_GET_ITEM(forbid, 0));
    n->built_names = Py_NewRef(names);
    return 0;
}

QUELM_INLINE bool node_shape(PyObject *t) noexcept {
    return PyTuple_Check(t) && (PyTuple_GET_SIZE(t) == 8 || PyTuple_GET_SIZE(t) == 9);
}

// One node tuple: (kind, label, cls, child, child2, fields, extra, families),
// and for a record that refuses unknown keys a ninth item (read_forbid).
int read_node(TypedPlanObject *plan, PyObject *t, PlanNode *n) noexcept {
    if (!node_shape(t))
        return plan_error("a node is not an 8-tuple");
    const long kind = PyLong_AsLong(PyTuple_GET_ITEM(t, 0));
    if (kind == -1 && PyErr_Occurred())
        return -1;
    if (kind < 0 || kind >= K_KIND_COUNT)
        return plan_error("unknown node kind");
    n->kind = static_cast<uint32_t>(kind);
    const long families = PyLong_AsLong(PyTuple_GET_ITEM(t, 7));
    if (families == -1 && PyErr_Occurred())
        return -1;
    n->families = static_cast<uint32_t>(families);
    n->label = Py_NewRef(PyTuple_GET_ITEM(t, 1));
    n->cls = own(PyTuple_GET_ITEM(t, 2));
    if (read_index(PyTuple_GET_ITEM(t, 3), plan->node_count, true, &n->child) < 0 ||
        read_index(PyTuple_GET_ITEM(t, 4), plan->node_count, true, &n->child2) < 0)
        return -1;
    PyObject *fields = PyTuple_GET_ITEM(t, 5);
    PyObject *extra = PyTuple_GET_ITEM(t, 6);
    if (!PyUnicode_Check(n->label) || !PyTuple_Check(fields))
        return plan_error("a node's label or fields have the wrong type");
    n->first = plan->field_count;
    n->count = static_cast<uint32_t>(PyTuple_GET_SIZE(fields));
    for (uint32_t i = 0; i < n->count; ++i) {
        PlanField *f = &plan->fields[plan->field_count];
        if (read_field(PyTuple_GET_ITEM(fields, i), plan->node_count, f) < 0)
            return -1;
        ++plan->field_count;
        if (f->flags & FIELD_REQUIRED)
            n->nrequired = i + 1;
    }
    const bool needs_children = n->kind == K_LIST || n->kind == K_TUPLE_VAR ||
                                n->kind == K_SET || n->kind == K_FROZENSET || n->kind == K_DICT;
    if (needs_children && (n->child == UINT32_MAX || (n->kind == K_DICT && n->child2 == UINT32_MAX)))
        return plan_error("a container node without its item node");
    if ((n->kind == K_RECORD || n->kind == K_NAMEDTUPLE || n->kind == K_ENUM) && n->cls == nullptr)
        return plan_error("a class node without its class");
    switch (n->kind) {
    case K_RECORD: {
        const long mode = PyLong_AsLong(extra);
        if (mode == -1 && PyErr_Occurred())
            return -1;
        n->mode = mode == CALL_ALL ? CALL_ALL : CALL_PRESENT;
        if (read_forbid(t, n) < 0)
            return -1;
        return record_kwnames(plan, n);
    }
    case K_ENUM:
        if (!PyDict_Check(extra))
            return plan_error("an enum node without its value map");
        n->extra = Py_NewRef(extra);
        return 0;
    case K_LITERAL:
        if (!PyTuple_Check(extra))
            return plan_error("a literal node without its values");
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(extra); ++i) {
            PyObject *pair = PyTuple_GET_ITEM(extra, i);
            if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2)
                return plan_error("a literal value is not a pair");
        }
        n->extra = Py_NewRef(extra);
        return 0;
    case K_UNION:
        if (!PyTuple_Check(extra) || PyTuple_GET_SIZE(extra) != W_FAMILY_COUNT)
            return plan_error("a union node without its family table");
        for (uint32_t i = 0; i < W_FAMILY_COUNT; ++i) {
            uint32_t member = 0;
            if (read_index(PyTuple_GET_ITEM(extra, i), plan->node_count, true, &member) < 0)
                return -1;
            n->table[i] = member == UINT32_MAX ? -1 : static_cast<int32_t>(member);
        }
        return 0;
    case K_CHECKED:
        if (n->child == UINT32_MAX || read_checks(extra) < 0)
            return n->child == UINT32_MAX ? plan_error("a constraint without its value") : -1;
        n->extra = Py_NewRef(extra);
        return 0;
    case K_TAGGED:
        if (!PyUnicode_CheckExact(extra) || n->count == 0)
            return plan_error("a tagged union without its tag");
        n->extra = Py_NewRef(extra);
        return 0;
    case K_TUPLE_FIXED:
        if (!PyTuple_Check(extra))
            return plan_error("a tuple node without its items");
        n->first = plan->item_count;
        n->count = static_cast<uint32_t>(PyTuple_GET_SIZE(extra));
        for (uint32_t i = 0; i < n->count; ++i)
            if (read_index(PyTuple_GET_ITEM(extra, i), plan->node_count, false,
                           &plan->items[plan->item_count++]) < 0)
                return -1;
        return 0;
    default:
        return 0;
    }
}

// What the decoder relies on beyond each node's own shape: a union's
// members are not unions (a union decodes without consuming input, so a
// union of itself would never end), and every field the decoder may have
// to fill in has a default to fill it with.
int check_node(const TypedPlanObject *plan, const PlanNode &n) noexcept {
    if (n.kind == K_UNION) {
        for (int32_t member : n.table)
            if (member >= 0 && plan->nodes[member].kind == K_UNION)
                return plan_error("a union member is a union");
        return 0;
    }
    const bool filled = (n.kind == K_RECORD && n.mode == CALL_ALL) || n.kind == K_NAMEDTUPLE;
    for (uint32_t i = 0; filled && i < n.count; ++i) {
        const uint32_t flags = plan->fields[n.first + i].flags;
        const uint32_t fillers = n.kind == K_NAMEDTUPLE
                                     ? (i < n.nrequired ? FIELD_REQUIRED | FIELD_HAS_DEFAULT
                                                        : FIELD_HAS_DEFAULT)
                                     : FIELD_REQUIRED | FIELD_HAS_DEFAULT | FIELD_HAS_FACTORY;
        if (!(flags & fillers))
            return plan_error("a field without a value to fill it with");
    }
    return 0;
}

// Constrained nodes decode their child without consuming input first, so
// a chain of them must end, and a union member may not be one that ends
// in a union (the union rule of check_node, seen through constraints);
// likewise a tagged union's members are records.
int check_constraints(const TypedPlanObject *plan, const PlanNode &n) noexcept {
    auto ends_in = [plan](uint32_t index) noexcept -> uint32_t {
        for (uint32_t steps = 0; steps <= plan->node_count; ++steps) {
            if (plan->nodes[index].kind != K_CHECKED)
                return plan->nodes[index].kind;
            index = plan->nodes[index].child;
        }
        return K_KIND_COUNT;  // a cycle
    };
    if (n.kind == K_CHECKED && ends_in(n.child) == K_KIND_COUNT)
        return plan_error("a constraint of itself");
    if (n.kind == K_UNION)
        for (int32_t member : n.table)
            if (member >= 0 && plan->nodes[member].kind == K_CHECKED &&
                ends_in(static_cast<uint32_t>(member)) == K_UNION)
                return plan_error("a union member is a union");
    // A tag names a record, which reads the map: never a node that would
    // look for the tag again without consuming anything.
    for (uint32_t i = 0; n.kind == K_TAGGED && i < n.count; ++i) {
        const uint32_t kind = ends_in(plan->fields[n.first + i].node);
        if (kind != K_RECORD && kind != K_TYPEDDICT)
            return plan_error("a tag names something other than a record");
    }
    return 0;
}

void clear_plan(TypedPlanObject *plan) noexcept {
    for (uint32_t i = 0; i < plan->node_count; ++i) {
        PlanNode &n = plan->nodes[i];
        Py_CLEAR(n.label);
        Py_CLEAR(n.cls);
        Py_CLEAR(n.extra);
        Py_CLEAR(n.kwnames);
        Py_CLEAR(n.forbid_expected);
        Py_CLEAR(n.built_names);
    }
    for (uint32_t i = 0; i < plan->field_count; ++i) {
        PlanField &f = plan->fields[i];
        Py_CLEAR(f.default_value);
        Py_CLEAR(f.factory);
        // The names stay: their bytes are what the decoder matches keys
        // against, and they refer to nothing that could form a cycle.
    }
}

// Counts the fields and fixed-tuple items the node list holds, so that the
// arrays are allocated once.
int count_parts(PyObject *nodes, uint32_t *fields, uint32_t *items) noexcept {
    uint64_t nf = 0, ni = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(nodes); ++i) {
        PyObject *t = PyTuple_GET_ITEM(nodes, i);
        if (!node_shape(t))
            return plan_error("a node is not an 8-tuple");
        PyObject *f = PyTuple_GET_ITEM(t, 5);
        PyObject *x = PyTuple_GET_ITEM(t, 6);
        if (PyTuple_Check(f))
            nf += static_cast<uint64_t>(PyTuple_GET_SIZE(f));
        if (PyTuple_Check(x))
            ni += static_cast<uint64_t>(PyTuple_GET_SIZE(x));
    }
    if (nf > UINT32_MAX / 2 || ni > UINT32_MAX / 2)
        return plan_error("too many fields");
    *fields = static_cast<uint32_t>(nf);
    *items = static_cast<uint32_t>(ni);
    return 0;
}

// _TypedPlan(nodes, root)
PyObject *typed_plan_new(PyTypeObject *type, PyObject *args, PyObject *kwargs) noexcept {
    PyObject *given;
    Py_ssize_t root;
    static const char *const names[] = {"nodes", "root", nullptr};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O!n:_TypedPlan",
                                     const_cast<char **>(names), &PyList_Type, &given, &root))
        return nullptr;
    // A tuple of the nodes, so that no code run while reading them (an
    // __index__) can change how many there are.
    Ref frozen = Ref::steal(PyList_AsTuple(given));
    if (!frozen)
        return nullptr;
    PyObject *nodes = frozen.get();
    if (load_constants() < 0)
        return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(nodes);
    if (count == 0 || count > INT32_MAX || root < 0 || root >= count)
        return bad_plan("no root node");
    uint32_t nfields = 0, nitems = 0;
    if (count_parts(nodes, &nfields, &nitems) < 0)
        return nullptr;
    Ref self = Ref::steal(type->tp_alloc(type, 0));
    if (!self)
        return nullptr;
    auto *plan = reinterpret_cast<TypedPlanObject *>(self.get());
    plan->nodes = static_cast<PlanNode *>(PyMem_Calloc(static_cast<size_t>(count), sizeof(PlanNode)));
    plan->fields = static_cast<PlanField *>(PyMem_Calloc(nfields + 1, sizeof(PlanField)));
    plan->items = static_cast<uint32_t *>(PyMem_Calloc(nitems + 1, sizeof(uint32_t)));
    if (plan->nodes == nullptr || plan->fields == nullptr || plan->items == nullptr)
        return PyErr_NoMemory();
    plan->node_count = static_cast<uint32_t>(count);
    plan->root = static_cast<uint32_t>(root);
    for (Py_ssize_t i = 0; i < count; ++i)
        if (read_node(plan, PyTuple_GET_ITEM(nodes, i), &plan->nodes[i]) < 0)
            return nullptr;
    for (Py_ssize_t i = 0; i < count; ++i)
        if (check_node(plan, plan->nodes[i]) < 0 || check_constraints(plan, plan->nodes[i]) < 0)
            return nullptr;
    return self.release();
}

int typed_plan_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    auto *plan = reinterpret_cast<TypedPlanObject *>(self);
    for (uint32_t i = 0; i < plan->node_count; ++i) {
        PlanNode &n = plan->nodes[i];
        Py_VISIT(n.cls);
        Py_VISIT(n.extra);
    }
    for (uint32_t i = 0; i < plan->field_count; ++i) {
        Py_VISIT(plan->fields[i].default_value);
        Py_VISIT(plan->fields[i].factory);
    }
    return 0;
}

int typed_plan_clear(PyObject *self) noexcept {
    reinterpret_cast<TypedPlanObject *>(self)->cleared = true;
    clear_plan(reinterpret_cast<TypedPlanObject *>(self));
    return 0;
}

void typed_plan_dealloc(PyObject *self) noexcept {
    PyObject_GC_UnTrack(self);
    auto *plan = reinterpret_cast<TypedPlanObject *>(self);
    clear_plan(plan);
    for (uint32_t i = 0; i < plan->field_count; ++i) {
        Py_CLEAR(plan->fields[i].wire_name);
        Py_CLEAR(plan->fields[i].init_name);
    }
    PyMem_Free(plan->nodes);
    PyMem_Free(plan->fields);
    PyMem_Free(plan->items);
    Py_TYPE(self)->tp_free(self);
}

}  // namespace

PyTypeObject typed_plan_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quelm._cquelm._TypedPlan",
    .tp_basicsize = sizeof(TypedPlanObject),
    .tp_dealloc = typed_plan_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "_TypedPlan(nodes, root)\n\nA type compiled for Decoder (built by quelm._typing).",
    .tp_traverse = typed_plan_traverse,
    .tp_clear = typed_plan_clear,
    .tp_new = typed_plan_new,
};

}  // namespace quelm

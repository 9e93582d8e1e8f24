// Per-class plans of typed packing: what kind of value a class's instances
// are, and for dataclass and attrs instances (and the one attribute an Enum
// member or a UUID is read from) the flat list of attributes to read.
//
// A class is described once, by quelm._pack_typed.describe, and the plan is
// kept in a small cache keyed by the class:
//   * each entry holds a strong reference to its class, so an entry can never
//     match a different class created later at the same address;
//   * each entry records the class's version tag. Setting or deleting any
//     attribute of the class or of one of its bases (and assigning
//     __bases__) gives it a new tag, so the next pack describes it again.
//     Changes that do not touch the class's own attributes, such as mutating
//     the __dataclass_fields__ dict in place, are not seen;
//   * the cache has a fixed number of entries: a class that falls out of it
//     is released (and described again should it come back), so classes
//     created and dropped in a loop are freed.
#pragma once

#include "_cquelm/common.h"

namespace quelm {

// The kinds of class, numbered as quelm._pack_typed numbers them.
enum class PackKind : int {
    none = 0,       // not a typed value: left to `default`
    fields = 1,     // dataclass or attrs instance: a map of the attributes
    value = 2,      // Enum member: its one attribute, _value_, packed by the usual rules
    uuid = 3,       // its one attribute, the int, as 36 characters
    decimal = 4,    // str()
    datetime = 5,   // datetime.datetime itself
    date = 6,       // datetime.date itself
    time = 7,       // datetime.time itself
    isoformat = 8,  // a date or time subclass: its isoformat()
    set = 9,        // set, frozenset or a subclass: an array
    last = set,
    // A dataclass or attrs class that declares wire names or omitted
    // defaults (quelm.record, quelm.Name): described as `fields`, with the
    // fields' wire names and defaults, and written by its own writer.
    declared_fields = 10,
};

// One attribute to read.
struct PlanField {
    // The attribute name, interned; strong.
    PyObject *name;
    // Its UTF-8 form (owned by `name`), or null when it has none (a lone
    // surrogate): the key is then packed from `name` by the usual rules.
    const char *utf8;
    Py_ssize_t utf8_length;
    // Where a __slots__ member descriptor keeps the value inside the
    // instance, for classes with the generic attribute lookup; 0 when the
    // value is looked up by name.
    Py_ssize_t offset;
    // Whether getattr's answer is the instance's own value whenever it has
    // one (instance_attrs.h), for the class as it was at the plan's tag.
    bool from_instance;
    // Where the name was last found among the class's shared keys, -1 if
    // not yet: a hint, checked before each use.
    Py_ssize_t key_index;
    // Declared records (PackKind::declared_fields) only; null otherwise.
    // The key written: the field's wire name, interned; strong.
    PyObject *wire;
    // Its UTF-8 form (owned by `wire`), or null as for `utf8`.
    const char *wire_utf8;
    Py_ssize_t wire_length;
    // With omit_defaults, the default a value is left out for; strong, or
    // null for a field that is always written.
    PyObject *default_value;
};

// A plan, shared by the cache and by each pack walking it: Python code run
// while the fields are packed may evict it from the cache.
struct PackPlan {
    Py_ssize_t refs;
    PackKind kind;
    Py_ssize_t count;
    PlanField *fields;
    // isinstance(instance, ExtType) is false for every instance of the
    // class while ExtType's metaclass is plain `type` (the dispatch checks
    // that): the class is no subclass of ExtType, and its `__class__` is
    // object's own, so the instance check's fallback to the instance's
    // `__class__` finds the class itself. Lets the dispatch skip that test,
    // whose fallback is an attribute lookup by name.
    bool never_ext_type;
    // The class derives from none of the types the dispatch tests before
    // the typed step (int, float, bytes, bytearray, str, dict, frozendict,
    // list, tuple, memoryview) and is not Timestamp: with never_ext_type,
    // none of those tests can take an instance, and the dispatch asks the
    // typed step first.
    bool no_builtin_base;
    // The class described (compared, never followed) and its version tag
    // when it was described, 0 if it had none: the fields' from_instance
    // hold only while the instance's class is this one with this tag.
    PyTypeObject *type;
    unsigned int tag;
};

// The plan for the instances of `type` (a new reference to it), or null with
// an exception set when describing the class failed.
[[nodiscard]] PackPlan *pack_plan_for(PyTypeObject *type) noexcept;

QUELM_INLINE void pack_plan_incref(PackPlan *plan) noexcept { plan->refs++; }
// Frees the plan with its last reference.
void pack_plan_decref(PackPlan *plan) noexcept;

// An owned reference to a plan for the length of one walk.
class PlanRef {
public:
    explicit PlanRef(PackPlan *plan) noexcept : plan_(plan) {}
    ~PlanRef() {
        if (plan_ != nullptr)
            pack_plan_decref(plan_);
    }
    PlanRef(const PlanRef &) = delete;
    PlanRef &operator=(const PlanRef &) = delete;
    PackPlan *operator->() const noexcept { return plan_; }
    PackPlan *get() const noexcept { return plan_; }
    explicit operator bool() const noexcept { return plan_ != nullptr; }

private:
    PackPlan *plan_;
};

}  // namespace quelm

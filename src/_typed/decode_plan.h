// Compiled decoding plans: what `Decoder(type)` runs. quelm/_typing.py reads
// the annotations once and describes the type as a list of nodes; the
// _TypedPlan type turns that list into flat arrays of PlanNode and
// PlanField, which decode_value.cpp walks without reading any annotation.
// Nodes refer to each other by index, so a recursive dataclass is a cycle of
// indices.
#pragma once

#include "_cquelm/common.h"

namespace quelm {

// Node kinds; quelm/_typing.py uses the same numbers.
enum PlanKind : uint32_t {
    K_ANY,
    K_NONE,
    K_BOOL,
    K_INT,
    K_FLOAT,
    K_STR,
    K_BYTES,
    K_BYTEARRAY,
    K_LIST,
    K_TUPLE_VAR,
    K_TUPLE_FIXED,
    K_SET,
    K_FROZENSET,
    K_DICT,
    K_UNION,
    K_LITERAL,
    K_RECORD,
    K_TYPEDDICT,
    K_NAMEDTUPLE,
    K_ENUM,
    K_UUID,
    K_DECIMAL,
    K_DATETIME,
    K_DATE,
    K_TIME,
    // Records of one union told apart by a tag field: `extra` is the tag's
    // wire name, the fields are the tag values (see TAG_STR), each with the
    // member node it names; `label` says which values are allowed.
    K_TAGGED,
    // A value with constraints (Annotated metadata): `child` decodes it,
    // `extra` holds the checks (decode_checks.cpp).
    K_CHECKED,
    K_KIND_COUNT,
};

// The wire families a first byte names, in the order of the union tables.
enum WireFamily : uint32_t {
    W_NIL,
    W_BOOL,
    W_INT,
    W_FLOAT,
    W_STR,
    W_BIN,
    W_ARRAY,
    W_MAP,
    W_EXT,
    W_TIMESTAMP,
    W_FAMILY_COUNT,
};

// How a record's class is called: CALL_ALL passes every init field (the
// positional ones first, then `kwnames`), defaults filled in by the decoder,
// exactly as the generated __init__ would; CALL_PRESENT passes only the
// fields the map holds, by keyword, and leaves defaults to the class.
enum RecordMode : uint32_t { CALL_ALL = 0, CALL_PRESENT = 1 };

enum FieldFlags : uint32_t {
    FIELD_REQUIRED = 1,
    FIELD_KEYWORD = 2,
    FIELD_HAS_DEFAULT = 4,
    FIELD_HAS_FACTORY = 8,
    // A tagged union's entry whose value is a str, matched by its bytes
    // (wire_utf8); any other value is `default_value`, matched by type and
    // equality.
    TAG_STR = 16,
};

struct PlanField {
    PyObject *wire_name;      // str key on the wire (owned)
    PyObject *init_name;      // keyword of the class's __init__ (owned)
    const char *wire_utf8;    // the key's UTF-8 bytes, owned by wire_name
    Py_ssize_t wire_len;
    PyObject *default_value;  // owned, or NULL
    PyObject *factory;        // owned, or NULL
    uint32_t node;
    uint32_t flags;
};

struct PlanNode {
    uint32_t kind;
    uint32_t child;        // element, key (dict) or -1
    uint32_t child2;       // dict value or -1
    uint32_t first;        // first field (records) or item (fixed tuples)
    uint32_t count;        // number of fields or items
    uint32_t npos;         // records, CALL_ALL: fields passed by position
    uint32_t mode;         // records: RecordMode
    uint32_t nrequired;    // named tuples: items without a default
    uint32_t families;     // bit per WireFamily the node accepts (enums, literals)
    int32_t table[W_FAMILY_COUNT];  // unions: member node per family, or -1
    PyObject *label;       // str naming the type in messages (owned)
    PyObject *cls;         // class to build (owned), or NULL
    PyObject *extra;       // enum value map, literal pairs (owned), or NULL
    PyObject *kwnames;     // records, CALL_ALL: keyword field names (owned), or NULL
    // Records declared with forbid_unknown_fields (quelm.record) only:
    // what a refused key's message expects (owned str), and the wire names
    // of fields the class builds itself (owned tuple of str), which typed
    // packing writes and are therefore no unknown keys. NULL otherwise.
    PyObject *forbid_expected;
    PyObject *built_names;
};

struct TypedPlanObject {
    PyObject_HEAD
    PlanNode *nodes;
    PlanField *fields;
    uint32_t *items;       // node indices of fixed tuples' items
    uint32_t node_count;
    uint32_t field_count;
    uint32_t item_count;
    uint32_t root;
    bool cleared;          // the collector broke a cycle through it: unusable
};

extern PyTypeObject typed_plan_type;

// Process-wide objects the plans need, imported when the first plan is built.
struct TypedConstants {
    PyObject *uuid_type;          // uuid.UUID
    PyObject *safe_uuid_unknown;  // uuid.SafeUUID.unknown
    PyObject *decimal_type;       // decimal.Decimal
    PyObject *date_fromisoformat;
    PyObject *time_fromisoformat;
    PyObject *int_name;           // "int", the UUID slot
    PyObject *is_safe_name;       // "is_safe", the UUID slot
    PyObject *any_label;          // "Any", what maps inside Any values expect as keys
};

extern TypedConstants g_typed;

}  // namespace quelm

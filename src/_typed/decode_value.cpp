// The typed decoder (see decode_value.h): one value of a plan node at a time,
// validated as it is read and built in place.
#include "_typed/decode_value.h"

#include "_cquelm/state.h"
#include "_typed/decode_checks.h"
#include "_typed/decode_mismatch.h"
#include "_cquelm/stack_guard.h"
#include "_unpacker/construct.h"

#include <cstring>

namespace quelm {

namespace {

// ---- containers ------------------------------------------------------------

QUELM_INLINE uint64_t presize_for(const TypedState &s, const char *p, uint64_t n) noexcept {
    const uint64_t left = static_cast<uint64_t>(s.end - p);
    const uint64_t room = left > s.awaited ? left - s.awaited : 0;
    return n < room ? n : room;
}

QUELM_INLINE int open_container(TypedState &s, const Head &h) noexcept {
    const bool map = h.family == W_MAP;
    const int64_t limit = map ? s.options.max_map_len : s.options.max_array_len;
    if (QUELM_UNLIKELY(limit < static_cast<int64_t>(h.n))) {
        raise_limit(map ? "max_map_len" : "max_array_len", h.n, limit);
        return T_ERROR;
    }
    if (QUELM_UNLIKELY(s.depth >= kMaxDepth || stack_exhausted(s.stack_floor)))
        return T_TOO_DEEP;
    ++s.depth;
    return T_OK;
}

int decode_head(TypedState &s, const char *&p, uint32_t node, const Head &h,
                PyObject **out) noexcept;
int decode_any(TypedState &s, const char *&p, const Head &h, PyObject **out) noexcept;

// A list with room for `presize` items, hidden from the collector until full.
PyObject *open_list(uint64_t presize) noexcept {
    PyObject *list = PyList_New(static_cast<Py_ssize_t>(presize));
    if (list != nullptr)
        PyObject_GC_UnTrack(list);
    return list;
}

QUELM_INLINE int put_item(PyObject *list, uint64_t i, PyObject *item) noexcept {
    if (QUELM_LIKELY(static_cast<Py_ssize_t>(i) < PyList_GET_SIZE(list))) {
        PyList_SET_ITEM(list, static_cast<Py_ssize_t>(i), item);
        return 0;
    }
    const int r = PyList_Append(list, item);
    Py_DECREF(item);
    return r;
}

// list[T], tuple[T, ...], set[T], frozenset[T] and Any arrays (item node
// UINT32_MAX).
QUELM_NOINLINE int decode_array(TypedState &s, const char *&p, uint32_t kind, uint32_t item_node,
                                const Head &h, PyObject **out) noexcept {
    if (const int st = open_container(s, h))
        return st;
    const uint64_t n = h.n;
    const bool is_set = kind == K_SET || kind == K_FROZENSET;
    const uint64_t presize = is_set ? 0 : presize_for(s, p, n);
    const bool tuple_now = kind == K_TUPLE_VAR && presize == n;
    PyObject *c;
    if (is_set) {
        c = kind == K_SET ? PySet_New(nullptr) : PyFrozenSet_New(nullptr);
    } else if (tuple_now) {
        c = PyTuple_New(static_cast<Py_ssize_t>(n));
        if (c != nullptr && n > 0)
            PyObject_GC_UnTrack(c);
    } else {
        c = open_list(presize);
    }
    if (c == nullptr)
        return T_ERROR;
    s.awaited += n;
    for (uint64_t i = 0; i < n; ++i) {
        --s.awaited;
        PyObject *item;
        Head ih;
        int st = read_head(p, s.end, ih);
        if (st == T_OK)
            st = item_node == UINT32_MAX ? decode_any(s, p, ih, &item)
                                         : decode_head(s, p, item_node, ih, &item);
        if (QUELM_UNLIKELY(st != T_OK)) {
            Py_DECREF(c);
            return at_index(s, st, i);
        }
        int r;
        if (is_set) {
            r = PySet_Add(c, item);
            if (QUELM_UNLIKELY(r < 0)) {
                st = unhashable(s, s.plan->nodes[item_node].label, item, false);
                Py_DECREF(item);
                Py_DECREF(c);
                return at_index(s, st, i);
            }
            Py_DECREF(item);
        } else if (tuple_now) {
            PyTuple_SET_ITEM(c, static_cast<Py_ssize_t>(i), item);
            r = 0;
        } else {
            r = put_item(c, i, item);
        }
        if (QUELM_UNLIKELY(r < 0)) {
            Py_DECREF(c);
            return T_ERROR;
        }
    }
    --s.depth;
    if (!is_set && n > 0)
        PyObject_GC_Track(c);
    if (kind == K_TUPLE_VAR && !tuple_now) {
        *out = PyList_AsTuple(c);
        Py_DECREF(c);
        return *out != nullptr ? T_OK : T_ERROR;
    }
    *out = c;
    return T_OK;
}

// A str key in `node`'s position: interned keys from the key cache when
// the node takes any str.
QUELM_INLINE int decode_key(TypedState &s, const char *&p, uint32_t node, PyObject **out) noexcept {
    Head h;
    if (const int st = read_head(p, s.end, h))
        return st;
    if (h.family == W_STR && (node == UINT32_MAX || s.plan->nodes[node].kind == K_STR ||
                              s.plan->nodes[node].kind == K_ANY)) {
        *out = construct_key_str(s.options, h.data, h.n);
        return *out != nullptr ? T_OK : T_ERROR;
    }
    return node == UINT32_MAX ? decode_any(s, p, h, out) : decode_head(s, p, node, h, out);
}

// dict[K, V] and Any maps (nodes UINT32_MAX: keys follow strict_map_key,
// as in unpackb).
QUELM_NOINLINE int decode_dict(TypedState &s, const char *&p, uint32_t key_node,
                               uint32_t value_node, const Head &h, PyObject **out) noexcept {
    if (const int st = open_container(s, h))
        return st;
    Ref d = Ref::steal(PyDict_New());
    if (!d)
        return T_ERROR;
    s.awaited += 2 * h.n;
    for (uint64_t i = 0; i < h.n; ++i) {
        s.awaited -= 2;
        PyObject *key, *value;
        if (const int st = decode_key(s, p, key_node, &key))
            return st == T_MISMATCH ? as_key(s) : st;
        Head vh;
        int st = read_head(p, s.end, vh);
        if (st == T_OK)
            st = value_node == UINT32_MAX ? decode_any(s, p, vh, &value)
                                          : decode_head(s, p, value_node, vh, &value);
        if (QUELM_UNLIKELY(st != T_OK)) {
            st = at_name(s, st, key);
            Py_DECREF(key);
            return st;
        }
        if (key_node == UINT32_MAX) {
            if (QUELM_LIKELY(PyUnicode_CheckExact(key))) {
                if (add_map_pair(s.options, d.get(), i, key, value) < 0)
                    return T_ERROR;
                continue;
            }
            // Held past the call, which steals it, to name it if it cannot be hashed.
            Ref held = Ref::borrow(key);
            if (add_map_pair(s.options, d.get(), i, key, value) < 0)
                return unhashable(s, g_typed.any_label, held.get(), true);
            continue;
        }
        if (PyUnicode_CheckExact(key) && !PyUnicode_CHECK_INTERNED(key))
            PyUnicode_InternInPlace(&key);
        const int r = PyDict_SetItem(d.get(), key, value);
        Py_DECREF(value);
        if (QUELM_UNLIKELY(r < 0)) {
            st = unhashable(s, s.plan->nodes[key_node].label, key, true);
            Py_DECREF(key);
            return st;
        }
        Py_DECREF(key);
    }
    --s.depth;
    *out = d.release();
    return T_OK;
}

// Values of fields, one slot per field, released on every path.
struct FieldValues {
    static constexpr uint32_t kLocal = 16;
    PyObject *local[kLocal];
    PyObject **v;
    uint32_t count;

    explicit FieldValues(uint32_t n) noexcept : v(local), count(n) {
        if (n > kLocal)
            v = static_cast<PyObject **>(PyMem_Calloc(n, sizeof(PyObject *)));
        else
            std::memset(local, 0, sizeof local);
    }
    ~FieldValues() {
        if (v == nullptr)
            return;
        for (uint32_t i = 0; i < count; ++i)
            Py_XDECREF(v[i]);
        if (v != local)
            PyMem_Free(v);
    }
    FieldValues(const FieldValues &) = delete;
    FieldValues &operator=(const FieldValues &) = delete;
};

// The field whose wire name is the n bytes at key, trying `guess` first
// (maps usually list the fields in order); -1 if none.
QUELM_INLINE int64_t find_field(const TypedPlanObject *plan, const PlanNode &node,
                                const char *key, uint64_t n, uint32_t guess) noexcept {
    const PlanField *fields = plan->fields + node.first;
    if (guess < node.count && static_cast<uint64_t>(fields[guess].wire_len) == n &&
        std::memcmp(fields[guess].wire_utf8, key, n) == 0)
        return guess;
    for (uint32_t i = 0; i < node.count; ++i)
        if (static_cast<uint64_t>(fields[i].wire_len) == n &&
            std::memcmp(fields[i].wire_utf8, key, n) == 0)
            return i;
    return -1;
}

// Reads the pairs of a map into the slots of the node's fields: unknown
// keys (and keys that are not str) are skipped with their values; a key
// given twice keeps its later value.
int read_fields(TypedState &s, const char *&p, const PlanNode &node, const Head &h,
                FieldValues &values) noexcept {
    if (values.v == nullptr) {
        PyErr_NoMemory();
        return T_ERROR;
    }
    if (const int st = open_container(s, h))
        return st;
    const PlanField *fields = s.plan->fields + node.first;
    uint32_t guess = 0;
    s.awaited += 2 * h.n;
    for (uint64_t i = 0; i < h.n; ++i) {
        s.awaited -= 2;
        Head kh;
        if (const int st = read_head(p, s.end, kh))
            return st;
        int64_t f = -1;
        if (kh.family == W_STR) {
            if (QUELM_UNLIKELY(s.options.max_str_len < static_cast<int64_t>(kh.n))) {
                raise_limit("max_str_len", kh.n, s.options.max_str_len);
                return T_ERROR;
            }
            f = find_field(s.plan, node, kh.data, kh.n, guess);
        } else if (kh.family == W_ARRAY || kh.family == W_MAP) {
            p = kh.start;
            if (const int st = skip_value(s, p))
                return st;
        }
        if (f < 0) {
            if (const int st = skip_unknown(s, p, node, kh.start))
                return st;
            continue;
        }
        PyObject *value;
        if (const int st = decode_typed(s, p, fields[f].node, &value))
            return at_name(s, st, fields[f].wire_name);
        Py_XSETREF(values.v[f], value);
        guess = static_cast<uint32_t>(f) + 1;
    }
    --s.depth;
    return T_OK;
}

// A dataclass or attrs instance from a map: the class called as
// T(**fields) would call it.
QUELM_NOINLINE int decode_record(TypedState &s, const char *&p, const PlanNode &node,
                                 const Head &h, PyObject **out) noexcept {
    FieldValues values(node.count);
    if (const int st = read_fields(s, p, node, h, values))
        return st;
    const PlanField *fields = s.plan->fields + node.first;
    uint32_t present = 0;
    for (uint32_t f = 0; f < node.count; ++f) {
        if (values.v[f] != nullptr) {
            ++present;
            continue;
        }
        if (fields[f].flags & FIELD_REQUIRED)
            return missing_field(s, fields[f]);
        if (node.mode != CALL_ALL)
            continue;
        values.v[f] = fields[f].factory != nullptr ? PyObject_CallNoArgs(fields[f].factory)
                                                   : Py_NewRef(fields[f].default_value);
        if (values.v[f] == nullptr)
            return T_ERROR;
        ++present;
    }
    if (node.mode == CALL_ALL) {
        *out = PyObject_Vectorcall(node.cls, values.v, node.npos, node.kwnames);
        return *out != nullptr ? T_OK : T_ERROR;
    }
    // Only the fields present, by keyword: the class applies its defaults.
    Ref kwnames = Ref::steal(PyTuple_New(present));
    if (!kwnames)
        return T_ERROR;
    uint32_t k = 0;
    for (uint32_t f = 0; f < node.count; ++f) {
        if (values.v[f] == nullptr)
            continue;
        PyTuple_SET_ITEM(kwnames.get(), k, Py_NewRef(fields[f].init_name));
        values.v[k] = values.v[f];
        if (k != f)
            values.v[f] = nullptr;
        ++k;
    }
    *out = PyObject_Vectorcall(node.cls, values.v, 0, kwnames.get());
    return *out != nullptr ? T_OK : T_ERROR;
}

// The member of a tagged union named by the tag value at `p` (advanced
// past it), or -1 with a mismatch (or error) status in `*st`.
int64_t tagged_member(TypedState &s, const char *&p, const PlanNode &node, int *st) noexcept {
    const PlanField *entries = s.plan->fields + node.first;
    Head vh;
    if ((*st = read_head(p, s.end, vh)) != T_OK)
        return -1;
    if (vh.family == W_STR) {
        for (uint32_t i = 0; i < node.count; ++i)
            if ((entries[i].flags & TAG_STR) &&
                static_cast<uint64_t>(entries[i].wire_len) == vh.n &&
                std::memcmp(entries[i].wire_utf8, vh.data, vh.n) == 0)
                return entries[i].node;
    }
    PyObject *raw;
    if ((*st = decode_any(s, p, vh, &raw)) != T_OK)
        return -1;
    Ref value = Ref::steal(raw);
    for (uint32_t i = 0; i < node.count; ++i) {
        PyObject *d = entries[i].default_value;
        if (d == nullptr || Py_TYPE(d) != Py_TYPE(raw))
            continue;
        const int eq = PyObject_RichCompareBool(d, raw, Py_EQ);
        if (eq != 0) {
            *st = eq < 0 ? T_ERROR : T_OK;
            return eq < 0 ? -1 : entries[i].node;
        }
    }
    *st = mismatch_value(s, node, raw);
    return -1;
}

// A union of records from a map: the tag's value, wherever the key sits
// (found at once when it comes first), names the member, which then reads
// the whole map, tag included, as its own.
QUELM_NOINLINE int decode_tagged(TypedState &s, const char *&p, const PlanNode &node,
                                 const Head &h, PyObject **out) noexcept {
    Py_ssize_t tag_len;
    const char *tag = PyUnicode_AsUTF8AndSize(node.extra, &tag_len);
    if (tag == nullptr)
        return T_ERROR;
    // Open while the pairs are scanned, so that what they hold counts at
    // its true depth; the member opens it again to read it.
    if (const int st = open_container(s, h))
        return st;
    const char *q = p;
    for (uint64_t i = 0; i < h.n; ++i) {
        Head kh;
        if (const int st = read_head(q, s.end, kh))
            return st;
        if (kh.family == W_STR && kh.n == static_cast<uint64_t>(tag_len) &&
            std::memcmp(kh.data, tag, kh.n) == 0) {
            int st;
            const int64_t member = tagged_member(s, q, node, &st);
            if (member < 0) {
                if (st == T_MISMATCH) {  // the rest of the map may still be malformed
                    p = h.start;
                    if (const int skipped = skip_value(s, p))
                        return skipped;
                }
                return at_name(s, st, node.extra);
            }
            --s.depth;
            return decode_head(s, p, static_cast<uint32_t>(member), h, out);
        }
        if (kh.family == W_ARRAY || kh.family == W_MAP) {
            q = kh.start;
            if (const int st = skip_value(s, q))
                return st;
        }
        if (const int st = skip_value(s, q))
            return st;
    }
    p = q;
    const int st = set_mismatch(s, node.label,
                                PyUnicode_FromString("nothing (the tag is missing)"));
    return at_name(s, st, node.extra);
}

// A TypedDict from a map: its known keys, the required ones enforced.
QUELM_NOINLINE int decode_typeddict(TypedState &s, const char *&p, const PlanNode &node,
                                    const Head &h, PyObject **out) noexcept {
    FieldValues values(node.count);
    if (const int st = read_fields(s, p, node, h, values))
        return st;
    const PlanField *fields = s.plan->fields + node.first;
    Ref d = Ref::steal(PyDict_New());
    if (!d)
        return T_ERROR;
    for (uint32_t f = 0; f < node.count; ++f) {
        if (values.v[f] == nullptr) {
            if (fields[f].flags & FIELD_REQUIRED)
                return missing_field(s, fields[f]);
            continue;
        }
        if (PyDict_SetItem(d.get(), fields[f].wire_name, values.v[f]) < 0)
            return T_ERROR;
    }
    *out = d.release();
    return T_OK;
}

// tuple[A, B, ...] (exactly as many items) and NamedTuple (trailing
// defaults applied) from an array.
QUELM_NOINLINE int decode_fixed(TypedState &s, const char *&p, const PlanNode &node,
                                const Head &h, PyObject **out) noexcept {
    const bool named = node.kind == K_NAMEDTUPLE;
    const uint64_t least = named ? node.nrequired : node.count;
    if (h.n < least || h.n > node.count)
        return mismatch(s, p, node, h);
    if (const int st = open_container(s, h))
        return st;
    FieldValues values(node.count);
    if (values.v == nullptr) {
        PyErr_NoMemory();
        return T_ERROR;
    }
    s.awaited += h.n;
    for (uint64_t i = 0; i < h.n; ++i) {
        --s.awaited;
        const uint32_t item = named ? s.plan->fields[node.first + i].node
                                    : s.plan->items[node.first + i];
        if (const int st = decode_typed(s, p, item, &values.v[i]))
            return at_index(s, st, i);
    }
    --s.depth;
    for (uint64_t i = h.n; i < node.count; ++i)
        values.v[i] = Py_NewRef(s.plan->fields[node.first + i].default_value);
    if (named) {
        *out = PyObject_Vectorcall(node.cls, values.v, node.count, nullptr);
        return *out != nullptr ? T_OK : T_ERROR;
    }
    PyObject *t = PyTuple_New(node.count);
    if (t == nullptr)
        return T_ERROR;
    for (uint32_t i = 0; i < node.count; ++i) {
        PyTuple_SET_ITEM(t, i, values.v[i]);
        values.v[i] = nullptr;
    }
    *out = t;
    return T_OK;
}

// ---- scalars the type converts ---------------------------------------------

QUELM_INLINE int hex_digit(unsigned char c) noexcept {
    if (c >= '0' && c <= '9')
        return c - '0';
    c |= 0x20;
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// The 32 hex digits of a UUID's text (hyphenated at 8-4-4-4-12, or plain)
// into `digits`; false if the text is neither.
bool uuid_digits(const char *p, uint64_t n, char *digits) noexcept {
    if (n != 36 && n != 32)
        return false;
    int k = 0;
    for (uint64_t i = 0; i < n; ++i) {
        const unsigned char c = static_cast<unsigned char>(p[i]);
        if (n == 36 && (i == 8 || i == 13 || i == 18 || i == 23)) {
            if (c != '-')
                return false;
            continue;
        }
        if (hex_digit(c) < 0)
            return false;
        digits[k++] = static_cast<char>(c);
    }
    digits[k] = '\0';
    return true;
}

// A uuid.UUID from its text or its 16 bytes, built as UUID(...) builds it
// (the int and is_safe slots set on a new instance), without the call.
QUELM_NOINLINE int decode_uuid(TypedState &s, const char *&p, const PlanNode &node, const Head &h,
                               PyObject **out) noexcept {
    char digits[33];
    if (h.family == W_BIN && h.n == 16) {
        static const char hex[] = "0123456789abcdef";
        for (int i = 0; i < 16; ++i) {
            const unsigned char c = static_cast<unsigned char>(h.data[i]);
            digits[2 * i] = hex[c >> 4];
            digits[2 * i + 1] = hex[c & 15];
        }
        digits[32] = '\0';
    } else if (h.family != W_STR) {
        return mismatch(s, p, node, h);
    } else if (QUELM_UNLIKELY(s.options.max_str_len < static_cast<int64_t>(h.n))) {
        raise_limit("max_str_len", h.n, s.options.max_str_len);
        return T_ERROR;
    } else if (!uuid_digits(h.data, h.n, digits)) {
        Ref text = Ref::steal(construct_str(s.options, h.data, h.n));
        return text ? mismatch_value(s, node, text.get()) : T_ERROR;
    }
    Ref value = Ref::steal(PyLong_FromString(digits, nullptr, 16));
    if (!value)
        return T_ERROR;
    PyTypeObject *type = reinterpret_cast<PyTypeObject *>(g_typed.uuid_type);
    Ref empty = Ref::steal(PyTuple_New(0));
    if (!empty)
        return T_ERROR;
    Ref u = Ref::steal(PyBaseObject_Type.tp_new(type, empty.get(), nullptr));
    if (!u || PyObject_GenericSetAttr(u.get(), g_typed.int_name, value.get()) < 0 ||
        PyObject_GenericSetAttr(u.get(), g_typed.is_safe_name, g_typed.safe_uuid_unknown) < 0)
        return T_ERROR;
    *out = u.release();
    return T_OK;
}

// A plain scalar of the families an Enum or Literal takes.
QUELM_INLINE int decode_scalar(TypedState &s, const char *&p, const PlanNode &node, const Head &h,
                               PyObject **out) noexcept {
    if (!(node.families & (1u << h.family)) || h.family == W_ARRAY || h.family == W_MAP)
        return mismatch(s, p, node, h);
    return decode_any(s, p, h, out);
}

QUELM_NOINLINE int decode_enum(TypedState &s, const char *&p, const PlanNode &node, const Head &h,
                               PyObject **out) noexcept {
    PyObject *raw;
    if (const int st = decode_scalar(s, p, node, h, &raw))
        return st;
    Ref value = Ref::steal(raw);
    PyObject *member = PyDict_GetItemWithError(node.extra, raw);
    if (member != nullptr && Py_TYPE(member) == reinterpret_cast<PyTypeObject *>(node.cls)) {
        *out = Py_NewRef(member);
        return T_OK;
    }
    if (PyErr_Occurred())
        return refused_value(s, node, raw);
    // Values not in the map (Flag combinations, _missing_) are the class's
    // own to decide.
    *out = PyObject_CallOneArg(node.cls, raw);
    return *out != nullptr ? T_OK : refused_value(s, node, raw);
}

// The literal's value whose str form is the n UTF-8 bytes at `text`, matched
// without building a str (a tag is read once per record); null if none.
QUELM_INLINE PyObject *literal_str(const PlanNode &node, const char *text, uint64_t n) noexcept {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(node.extra); ++i) {
        PyObject *pair = PyTuple_GET_ITEM(node.extra, i);
        PyObject *wire = PyTuple_GET_ITEM(pair, 0);
        if (!PyUnicode_CheckExact(wire))
            continue;
        Py_ssize_t len;
        const char *utf8 = PyUnicode_AsUTF8AndSize(wire, &len);
        if (utf8 == nullptr) {  // a lone surrogate: no bytes can match it
            PyErr_Clear();
            continue;
        }
        if (static_cast<uint64_t>(len) == n && std::memcmp(utf8, text, n) == 0)
            return PyTuple_GET_ITEM(pair, 1);
    }
    return nullptr;
}

QUELM_NOINLINE int decode_literal(TypedState &s, const char *&p, const PlanNode &node,
                                  const Head &h, PyObject **out) noexcept {
    if (h.family == W_STR && (node.families & (1u << W_STR))) {
        if (PyObject *match = literal_str(node, h.data, h.n)) {
            *out = Py_NewRef(match);
            return T_OK;
        }
    }
    PyObject *raw;
    if (const int st = decode_scalar(s, p, node, h, &raw))
        return st;
    Ref value = Ref::steal(raw);
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(node.extra); ++i) {
        PyObject *pair = PyTuple_GET_ITEM(node.extra, i);
        PyObject *wire = PyTuple_GET_ITEM(pair, 0);
        if (Py_TYPE(wire) != Py_TYPE(raw))
            continue;
        const int eq = PyObject_RichCompareBool(wire, raw, Py_EQ);
        if (eq < 0)
            return T_ERROR;
        if (eq) {
            *out = Py_NewRef(PyTuple_GET_ITEM(pair, 1));
            return T_OK;
        }
    }
    return mismatch_value(s, node, raw);
}

// Decimal from str or int, date and time from their ISO text: the class's
// own constructor decides, and a refusal is a mismatch.
QUELM_NOINLINE int decode_converted(TypedState &s, const char *&p, const PlanNode &node,
                                    const Head &h, PyObject **out) noexcept {
    const bool takes_int = node.kind == K_DECIMAL;
    if (h.family != W_STR && !(takes_int && h.family == W_INT))
        return mismatch(s, p, node, h);
    PyObject *raw;
    if (const int st = decode_any(s, p, h, &raw))
        return st;
    Ref value = Ref::steal(raw);
    PyObject *convert = node.kind == K_DECIMAL ? g_typed.decimal_type
                        : node.kind == K_DATE  ? g_typed.date_fromisoformat
                                               : g_typed.time_fromisoformat;
    *out = PyObject_CallOneArg(convert, raw);
    return *out != nullptr ? T_OK : refused_value(s, node, raw);
}

// A value with constraints: built by its own node, then checked.
QUELM_NOINLINE int decode_checked(TypedState &s, const char *&p, const PlanNode &node,
                                  const Head &h, PyObject **out) noexcept {
    if (const int st = decode_head(s, p, node.child, h, out))
        return st;
    const int st = apply_checks(s, node, *out);
    if (st != T_OK)
        Py_CLEAR(*out);
    return st;
}

// ---- the dispatch ----------------------------------------------------------

// Any: what unpackb builds by default (lists, dicts whose keys follow
// strict_map_key, Timestamp and ExtType for extension values).
int decode_any(TypedState &s, const char *&p, const Head &h, PyObject **out) noexcept {
    PyObject *o;
    switch (h.family) {
    case W_NIL:
        o = Py_NewRef(Py_None);
        break;
    case W_BOOL:
        o = Py_NewRef(h.u ? Py_True : Py_False);
        break;
    case W_INT:
        o = h.negative ? construct_int(h.i) : construct_uint(h.u);
        break;
    case W_FLOAT:
        o = PyFloat_FromDouble(h.d);
        break;
    case W_STR:
        o = construct_str(s.options, h.data, h.n);
        break;
    case W_BIN:
        o = construct_bin(s.options, h.data, h.n);
        break;
    case W_ARRAY:
        return decode_array(s, p, K_LIST, UINT32_MAX, h, out);
    case W_MAP:
        return decode_dict(s, p, UINT32_MAX, UINT32_MAX, h, out);
    default:
        o = construct_ext(s.options, h.data, h.n + 1);
        break;
    }
    *out = o;
    return o != nullptr ? T_OK : T_ERROR;
}

int decode_head(TypedState &s, const char *&p, uint32_t index, const Head &h,
                PyObject **out) noexcept {
    const PlanNode &node = s.plan->nodes[index];
    PyObject *o;
    switch (node.kind) {
    case K_INT:
        if (QUELM_UNLIKELY(h.family != W_INT))
            return mismatch(s, p, node, h);
        o = h.negative ? construct_int(h.i) : construct_uint(h.u);
        break;
    case K_FLOAT:
        if (h.family == W_FLOAT)
            o = PyFloat_FromDouble(h.d);
        else if (h.family == W_INT)
            o = PyFloat_FromDouble(h.negative ? static_cast<double>(h.i)
                                              : static_cast<double>(h.u));
        else
            return mismatch(s, p, node, h);
        break;
    case K_STR:
        if (QUELM_UNLIKELY(h.family != W_STR))
            return mismatch(s, p, node, h);
        o = construct_str(s.options, h.data, h.n);
        break;
    case K_BOOL:
        if (QUELM_UNLIKELY(h.family != W_BOOL))
            return mismatch(s, p, node, h);
        o = Py_NewRef(h.u ? Py_True : Py_False);
        break;
    case K_NONE:
        if (QUELM_UNLIKELY(h.family != W_NIL))
            return mismatch(s, p, node, h);
        o = Py_NewRef(Py_None);
        break;
    case K_BYTES:
    case K_BYTEARRAY:
        if (QUELM_UNLIKELY(h.family != W_BIN))
            return mismatch(s, p, node, h);
        if (QUELM_UNLIKELY(s.options.max_bin_len < static_cast<int64_t>(h.n))) {
            raise_limit("max_bin_len", h.n, s.options.max_bin_len);
            return T_ERROR;
        }
        o = node.kind == K_BYTES
                ? PyBytes_FromStringAndSize(h.data, static_cast<Py_ssize_t>(h.n))
                : PyByteArray_FromStringAndSize(h.data, static_cast<Py_ssize_t>(h.n));
        break;
    case K_ANY:
        return decode_any(s, p, h, out);
    case K_LIST:
    case K_TUPLE_VAR:
    case K_SET:
    case K_FROZENSET:
        if (QUELM_UNLIKELY(h.family != W_ARRAY))
            return mismatch(s, p, node, h);
        return decode_array(s, p, node.kind, node.child, h, out);
    case K_TUPLE_FIXED:
    case K_NAMEDTUPLE:
        if (QUELM_UNLIKELY(h.family != W_ARRAY))
            return mismatch(s, p, node, h);
        return decode_fixed(s, p, node, h, out);
    case K_DICT:
        if (QUELM_UNLIKELY(h.family != W_MAP))
            return mismatch(s, p, node, h);
        return decode_dict(s, p, node.child, node.child2, h, out);
    case K_RECORD:
        if (QUELM_UNLIKELY(h.family != W_MAP))
            return mismatch(s, p, node, h);
        return decode_record(s, p, node, h, out);
    case K_TYPEDDICT:
        if (QUELM_UNLIKELY(h.family != W_MAP))
            return mismatch(s, p, node, h);
        return decode_typeddict(s, p, node, h, out);
    case K_UNION: {
        const int32_t member = node.table[h.family];
        if (member < 0)
            return mismatch(s, p, node, h);
        return decode_head(s, p, static_cast<uint32_t>(member), h, out);
    }
    case K_CHECKED:
        return decode_checked(s, p, node, h, out);
    case K_TAGGED:
        if (QUELM_UNLIKELY(h.family != W_MAP))
            return mismatch(s, p, node, h);
        return decode_tagged(s, p, node, h, out);
    case K_LITERAL:
        return decode_literal(s, p, node, h, out);
    case K_ENUM:
        return decode_enum(s, p, node, h, out);
    case K_UUID:
        return decode_uuid(s, p, node, h, out);
    case K_DECIMAL:
    case K_DATE:
    case K_TIME:
        return decode_converted(s, p, node, h, out);
    case K_DATETIME:
        if (h.family != W_TIMESTAMP)
            return mismatch(s, p, node, h);
        o = construct_ext(s.datetime_options, h.data, h.n + 1);
        if (QUELM_UNLIKELY(o == nullptr))
            return out_of_range(s, node);
        break;
    default:
        PyErr_Format(PyExc_RuntimeError, "Invalid plan node kind: %u", node.kind);
        return T_ERROR;
    }
    *out = o;
    return o != nullptr ? T_OK : T_ERROR;
}

}  // namespace

int decode_typed(TypedState &s, const char *&p, uint32_t node, PyObject **out) noexcept {
    Head h;
    if (const int st = read_head(p, s.end, h))
        return st;
    return decode_head(s, p, node, h, out);
}

}  // namespace quelm

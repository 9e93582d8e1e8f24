/* The object-construction floor of decoding, for benchmarks only.
 *
 * tape(obj) walks a value of None, bools, ints of 64 bits, floats, str,
 * bytes, lists, tuples and dicts once, ahead of any timing, and records it as
 * a flat tape: fixed-size entries, the text of every str and bytes payload in
 * one block, and the dict keys as ready-made str objects. build(tape) then
 * makes the same objects from the tape with the same C-API calls a decoder
 * makes (no parsing at all), so its time is what building the result costs
 * by itself: no decoder can beat it by much. Keys are shared, as a decoder's
 * key cache shares them; every other object is new. A list of nothing but
 * 64-bit ints is one entry and an array of the values, built with
 * PyList_New and one PyLong_FromLongLong per item, with no choice made per
 * item: the least any decoder of mixed-width ints can do.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string.h>

enum { T_NIL, T_TRUE, T_FALSE, T_INT, T_BIGUINT, T_FLOAT, T_STR, T_BYTES, T_LIST, T_TUPLE, T_DICT,
       T_INTS };

typedef struct {
    long long kind;
    union {
        long long i;
        unsigned long long u;
        double d;
        struct {
            unsigned int offset;
            unsigned int length;
        } text;
        long long count;
    } v;
} Entry;

typedef struct {
    Entry *entries;
    Py_ssize_t n, cap;
    char *text;
    Py_ssize_t text_len, text_cap;
    PyObject *keys; /* list of str, the keys in tape order */
} Writer;

static int grow(void **p, Py_ssize_t *cap, Py_ssize_t need, size_t unit) {
    if (need <= *cap)
        return 0;
    Py_ssize_t c = *cap ? *cap : 64;
    while (c < need)
        c *= 2;
    void *q = PyMem_Realloc(*p, (size_t)c * unit);
    if (q == NULL) {
        PyErr_NoMemory();
        return -1;
    }
    *p = q;
    *cap = c;
    return 0;
}

static Entry *push(Writer *w, long long kind) {
    if (grow((void **)&w->entries, &w->cap, w->n + 1, sizeof(Entry)) < 0)
        return NULL;
    Entry *e = &w->entries[w->n++];
    e->kind = kind;
    return e;
}

static int push_text(Writer *w, long long kind, const char *s, Py_ssize_t n) {
    Entry *e = push(w, kind);
    if (e == NULL || grow((void **)&w->text, &w->text_cap, w->text_len + n, 1) < 0)
        return -1;
    memcpy(w->text + w->text_len, s, (size_t)n);
    e->v.text.offset = (unsigned int)w->text_len;
    e->v.text.length = (unsigned int)n;
    w->text_len += n;
    return 0;
}

/* Whether every item of the list is an int of 64 bits. */
static int all_int64(PyObject *list) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); i++) {
        PyObject *item = PyList_GET_ITEM(list, i);
        int overflow;
        if (!PyLong_CheckExact(item))
            return 0;
        (void)PyLong_AsLongLongAndOverflow(item, &overflow);
        if (overflow)
            return 0;
    }
    return PyList_GET_SIZE(list) > 0;
}

static int record(Writer *w, PyObject *o, int is_key) {
    if (is_key) {
        if (!PyUnicode_CheckExact(o)) {
            PyErr_SetString(PyExc_TypeError, "dict keys must be str");
            return -1;
        }
        return PyList_Append(w->keys, o);
    }
    Entry *e;
    if (o == Py_None)
        return push(w, T_NIL) ? 0 : -1;
    if (o == Py_True)
        return push(w, T_TRUE) ? 0 : -1;
    if (o == Py_False)
        return push(w, T_FALSE) ? 0 : -1;
    if (PyLong_CheckExact(o)) {
        int overflow;
        long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
        if (overflow > 0) {
            unsigned long long u = PyLong_AsUnsignedLongLong(o);
            if (PyErr_Occurred() || (e = push(w, T_BIGUINT)) == NULL)
                return -1;
            e->v.u = u;
            return 0;
        }
        if ((v == -1 && PyErr_Occurred()) || overflow || (e = push(w, T_INT)) == NULL) {
            if (!PyErr_Occurred())
                PyErr_SetString(PyExc_OverflowError, "int out of range");
            return -1;
        }
        e->v.i = v;
        return 0;
    }
    if (PyFloat_CheckExact(o)) {
        if ((e = push(w, T_FLOAT)) == NULL)
            return -1;
        e->v.d = PyFloat_AS_DOUBLE(o);
        return 0;
    }
    if (PyUnicode_CheckExact(o)) {
        Py_ssize_t n;
        const char *s = PyUnicode_AsUTF8AndSize(o, &n);
        return s == NULL ? -1 : push_text(w, T_STR, s, n);
    }
    if (PyBytes_CheckExact(o))
        return push_text(w, T_BYTES, PyBytes_AS_STRING(o), PyBytes_GET_SIZE(o));
    if (PyList_CheckExact(o) && all_int64(o)) {
        Py_ssize_t n = PyList_GET_SIZE(o);
        if ((e = push(w, T_INTS)) == NULL)
            return -1;
        e->v.count = n;
        for (Py_ssize_t i = 0; i < n; i++) {
            if ((e = push(w, T_INT)) == NULL)
                return -1;
            e->v.i = PyLong_AsLongLong(PyList_GET_ITEM(o, i));
        }
        return 0;
    }
    if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
        Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
        if ((e = push(w, PyList_CheckExact(o) ? T_LIST : T_TUPLE)) == NULL)
            return -1;
        e->v.count = n;
        for (Py_ssize_t i = 0; i < n; i++)
            if (record(w, PySequence_Fast_GET_ITEM(o, i), 0) < 0)
                return -1;
        return 0;
    }
    if (PyDict_CheckExact(o)) {
        if ((e = push(w, T_DICT)) == NULL)
            return -1;
        e->v.count = PyDict_GET_SIZE(o);
        Py_ssize_t pos = 0;
        PyObject *k, *v;
        while (PyDict_Next(o, &pos, &k, &v))
            if (record(w, k, 1) < 0 || record(w, v, 0) < 0)
                return -1;
        return 0;
    }
    PyErr_Format(PyExc_TypeError, "no tape for %.200s", Py_TYPE(o)->tp_name);
    return -1;
}

/* tape(obj) -> (entries: bytes, text: bytes, keys: tuple) */
static PyObject *floor_tape(PyObject *module, PyObject *obj) {
    (void)module;
    Writer w = {0};
    PyObject *result = NULL;
    w.keys = PyList_New(0);
    if (w.keys != NULL && record(&w, obj, 0) == 0) {
        PyObject *keys = PyList_AsTuple(w.keys);
        if (keys != NULL)
            result = Py_BuildValue("(y#y#N)", (const char *)w.entries,
                                   (Py_ssize_t)(w.n * (Py_ssize_t)sizeof(Entry)),
                                   w.text ? w.text : "", w.text_len, keys);
    }
    Py_XDECREF(w.keys);
    PyMem_Free(w.entries);
    PyMem_Free(w.text);
    return result;
}

typedef struct {
    const Entry *e;
    const char *text;
    PyObject *const *keys;
} Reader;

static PyObject *make(Reader *r);

/* A scalar entry's object, inline in the container loops below as a
 * decoder's fill loop has it; containers go through make(). */
static inline PyObject *make_item(Reader *r) {
    const Entry *e = r->e;
    switch (e->kind) {
    case T_NIL: r->e++; Py_INCREF(Py_None); return Py_None;
    case T_TRUE: r->e++; Py_INCREF(Py_True); return Py_True;
    case T_FALSE: r->e++; Py_INCREF(Py_False); return Py_False;
    case T_INT: r->e++; return PyLong_FromLongLong(e->v.i);
    case T_FLOAT: r->e++; return PyFloat_FromDouble(e->v.d);
    case T_STR:
        r->e++;
        return PyUnicode_DecodeUTF8(r->text + e->v.text.offset, e->v.text.length, NULL);
    default: return make(r);
    }
}

/* An empty dict with room for n pairs: the decoder pre-sizes too, through
 * the same private call on the interpreters that have it. */
static PyObject *new_dict(long long n) {
#if PY_VERSION_HEX >= 0x03090000 && PY_VERSION_HEX < 0x030E0000
    if (n > 5)
        return _PyDict_NewPresized((Py_ssize_t)(n < 1024 ? n : 1024));
#endif
    (void)n;
    return PyDict_New();
}

/* The objects are made depth first, as a decoder completes them. */
static PyObject *make(Reader *r) {
    const Entry *e = r->e++;
    switch (e->kind) {
    case T_NIL: Py_INCREF(Py_None); return Py_None;
    case T_TRUE: Py_INCREF(Py_True); return Py_True;
    case T_FALSE: Py_INCREF(Py_False); return Py_False;
    case T_INT: return PyLong_FromLongLong(e->v.i);
    case T_BIGUINT: return PyLong_FromUnsignedLongLong(e->v.u);
    case T_FLOAT: return PyFloat_FromDouble(e->v.d);
    case T_STR: return PyUnicode_DecodeUTF8(r->text + e->v.text.offset, e->v.text.length, NULL);
    case T_BYTES: return PyBytes_FromStringAndSize(r->text + e->v.text.offset, e->v.text.length);
    case T_LIST:
    case T_TUPLE: {
        Py_ssize_t n = (Py_ssize_t)e->v.count;
        PyObject *c = e->kind == T_LIST ? PyList_New(n) : PyTuple_New(n);
        if (c == NULL)
            return NULL;
        PyObject **slots = PySequence_Fast_ITEMS(c);
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *item = make_item(r);
            if (item == NULL) {
                Py_DECREF(c);
                return NULL;
            }
            slots[i] = item;
        }
        return c;
    }
    case T_INTS: {
        Py_ssize_t n = (Py_ssize_t)e->v.count;
        const Entry *values = r->e;
        r->e += n;
        PyObject *c = PyList_New(n);
        if (c == NULL)
            return NULL;
        for (Py_ssize_t i = 0; i < n; i++) {
            PyObject *item = PyLong_FromLongLong(values[i].v.i);
            if (item == NULL) {
                Py_DECREF(c);
                return NULL;
            }
            PyList_SET_ITEM(c, i, item);
        }
        return c;
    }
    case T_DICT: {
        PyObject *d = new_dict(e->v.count);
        for (long long i = 0; d != NULL && i < e->v.count; i++) {
            PyObject *key = *r->keys++;
            PyObject *value = make_item(r);
            if (value == NULL || PyDict_SetItem(d, key, value) < 0) {
                Py_XDECREF(value);
                Py_CLEAR(d);
                break;
            }
            Py_DECREF(value);
        }
        return d;
    }
    }
    PyErr_SetString(PyExc_ValueError, "bad tape");
    return NULL;
}

/* build(tape) -> the value the tape was made from (an equal copy) */
static PyObject *floor_build(PyObject *module, PyObject *tape) {
    (void)module;
    PyObject *entries, *text, *keys;
    if (!PyArg_ParseTuple(tape, "SSO!:build", &entries, &text, &PyTuple_Type, &keys))
        return NULL;
    Reader r = {(const Entry *)PyBytes_AS_STRING(entries), PyBytes_AS_STRING(text),
                &PyTuple_GET_ITEM(keys, 0)};
    return make(&r);
}

static PyMethodDef floor_methods[] = {
    {"tape", floor_tape, METH_O, "tape(obj): the value recorded as a construction tape."},
    {"build", floor_build, METH_O, "build(tape): the value made again from its tape."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef floor_module = {
    PyModuleDef_HEAD_INIT, "_floor", "Object-construction floor for the benchmarks.", -1,
    floor_methods,
};

PyMODINIT_FUNC PyInit__floor(void) { return PyModule_Create(&floor_module); }

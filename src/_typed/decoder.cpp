// The Decoder type: `Decoder(type, **options)` compiles the type once (its
// plan comes from quelm._typing, cached per type); `decode(packed)` applies
// the plan to exactly one value and raises ValidationError, with the path to
// the offending value, when the bytes hold something the type does not take.
#include "_cquelm/convert.h"
#include "_cquelm/errors.h"
#include "_cquelm/module.h"
#include "_cquelm/state.h"
#include "_typed/decode_mismatch.h"
#include "_cquelm/stack_guard.h"
#include "_typed/decode_value.h"

#include <cstddef>
#include <memory>

namespace quelm {

namespace {

struct DecoderObject {
    PyObject_HEAD
    PyObject *type;          // the type as given (owned)
    PyObject *plan;          // its _TypedPlan (owned)
    char *unicode_errors;    // PyMem copy of the handler name, or NULL (strict)
    bool strict_map_key;
    int64_t limits[5];       // str, bin, array, map, ext; -1: from the input length
};

const char decoder_doc[] =
    "Decoder(type, *, unicode_errors=None, strict_map_key=True, max_str_len=-1, "
    "max_bin_len=-1, max_array_len=-1, max_map_len=-1, max_ext_len=-1)\n"
    "\n"
    "Decodes Quelm bytes straight into instances of *type*, validating while\n"
    "it reads. The type is compiled once, when the Decoder is built; a type it\n"
    "cannot take raises TypeError then.\n"
    "\n"
    "The options are unpackb's that still apply: the length limits (-1 derives\n"
    "them from the input's length, as unpackb does), unicode_errors, and\n"
    "strict_map_key, which applies only to maps decoded as Any (typed dict\n"
    "keys are validated by their own type).";

const char decode_doc[] =
    "decode(packed)\n"
    "\n"
    "Decodes exactly one value of the Decoder's type from the bytes-like\n"
    "*packed*. Raises ValidationError (with the path to the value, as in\n"
    "``$.points[1].x``) for a value the type does not take; ExtraData,\n"
    "OutOfData, FormatError and StackError for bytes that are not one whole\n"
    "Quelm value.";

QUELM_COLD int raise_mismatch(TypedState &s) noexcept {
    Ref path = Ref::steal(mismatch_path(s));
    if (!path)
        return -1;
    Ref message = Ref::steal(PyUnicode_FromFormat("%U: expected %U, found %U", path.get(),
                                                  s.expected, s.found));
    if (!message)
        return -1;
    Ref args = Ref::steal(PyTuple_Pack(2, message.get(), path.get()));
    if (!args)
        return -1;
    return raise_named_with("ValidationError", args.get());
}

QUELM_COLD void raise_status(TypedState &s, int status) noexcept {
    switch (status) {
    case T_MISMATCH:
        raise_mismatch(s);
        break;
    case T_NEED_MORE:
        raise_named_message("OutOfData", "No more data to unpack.");
        break;
    case T_INVALID_BYTE:
        raise_named("FormatError");
        break;
    case T_TOO_DEEP:
        raise_named("StackError");
        break;
    default:
        break;  // T_ERROR: already set
    }
}

QUELM_COLD PyObject *raise_extra(PyObject *value, const char *rest, Py_ssize_t n) noexcept {
    Ref extra = Ref::steal(PyBytes_FromStringAndSize(rest, n));
    if (!extra)
        return nullptr;
    Ref args = Ref::steal(PyTuple_Pack(2, value, extra.get()));
    if (args)
        raise_named_with("ExtraData", args.get());
    return nullptr;
}

void fill_options(const DecoderObject *d, Py_ssize_t len, DecodeOptions *o) noexcept {
    o->use_list = true;
    o->raw = false;
    o->use_pairs_hook = false;
    o->strict_map_key = d->strict_map_key;
    o->timestamp = 0;
    o->object_hook = nullptr;
    o->list_hook = nullptr;
    o->ext_hook = g_state.ext_type;
    o->timestamp_type = g_state.timestamp_type;
    o->ns_per_second = g_state.ns_per_second;
    o->utc = g_state.utc;
    o->unicode_errors = d->unicode_errors;
    int64_t limits[5];
    for (int i = 0; i < 5; ++i)
        limits[i] = d->limits[i] == -1 ? (i == 3 ? len / 2 : len) : d->limits[i];
    o->max_str_len = limits[0];
    o->max_bin_len = limits[1];
    o->max_array_len = limits[2];
    o->max_map_len = limits[3];
    o->max_ext_len = limits[4];
}

// decode(packed)
PyObject *decoder_decode(PyObject *self, PyObject *packed) noexcept {
    auto *d = reinterpret_cast<DecoderObject *>(self);
    Py_buffer view;
    view.obj = nullptr;
    const char *buf;
    Py_ssize_t len;
    if (PyBytes_CheckExact(packed)) {
        buf = PyBytes_AS_STRING(packed);
        len = PyBytes_GET_SIZE(packed);
    } else if (get_data_from_buffer(packed, &view, &buf, &len) < 0) {
        return nullptr;
    }
    // The plan stays alive for the call whatever the code it runs does.
    Ref plan = Ref::borrow(d->plan);
    TypedState s;
    s.plan = reinterpret_cast<const TypedPlanObject *>(plan.get());
    s.end = buf + len;
    fill_options(d, len, &s.options);
    s.datetime_options = s.options;
    s.datetime_options.timestamp = 3;
    s.awaited = 0;
    s.depth = 0;
    s.stack_floor = stack_floor();
    s.expected = nullptr;
    s.found = nullptr;
    s.segments = nullptr;
    const char *p = buf;
    PyObject *result = nullptr;
    const int status = decode_typed(s, p, s.plan->root, &result);
    if (QUELM_LIKELY(status == T_OK)) {
        if (QUELM_UNLIKELY(p < s.end)) {
            raise_extra(result, p, s.end - p);
            Py_CLEAR(result);
        }
    } else {
        raise_status(s, status);
        clear_mismatch(s);
    }
    if (view.obj != nullptr) {
        PendingError keep;
        PyBuffer_Release(&view);
    }
    return result;
}

// Decoder(type, *, unicode_errors=None, strict_map_key=True, max_str_len=-1,
//         max_bin_len=-1, max_array_len=-1, max_map_len=-1, max_ext_len=-1)
PyObject *decoder_new(PyTypeObject *cls, PyObject *args, PyObject *kwargs) noexcept {
    static const char *const names[] = {"type", "unicode_errors", "strict_map_key",
                                        "max_str_len", "max_bin_len", "max_array_len",
                                        "max_map_len", "max_ext_len", nullptr};
    PyObject *type, *errors = Py_None, *strict = Py_True;
    Py_ssize_t limits[5] = {-1, -1, -1, -1, -1};
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOnnnnn:Decoder",
                                     const_cast<char **>(names), &type, &errors, &strict,
                                     &limits[0], &limits[1], &limits[2], &limits[3], &limits[4]))
        return nullptr;
    bool strict_map_key;
    if (convert_flag(strict, &strict_map_key) < 0)
        return nullptr;
    const char *errors_view = nullptr;
    if (errors != Py_None && errors_name_view(errors, &errors_view) < 0)
        return nullptr;
    // Copied at once: compiling the type runs Python code, which could
    // change a bytearray the name was read from.
    char *errors_copy = nullptr;
    if (errors_name_copy(errors_view, &errors_copy) < 0)
        return nullptr;
    std::unique_ptr<char, void (*)(void *)> errors_owner(errors_copy, PyMem_Free);
    Ref typing = Ref::steal(PyImport_ImportModule("quelm._typing"));
    if (!typing)
        return nullptr;
    Ref plan = Ref::steal(PyObject_CallMethod(typing.get(), "plan_for", "O", type));
    if (!plan)
        return nullptr;
    if (!PyObject_TypeCheck(plan.get(), &typed_plan_type)) {
        PyErr_SetString(PyExc_TypeError, "quelm._typing.plan_for did not return a plan");
        return nullptr;
    }
    Ref self = Ref::steal(cls->tp_alloc(cls, 0));
    if (!self)
        return nullptr;
    auto *d = reinterpret_cast<DecoderObject *>(self.get());
    d->unicode_errors = errors_owner.release();
    d->type = Py_NewRef(type);
    d->plan = plan.release();
    d->strict_map_key = strict_map_key;
    for (int i = 0; i < 5; ++i)
        d->limits[i] = limits[i];
    return self.release();
}

int decoder_traverse(PyObject *self, visitproc visit, void *arg) noexcept {
    auto *d = reinterpret_cast<DecoderObject *>(self);
    Py_VISIT(d->type);
    Py_VISIT(d->plan);
    return 0;
}

int decoder_clear(PyObject *self) noexcept {
    auto *d = reinterpret_cast<DecoderObject *>(self);
    Py_CLEAR(d->type);
    Py_CLEAR(d->plan);
    return 0;
}

void decoder_dealloc(PyObject *self) noexcept {
    PyObject_GC_UnTrack(self);
    decoder_clear(self);
    PyMem_Free(reinterpret_cast<DecoderObject *>(self)->unicode_errors);
    Py_TYPE(self)->tp_free(self);
}

PyObject *decoder_repr(PyObject *self) noexcept {
    PyObject *type = reinterpret_cast<DecoderObject *>(self)->type;
    return PyUnicode_FromFormat("quelm.Decoder(%R)", type != nullptr ? type : Py_None);
}

PyObject *decoder_get_type(PyObject *self, void *) noexcept {
    PyObject *type = reinterpret_cast<DecoderObject *>(self)->type;
    return Py_NewRef(type != nullptr ? type : Py_None);
}

// decode() needs the plan, which a Decoder or plan the collector cleared
// (reachable again only from a finaliser) no longer has.
PyObject *decoder_decode_checked(PyObject *self, PyObject *packed) noexcept {
    PyObject *plan = reinterpret_cast<DecoderObject *>(self)->plan;
    if (plan == nullptr || reinterpret_cast<TypedPlanObject *>(plan)->cleared) {
        PyErr_SetString(PyExc_RuntimeError, "Decoder is no longer usable");
        return nullptr;
    }
    return decoder_decode(self, packed);
}

PyMethodDef decoder_methods[] = {
    {"decode", decoder_decode_checked, METH_O, decode_doc},
    {"__class_getitem__", Py_GenericAlias, METH_O | METH_CLASS,
     "Decoder[T] in annotations."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef decoder_getset[] = {
    {"type", decoder_get_type, nullptr, "The type this Decoder builds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject decoder_type = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quelm._cquelm.Decoder",
    .tp_basicsize = sizeof(DecoderObject),
    .tp_dealloc = decoder_dealloc,
    .tp_repr = decoder_repr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_doc = decoder_doc,
    .tp_traverse = decoder_traverse,
    .tp_clear = decoder_clear,
    .tp_methods = decoder_methods,
    .tp_getset = decoder_getset,
    .tp_new = decoder_new,
};

}  // namespace

int typed_decoder_publish(PyObject *module) noexcept {
    if (PyType_Ready(&typed_plan_type) < 0 || PyType_Ready(&decoder_type) < 0)
        return -1;
    if (PyModule_AddObjectRef(module, "_TypedPlan",
                              reinterpret_cast<PyObject *>(&typed_plan_type)) < 0 ||
        PyModule_AddObjectRef(module, "Decoder", reinterpret_cast<PyObject *>(&decoder_type)) < 0)
        return -1;
    Ref exceptions = Ref::steal(PyImport_ImportModule("quelm.exceptions"));
    if (!exceptions)
        return -1;
    Ref error = Ref::steal(PyObject_GetAttrString(exceptions.get(), "ValidationError"));
    if (!error)
        return -1;
    return PyModule_AddObjectRef(module, "ValidationError", error.get());
}

}  // namespace quelm

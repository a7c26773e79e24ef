// The native function type and its argument binder.
#include <cstring>
#include <string_view>

#include "internal.hpp"

namespace kestrum {

namespace {

std::string_view trim(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// Split "T | None" into ("T", true); anything else is (text, false).
std::pair<std::string_view, bool> optional_part(std::string_view text) {
    text = trim(text);
    constexpr std::string_view none_suffix = "| None";
    if (text.size() > none_suffix.size() && text.ends_with(none_suffix)) {
        return {trim(text.substr(0, text.size() - none_suffix.size())), true};
    }
    return {text, false};
}

bool is_list_annotation(std::string_view t) { return t == "list" || (t.starts_with("list[") && t.ends_with("]")); }

ArgCheck arg_check_for(const char* annotation) {
    if (!annotation) return ArgCheck::Unchecked;
    auto [type, optional] = optional_part(annotation);
    if (type.find('|') != std::string_view::npos) return ArgCheck::Unchecked;
    if (type == "str") return optional ? ArgCheck::StrOrNone : ArgCheck::Str;
    if (is_list_annotation(type)) return optional ? ArgCheck::ListOrNone : ArgCheck::List;
    if (type == "bool" && !optional) return ArgCheck::Bool;
    return ArgCheck::Unchecked;
}

ResultCheck result_check_for(const char* annotation) {
    if (!annotation) return ResultCheck::Unchecked;
    auto [type, optional] = optional_part(annotation);
    (void)optional;  // None passes every result rule anyway
    if (type.find('|') != std::string_view::npos) return ResultCheck::Unchecked;
    if (type == "str") return ResultCheck::Str;
    if (type == "bytes") return ResultCheck::Bytes;
    if (type == "int") return ResultCheck::Int;
    if (is_list_annotation(type)) return ResultCheck::List;
    return ResultCheck::Unchecked;
}

FunctionObject* as_function(PyObject* o) { return reinterpret_cast<FunctionObject*>(o); }

const char* name_of(FunctionObject* f) {
    const char* name = PyUnicode_AsUTF8(f->data->name.ptr());
    if (!name) raise();
    return name;
}

// ---- Binding errors, with the interpreter's wording ---------------------------------

[[noreturn]] void arity_error(FunctionObject* f, Py_ssize_t given) {
    const FunctionData& d = *f->data;
    const bool exact = d.n_required == d.n_positional && d.var_positional < 0;
    const Py_ssize_t expected = given < d.n_required ? d.n_required : d.n_positional;
    const char* how = exact ? "exactly" : (given < d.n_required ? "at least" : "at most");
    raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name_of(f), how,
                 expected, expected == 1 ? "" : "s", given);
}

[[noreturn]] void arg_type_error(const ParamInfo& p, PyTypeObject* expected, PyObject* given) {
    Ref message = Ref::own(PyUnicode_FromFormat("Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                                                 PyUnicode_AsUTF8(p.name.ptr()), expected->tp_name,
                                                 Py_TYPE(given)->tp_name));
    Ref error = Obj(PyExc_TypeError)(message);
    if (PyObject_TypeCheck(given, expected)) {
        Ref note = Ref::own(PyUnicode_FromFormat(
            "Subclasses of built-in types are rejected by the argument check: pass an exact %s, e.g. %s(value).",
            expected->tp_name, expected->tp_name));
        error.call_method("add_note"_n, note);
    }
    PyErr_SetRaisedException(error.release());
    raise();
}

// Index of the named parameter that a keyword can set, or -1.
int find_keyword(const FunctionData& d, PyObject* key) {
    const int n = static_cast<int>(d.params.size());
    for (int i = 0; i < n; ++i) {
        const ParamInfo& p = d.params[i];
        if (p.name.ptr() == key && (p.kind == ParamKind::Positional || p.kind == ParamKind::KeywordOnly)) return i;
    }
    for (int i = 0; i < n; ++i) {
        const ParamInfo& p = d.params[i];
        if ((p.kind == ParamKind::Positional || p.kind == ParamKind::KeywordOnly) &&
            PyUnicode_Compare(p.name.ptr(), key) == 0)
            return i;
    }
    if (PyErr_Occurred()) raise();
    return -1;
}

inline void apply_checks(const FunctionData& d, Bound& b) {
    for (const auto& [i, check] : d.checks) {
        const ParamInfo& p = d.params[i];
        PyObject* v = b.slot[i];
        switch (check) {
            case ArgCheck::Unchecked:
                break;
            case ArgCheck::Str:
                if (!PyUnicode_CheckExact(v)) arg_type_error(p, &PyUnicode_Type, v);
                break;
            case ArgCheck::StrOrNone:
                if (v != Py_None && !PyUnicode_CheckExact(v)) arg_type_error(p, &PyUnicode_Type, v);
                break;
            case ArgCheck::List:
                if (!PyList_CheckExact(v)) arg_type_error(p, &PyList_Type, v);
                break;
            case ArgCheck::ListOrNone:
                if (v != Py_None && !PyList_CheckExact(v)) arg_type_error(p, &PyList_Type, v);
                break;
            case ArgCheck::Bool:
                // True and False are immortal, so the slot may borrow them.
                if (v != Py_True && v != Py_False) b.slot[i] = require(PyObject_IsTrue(v)) ? Py_True : Py_False;
                break;
        }
    }
}

// Bind a vectorcall argument vector to the parameters, in the order of checks the
// interpreter uses: surplus positional arguments, then a missing required positional
// parameter, then unexpected or repeated keywords, then missing keyword-only ones.
void bind(FunctionObject* f, Bound& b, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    const FunctionData& d = *f->data;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;

    const int nparams = static_cast<int>(d.params.size());
    b.count = nparams;
    if (d.simple && nkw == 0) {
        // Fast path: exactly the positional parameters, given positionally.
        if (nargs != d.n_positional) arity_error(f, nargs);
        for (Py_ssize_t i = 0; i < nargs; ++i) b.slot[i] = args[i];
        if (!d.checks.empty()) apply_checks(d, b);
        return;
    }

    if (nargs > d.n_positional && d.var_positional < 0) arity_error(f, nargs);
    for (int i = 0; i < nparams; ++i) b.slot[i] = nullptr;
    const Py_ssize_t ncopy = nargs < d.n_positional ? nargs : d.n_positional;
    for (Py_ssize_t i = 0; i < ncopy; ++i) b.slot[i] = args[i];
    if (d.var_positional >= 0) {
        const Py_ssize_t extra = nargs - ncopy;
        PyObject* rest = require(PyTuple_New(extra));
        for (Py_ssize_t i = 0; i < extra; ++i) PyTuple_SET_ITEM(rest, i, Py_NewRef(args[ncopy + i]));
        b.slot[d.var_positional] = b.temporary[0] = rest;
    }
    if (d.var_keyword >= 0) b.slot[d.var_keyword] = b.temporary[1] = require(PyDict_New());

    PyObject* bad_key = nullptr;
    bool bad_is_repeat = false;
    for (Py_ssize_t j = 0; j < nkw; ++j) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, j);
        PyObject* value = args[nargs + j];
        if (!PyUnicode_Check(key)) raise_format(PyExc_TypeError, "%s() keywords must be strings", name_of(f));
        const int i = find_keyword(d, key);
        if (i >= 0 && i < ncopy) {
            if (!bad_key) bad_key = key, bad_is_repeat = true;
        } else if (i >= 0) {
            if (b.slot[i]) {
                if (!bad_key) bad_key = key, bad_is_repeat = true;
            } else {
                b.slot[i] = value;
            }
        } else if (d.var_keyword >= 0) {
            require(PyDict_SetItem(b.slot[d.var_keyword], key, value));
        } else if (!bad_key) {
            bad_key = key, bad_is_repeat = false;
        }
    }

    for (Py_ssize_t i = ncopy; i < d.n_positional; ++i) {
        if (b.slot[i]) continue;
        const ParamInfo& p = d.params[i];
        if (!p.default_value) arity_error(f, i);
        b.slot[i] = p.default_value.ptr();
    }
    if (bad_key) {
        if (bad_is_repeat)
            raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", name_of(f), bad_key);
        raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", name_of(f), bad_key);
    }
    if (d.has_kwonly) {
        const int n = static_cast<int>(d.params.size());
        for (int i = 0; i < n; ++i) {
            const ParamInfo& p = d.params[i];
            if (p.kind != ParamKind::KeywordOnly || b.slot[i]) continue;
            if (!p.default_value)
                raise_format(PyExc_TypeError, "%s() needs keyword-only argument %U", name_of(f), p.name.ptr());
            b.slot[i] = p.default_value.ptr();
        }
    }
    if (!d.checks.empty()) apply_checks(d, b);
}

PyObject* call_function(FunctionObject* f, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return guard([&]() -> Ref {
        const FunctionData& d = *f->data;
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        Bound b;
        if (d.simple && !kwnames && nargs == d.n_positional) [[likely]] {
            b.count = static_cast<int>(nargs);
            for (Py_ssize_t i = 0; i < nargs; ++i) b.slot[i] = args[i];
            if (!d.checks.empty()) apply_checks(d, b);
        } else {
            bind(f, b, args, nargs, kwnames);
        }
        if (d.coroutine) return new_coroutine(f, b);
        if (d.result == ResultCheck::Unchecked) return d.plain(f, b);
        return check_result(f, d.plain(f, b));
    });
}

// Every call counts against the recursion limit: a cycle made only of native calls
// (a method replaced by a functools.partial of another) raises RecursionError, as the
// same cycle through Python functions does, instead of overflowing the stack.
PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    if (!enter_recursion(" while calling a Python object")) return nullptr;
    PyObject* result = call_function(as_function(self), args, nargsf, kwnames);
    leave_recursion();
    return result;
}

// ---- Attributes ------------------------------------------------------------------------

PyObject* coroutine_marker() {
    // asyncio's marker for coroutine functions, or True where it cannot be imported.
    static PyObject* marker = [] {
        PyObject* module = PyImport_ImportModule("asyncio.coroutines");
        PyObject* value = module ? PyObject_GetAttrString(module, "_is_coroutine") : nullptr;
        Py_XDECREF(module);
        if (!value) {
            PyErr_Clear();
            value = Py_NewRef(Py_True);
        }
        return value;
    }();
    return marker;
}

Ref build_signature(FunctionObject* f) {
    const FunctionData& d = *f->data;
    Ref inspect = py::import("inspect");
    Ref parameter = inspect.attr("Parameter"_n);
    Ref empty = parameter.attr("empty"_n);
    Ref kinds[4] = {parameter.attr("POSITIONAL_OR_KEYWORD"_n), parameter.attr("VAR_POSITIONAL"_n),
                    parameter.attr("KEYWORD_ONLY"_n), parameter.attr("VAR_KEYWORD"_n)};
    Ref params = py::list();
    for (const ParamInfo& p : d.params) {
        Obj annotation = p.annotation ? Obj(p.annotation) : Obj(empty);
        Obj default_value = p.default_value ? Obj(p.default_value) : Obj(empty);
        py::append(params, parameter(p.name, kinds[static_cast<int>(p.kind)], kw<"default">(default_value),
                                     kw<"annotation">(annotation)));
    }
    Obj returns = d.return_annotation ? Obj(d.return_annotation) : Obj(empty);
    return inspect.attr("Signature"_n)(params, kw<"return_annotation">(returns));
}

template <Ref FunctionData::*member>
PyObject* get_member(PyObject* self, void*) noexcept {
    const Ref& value = as_function(self)->data->*member;
    return Py_NewRef(value ? value.ptr() : Py_None);
}

template <Ref FunctionData::*member>
int set_str_member(PyObject* self, PyObject* value, void*) {
    if (!value || !PyUnicode_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "the attribute must be set to a string object");
        return -1;
    }
    as_function(self)->data->*member = Ref::borrow(value);
    return 0;
}

template <Ref FunctionData::*member>
int set_any_member(PyObject* self, PyObject* value, void*) {
    as_function(self)->data->*member = Ref::borrow(value ? value : Py_None);
    return 0;
}

int set_annotations(PyObject* self, PyObject* value, void*) {
    if (value && value != Py_None && !PyDict_Check(value)) {
        PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
        return -1;
    }
    as_function(self)->data->annotations = value && value != Py_None ? Ref::borrow(value) : Ref::own(PyDict_New());
    return 0;
}

PyObject* get_defaults(PyObject* self, void*) {
    return guard([&]() -> Ref {
        const FunctionData& d = *as_function(self)->data;
        Ref values = py::list();
        for (const ParamInfo& p : d.params)
            if (p.kind == ParamKind::Positional && p.default_value) py::append(values, p.default_value);
        if (PyList_GET_SIZE(values.ptr()) == 0) return Ref::none();
        return Ref::own(PyList_AsTuple(values.ptr()));
    });
}

PyObject* get_kwdefaults(PyObject* self, void*) {
    return guard([&]() -> Ref {
        const FunctionData& d = *as_function(self)->data;
        Ref values = py::dict();
        for (const ParamInfo& p : d.params)
            if (p.kind == ParamKind::KeywordOnly && p.default_value) py::dict_set(values, p.name, p.default_value);
        if (PyDict_GET_SIZE(values.ptr()) == 0) return Ref::none();
        return values;
    });
}

PyObject* get_is_coroutine(PyObject* self, void*) {
    return guard([&]() -> Ref {
        if (!as_function(self)->data->coroutine) return Ref::borrow(Py_False);
        return Ref::borrow(coroutine_marker());
    });
}

// inspect.iscoroutinefunction() recognises functions carrying inspect's marker.
PyObject* get_is_coroutine_marker(PyObject* self, void*) {
    return guard([&]() -> Ref {
        if (!as_function(self)->data->coroutine)
            raise(PyExc_AttributeError, "'_is_coroutine_marker' is set only on coroutine functions");
        return py::import("inspect").attr("_is_coroutine_marker"_n);
    });
}

PyObject* get_signature(PyObject* self, void*) {
    return guard([&]() -> Ref {
        FunctionObject* f = as_function(self);
        if (!f->data->signature) f->data->signature = build_signature(f);
        return f->data->signature.ref();
    });
}

PyGetSetDef function_getset[] = {
    {"__name__", get_member<&FunctionData::name>, set_str_member<&FunctionData::name>, nullptr, nullptr},
    {"__qualname__", get_member<&FunctionData::qualname>, set_str_member<&FunctionData::qualname>, nullptr, nullptr},
    {"__module__", get_member<&FunctionData::module>, set_any_member<&FunctionData::module>, nullptr, nullptr},
    {"__doc__", get_member<&FunctionData::doc>, set_any_member<&FunctionData::doc>, nullptr, nullptr},
    {"__annotations__", get_member<&FunctionData::annotations>, set_annotations, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"_is_coroutine", get_is_coroutine, nullptr, nullptr, nullptr},
    {"_is_coroutine_marker", get_is_coroutine_marker, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// Functions pickle and copy by reference, as Python functions do.
PyObject* function_reduce(PyObject* self, PyObject*) noexcept {
    return Py_NewRef(as_function(self)->data->qualname.ptr());
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) noexcept {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<function %U at %p>", as_function(self)->data->qualname.ptr(), self);
}

int function_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    FunctionObject* f = as_function(self);
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(f->dict);
    if (FunctionData* d = f->data) {
        Py_VISIT(d->module.ptr());
        Py_VISIT(d->doc.ptr());
        Py_VISIT(d->annotations.ptr());
        Py_VISIT(d->defining_class.ptr());
        Py_VISIT(d->signature.ptr());
        for (const ParamInfo& p : d->params) Py_VISIT(p.default_value.ptr());
    }
    return 0;
}

int function_clear(PyObject* self) {
    FunctionObject* f = as_function(self);
    Py_CLEAR(f->dict);
    if (FunctionData* d = f->data) {
        d->module = Ref::none();
        d->doc = Ref::none();
        d->annotations.reset();
        d->defining_class.reset();
        d->signature.reset();
    }
    return 0;
}

void function_dealloc(PyObject* self) {
    FunctionObject* f = as_function(self);
    PyObject_GC_UnTrack(self);
    if (f->weakrefs) PyObject_ClearWeakRefs(self);
    Py_CLEAR(f->dict);
    delete std::exchange(f->data, nullptr);
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
}

}  // namespace

PyTypeObject FunctionType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "kestrum_models.native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A function implemented in native code.";
    t.tp_dealloc = function_dealloc;
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_descr_get = function_descr_get;
    t.tp_getset = function_getset;
    t.tp_methods = function_methods;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    return t;
}();

Ref check_result(FunctionObject* f, Ref result) {
    const ResultCheck rule = f->data->result;
    PyObject* r = result.ptr();
    if (rule == ResultCheck::Unchecked || r == Py_None) return result;
    switch (rule) {
        case ResultCheck::Unchecked:
            return result;
        case ResultCheck::Str:
            if (!PyUnicode_CheckExact(r)) raise_format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(r)->tp_name);
            return result;
        case ResultCheck::List:
            if (!PyList_CheckExact(r)) raise_format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(r)->tp_name);
            return result;
        case ResultCheck::Bytes:
            if (!PyBytes_CheckExact(r))
                raise_format(PyExc_TypeError, "Expected %s, got %.200s", "bytes", Py_TYPE(r)->tp_name);
            return result;
        case ResultCheck::Int: {
            if (PyLong_CheckExact(r)) return result;
            PyNumberMethods* nb = Py_TYPE(r)->tp_as_number;
            if (nb && (nb->nb_index || nb->nb_int || nb->nb_float)) return Ref::own(PyNumber_Long(r));
            raise_format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(r)->tp_name);
        }
    }
    return result;
}

void ready_type(PyTypeObject* type) {
    if (!(type->tp_flags & Py_TPFLAGS_READY)) require(PyType_Ready(type));
}

Ref make_function(const Def& def, Trampoline plain, CoroutineTrampoline coroutine, Obj module, Obj qualname) {
    ready_type(&FunctionType);
    if (def.params.size() > static_cast<std::size_t>(Bound::capacity))
        raise_format(PyExc_SystemError, "%s(): too many parameters for a native function", def.name);

    auto data = std::make_unique<FunctionData>();
    data->plain = plain;
    data->coroutine = coroutine;
    data->name = Ref::own(PyUnicode_InternFromString(def.name));
    data->qualname = qualname ? Ref::borrow(qualname) : data->name.ref();
    data->module = Ref::borrow(module ? module : Obj(Py_None));
    data->doc = def.doc ? py::str(def.doc) : Ref::none();
    data->annotations = py::dict();
    data->result = result_check_for(def.returns);

    bool seen_default = false;
    for (const Param& p : def.params) {
        ParamInfo info{Ref::own(PyUnicode_InternFromString(p.name)),
                       p.annotation ? py::str(p.annotation) : Ref(),
                       Ref::borrow(p.default_value),
                       p.kind,
                       p.kind == ParamKind::Positional || p.kind == ParamKind::KeywordOnly ? arg_check_for(p.annotation)
                                                                                           : ArgCheck::Unchecked};
        const int index = static_cast<int>(data->params.size());
        switch (p.kind) {
            case ParamKind::Positional:
                if (data->var_positional >= 0 || data->has_kwonly || data->var_keyword >= 0)
                    raise_format(PyExc_SystemError, "%s(): positional parameter after *args", def.name);
                if (p.default_value) {
                    seen_default = true;
                } else if (seen_default) {
                    raise_format(PyExc_SystemError, "%s(): required parameter after a default", def.name);
                } else {
                    data->n_required++;
                }
                data->n_positional++;
                break;
            case ParamKind::VarPositional:
                data->var_positional = index;
                break;
            case ParamKind::KeywordOnly:
                data->has_kwonly = true;
                break;
            case ParamKind::VarKeyword:
                data->var_keyword = index;
                break;
        }
        if (info.annotation) py::dict_set(data->annotations, info.name, info.annotation);
        if (info.check != ArgCheck::Unchecked) data->checks.emplace_back(index, info.check);
        data->params.push_back(std::move(info));
    }
    data->simple = data->n_required == data->n_positional && data->var_positional < 0 && !data->has_kwonly &&
                   data->var_keyword < 0;
    if (def.returns) {
        data->return_annotation = py::str(def.returns);
        py::dict_set(data->annotations, "return"_n, data->return_annotation);
    }

    FunctionObject* f = PyObject_GC_New(FunctionObject, &FunctionType);
    if (!f) raise();
    f->vectorcall = function_vectorcall;
    f->dict = nullptr;
    f->weakrefs = nullptr;
    f->data = data.release();
    PyObject_GC_Track(f);
    return Ref::steal(reinterpret_cast<PyObject*>(f));
}

bool is_native_function(Obj o) noexcept { return Py_IS_TYPE(o.ptr(), &FunctionType); }

void set_defining_class(Obj function, Obj cls) {
    if (is_native_function(function)) as_function(function.ptr())->data->defining_class = Ref::borrow(cls);
}

Obj Function::object() const noexcept { return Obj(reinterpret_cast<PyObject*>(f_)); }

Obj Function::defining_class() const {
    const Ref& cls = f_->data->defining_class;
    if (!cls) raise(PyExc_RuntimeError, "super(): the function is not defined in a class");
    return cls;
}

Ref Function::super(Obj self) const { return Obj(&PySuper_Type)(defining_class(), self); }

}  // namespace kestrum

// kestrum_models._native_testing: small functions and classes built with the shared
// runtime, so its binding, checks, coroutines and class creation can be tested
// directly, whatever the five modules do with them.
#include "kestrum/kestrum.hpp"

using namespace kestrum;

static Globals globals;

// def echo(*args): the bound values as a tuple, in parameter order.
static Ref positional(Obj a, Obj b) { return py::tuple(a, b); }
static Ref with_defaults(Obj self, Obj table_name, Obj columns, Obj connection_name) {
    return py::tuple(self, table_name, columns, connection_name);
}
static Ref varargs(Obj self, Obj args, bool negated, Obj kwargs) {
    return py::tuple(self, args, py::boolean(negated), kwargs);
}
static Ref keyword_only(Obj self, bool is_partial, Obj data) { return py::tuple(self, py::boolean(is_partial), data); }
static Ref returns(Obj value) { return value.ref(); }
static Ref call_target(Obj a, Obj b) {
    (void)a;
    (void)b;
    return Ref::none();
}

// async def await_value(awaitable): return await awaitable
static Task await_value(Obj awaitable) {
    Ref value = co_await awaitable;
    co_return value;
}
// async def await_both(first, second): return (await first, await second)
static Task await_both(Obj first, Obj second) {
    Ref a = co_await first;
    Ref b = co_await second;
    co_return py::tuple(a, b);
}
// async def await_then_raise(awaitable, exc): await awaitable; raise exc
static Task await_then_raise(Obj awaitable, Obj exc) {
    co_await awaitable;
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
    raise();
}
// async def checked_list(value: str | None) -> list: return value
static Task checked_list(Obj value) { co_return value; }

// class Base: who() -> "Base"; Derived(Base).who() -> "Derived>" + super().who()
static Ref base_who(Obj self) {
    (void)self;
    return py::str("Base");
}
static Ref derived_who(Function fn, Obj self) {
    Ref inherited = fn.super(self).call_method("who"_n);
    return Ref::own(PyUnicode_FromFormat("Derived>%U", inherited.ptr()));
}
static Ref make(Obj cls, Obj value) { return py::tuple(cls, value); }
static Ref constant(Obj self) {
    (void)self;
    return py::str("property value");
}
static Ref global_lookup(Obj name) { return globals[name]; }

KESTRUM_MODULE(_native_testing, "kestrum_models._native_testing", "Functions that exercise the native runtime.",
               globals) {
    m.import("typing");
    m.def<positional>({"positional", {arg("a"), arg("b", "str")}});
    m.def<with_defaults>({"with_defaults",
                          {arg("self"), arg("table_name", "str"), arg("columns", "list[dict[str, Any]]"),
                           arg("connection_name", "str | None", None)},
                          "ObjectSchema",
                          "Defaults and checks."});
    m.def<varargs>(
        {"varargs", {arg("self"), star("args", "Q"), kwonly("negated", "bool", False), starstar("kwargs", "Any")}, "Self"});
    m.def<keyword_only>({"keyword_only", {arg("self", "Self"), kwonly("_is_partial", "bool"), kwonly("data", "glue.Data")},
                         "ModelType"});
    m.def<returns>({"returns_str", {arg("value")}, "str"});
    m.def<returns>({"returns_list", {arg("value")}, "list[glue.Data]"});
    m.def<returns>({"returns_bytes", {arg("value")}, "bytes"});
    m.def<returns>({"returns_int", {arg("value")}, "int"});
    m.def<returns>({"returns_any", {arg("value")}, "bool | dict[str, Any]"});
    m.def<call_target>({"call_target", {arg("a"), arg("b", "str")}});
    m.def<await_value>({"await_value", {arg("awaitable")}});
    m.def<await_both>({"await_both", {arg("first"), arg("second")}});
    m.def<await_then_raise>({"await_then_raise", {arg("awaitable"), arg("exc")}});
    m.def<checked_list>({"checked_list", {arg("value", "str | None")}, "list"});
    m.def<global_lookup>({"global_lookup", {arg("name", "str")}});

    Ref type_var = globals["typing"_n].attr("TypeVar"_n)(py::str("T"));
    m.set("T", type_var);
    Ref generic = globals["typing"_n].attr("Generic"_n)[type_var];
    Ref base = m.cls("Base", {generic}, "A generic base class.")
                   .def<base_who>({"who", {arg("self")}, "str"})
                   .classmethod<make>({"make", {arg("cls", "type[Self]"), arg("value")}, "Self"})
                   .property<constant>({"constant", {arg("self")}, "str", "A property."})
                   .staticmethod<returns>({"identity", {arg("value")}})
                   .build();
    m.set("Base", base);
    m.set("Derived", m.cls("Derived", {base}).def<derived_who>({"who", {arg("self")}, "str"}).build());
}

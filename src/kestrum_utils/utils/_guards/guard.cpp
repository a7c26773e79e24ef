// kestrum_utils.utils._guards: the callable that sync_mode_only and async_mode_only put in
// place of a native method. Every query passes through several of them (a get() through
// three), so the check and the call through are native:
//
//   class ModeGuard:                              # made by mode_guard(...)
//       def __call__(self, *args, **kwargs):
//           override = settings["_override"]      # the decorators module's globals
//           if sync:
//               if override is None:
//                   if running_loop() is not None:
//                       raise error(in_loop)
//               elif override != "sync":
//                   raise error(wrong_mode)
//           elif override is not None and override != "async":
//               raise error(wrong_mode)
//           return func(*args, **kwargs)
//       def __get__(self, obj, owner=None):       # binds like a function
//           return self if obj is None else types.MethodType(self, obj)
//
// The arguments reach `func` as they came (no tuple or dict is made for them). The object
// has a __dict__ (functools.update_wrapper fills it: __wrapped__, __name__, __doc__, ...)
// and takes weak references, as a function does.
#include <cstddef>
#include <utility>

#include "kestrum/module.hpp"
#include "kestrum/object.hpp"

using namespace kestrum;

namespace {

struct GuardObject {
    PyObject_HEAD
    PyObject* func;
    PyObject* settings;      // the dict holding "_override"
    PyObject* running_loop;  // () -> the running event loop or None
    PyObject* error;         // the exception class raised in the wrong mode
    PyObject* wrong_mode;    // its message when the override names the other mode
    PyObject* in_loop;       // its message for a synchronous call inside a running loop
    PyObject* dict;
    PyObject* weakrefs;
    vectorcallfunc vectorcall;
    bool sync;
};

GuardObject* as_guard(PyObject* self) { return reinterpret_cast<GuardObject*>(self); }

// value != name, for a value of any type.
bool differs(Obj value, const char* name) {
    if (PyUnicode_CheckExact(value.ptr())) return PyUnicode_CompareWithASCIIString(value.ptr(), name) != 0;
    Ref text = py::str(name);
    return require(PyObject_RichCompareBool(value.ptr(), text.ptr(), Py_NE)) == 1;
}

[[noreturn]] void refuse(Obj error, Obj message) {
    Ref raised = error(message);
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr())), raised.ptr());
    raise();
}

// The mode check. Only the running-loop function and a comparison of an override that is
// not exact text run code: what is used across them is held (and the guard's fields are
// read again after them, since that code could have cleared the guard).
void check(PyObject* self) {
    GuardObject* g = as_guard(self);
    if (!g->settings) raise(PyExc_ReferenceError, "the mode guard has been cleared");
    // A lookup of an exact str key runs no code; the value is used before anything that does.
    PyObject* override = PyDict_GetItemWithError(g->settings, Obj("_override"_n).ptr());
    if (!override) {
        if (!PyErr_Occurred()) raise(PyExc_NameError, "name '_override' is not defined");
        raise();
    }
    const char* required = g->sync ? "sync" : "async";
    bool refused;
    if (override == Py_None) {
        if (!g->sync) return;
        const Ref running_loop = Ref::borrow(g->running_loop);
        const Ref loop = Ref::own(PyObject_CallNoArgs(running_loop.ptr()));
        if (loop.is_none()) return;
        if (!g->settings) raise(PyExc_ReferenceError, "the mode guard has been cleared");
        refuse(Ref::borrow(g->error), Ref::borrow(g->in_loop));
    } else if (PyUnicode_CheckExact(override)) {
        refused = PyUnicode_CompareWithASCIIString(override, required) != 0;
    } else {
        refused = differs(Ref::borrow(override), required);
        if (refused && !g->settings) raise(PyExc_ReferenceError, "the mode guard has been cleared");
    }
    if (refused) refuse(Ref::borrow(g->error), Ref::borrow(g->wrong_mode));
}

PyObject* guard_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    PyObject* checked = guard([&] {
        check(self);
        return Ref::borrow(as_guard(self)->func);
    });
    if (!checked) return nullptr;
    // The call through, holding its own reference to the function.
    Ref func = Ref::steal(checked);
    return PyObject_Vectorcall(func.ptr(), args, nargsf, kwnames);
}

PyObject* guard_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

int guard_traverse(PyObject* self, visitproc visit, void* arg) {
    GuardObject* g = as_guard(self);
    Py_VISIT(g->func);
    Py_VISIT(g->settings);
    Py_VISIT(g->running_loop);
    Py_VISIT(g->error);
    Py_VISIT(g->wrong_mode);
    Py_VISIT(g->in_loop);
    Py_VISIT(g->dict);
    return 0;
}

// Empties every field first, then releases them (which can run code that reads the object).
void clear_fields(PyObject* self) {
    GuardObject* g = as_guard(self);
    Ref fields[] = {Ref::steal(std::exchange(g->func, nullptr)),         Ref::steal(std::exchange(g->settings, nullptr)),
                    Ref::steal(std::exchange(g->running_loop, nullptr)), Ref::steal(std::exchange(g->error, nullptr)),
                    Ref::steal(std::exchange(g->wrong_mode, nullptr)),   Ref::steal(std::exchange(g->in_loop, nullptr)),
                    Ref::steal(std::exchange(g->dict, nullptr))};
}

int guard_clear(PyObject* self) {
    return guard_status([&] { clear_fields(self); });
}

void guard_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    if (as_guard(self)->weakrefs) PyObject_ClearWeakRefs(self);
    clear_fields(self);
    Py_TYPE(self)->tp_free(self);
}

// As a function's, <function Owner.method at 0x...>, once update_wrapper has named it.
PyObject* guard_repr(PyObject* self) {
    return guard([&] {
        PyObject* name = nullptr;
        if (require(_PyObject_LookupAttr(self, Obj("__qualname__"_n).ptr(), &name)) == 0)
            return Ref::own(PyUnicode_FromFormat("<ModeGuard object at %p>", self));
        Ref qualname = Ref::steal(name);
        return Ref::own(PyUnicode_FromFormat("<function %S at %p>", qualname.ptr(), self));
    });
}

PyGetSetDef guard_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject GuardType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "kestrum_utils.utils._guards.ModeGuard";
    t.tp_basicsize = sizeof(GuardObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "A method allowed in one mode of the framework (see mode_guard).";
    t.tp_vectorcall_offset = offsetof(GuardObject, vectorcall);
    t.tp_call = PyVectorcall_Call;
    t.tp_descr_get = guard_descr_get;
    t.tp_dictoffset = offsetof(GuardObject, dict);
    t.tp_weaklistoffset = offsetof(GuardObject, weakrefs);
    t.tp_getset = guard_getset;
    t.tp_dealloc = guard_dealloc;
    t.tp_free = PyObject_GC_Del;
    t.tp_traverse = guard_traverse;
    t.tp_clear = guard_clear;
    t.tp_repr = guard_repr;
    return t;
}();

Ref mode_guard(Obj func, Obj required, Obj settings, Obj running_loop, Obj error, Obj wrong_mode, Obj in_loop) {
    if (!PyDict_CheckExact(settings.ptr())) raise(PyExc_TypeError, "settings must be a dict");
    const bool sync = !differs(required, "sync");
    if (!sync && differs(required, "async")) raise(PyExc_ValueError, "required must be 'sync' or 'async'");
    GuardObject* g = PyObject_GC_New(GuardObject, &GuardType);
    if (!g) raise();
    g->func = func.ref().release();
    g->settings = settings.ref().release();
    g->running_loop = running_loop.ref().release();
    g->error = error.ref().release();
    g->wrong_mode = wrong_mode.ref().release();
    g->in_loop = in_loop.ref().release();
    g->dict = nullptr;
    g->weakrefs = nullptr;
    g->vectorcall = guard_vectorcall;
    g->sync = sync;
    PyObject_GC_Track(g);
    return Ref::steal(reinterpret_cast<PyObject*>(g));
}

}  // namespace

static Globals globals;

KESTRUM_MODULE(_guards, "kestrum_utils.utils._guards", "The callable that guards a native method of one framework mode.",
               globals) {
    if (!(GuardType.tp_flags & Py_TPFLAGS_READY)) require(PyType_Ready(&GuardType));
    m.set("ModeGuard", Obj(reinterpret_cast<PyObject*>(&GuardType)));
    m.def<mode_guard>({"mode_guard",
                       {arg("func"), arg("required"), arg("settings"), arg("running_loop"), arg("error"),
                        arg("wrong_mode"), arg("in_loop")},
                       "ModeGuard",
                       "``func`` guarded: called in ``required`` mode (\"sync\" or \"async\") as\n"
                       "``settings[\"_override\"]`` and ``running_loop()`` tell it, else ``error(wrong_mode)``\n"
                       "or ``error(in_loop)`` is raised. It binds to instances like a function."});
}

// Raising, interning and importing helpers.
#include <cstdarg>
#include <exception>
#include <new>
#include <vector>

#include "internal.hpp"

namespace kestrum {

void raise() { throw Error{}; }

void raise(PyObject* type, const char* message) {
    PyErr_SetString(type, message);
    throw Error{};
}

void raise_format(PyObject* type, const char* fmt, ...) {
    va_list vargs;
    va_start(vargs, fmt);
    PyErr_FormatV(type, fmt, vargs);
    va_end(vargs);
    throw Error{};
}

void set_error_from_current_exception() noexcept {
    if (!has_thread_state()) return;  // nowhere to report it, and no C-API without one
    try {
        throw;
    } catch (const Error&) {
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in native code");
    }
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
}

bool have_deferred_releases = false;

namespace {

// Owned references, kept for life: the list outlives every release.
std::vector<PyObject*>& deferred_releases() {
    static auto* const list = new std::vector<PyObject*>();
    return *list;
}

}  // namespace

void release_last_reference(PyObject* p) {
    if (std::uncaught_exceptions() > 0) {
        try {
            deferred_releases().push_back(p);
            have_deferred_releases = true;
            return;
        } catch (const std::bad_alloc&) {
            // Out of memory: release now.
        }
    }
    Py_DECREF(p);
}

void complete_deferred_releases() {
    // A release can run code that defers and completes releases itself.
    std::vector<PyObject*>& list = deferred_releases();
    while (!list.empty()) {
        PyObject* p = list.back();
        list.pop_back();
        Py_DECREF(p);
    }
    have_deferred_releases = false;
}

PyObject* intern(const char* text) {
    // Interned strings are immortal, so the reference is never released.
    return require(PyUnicode_InternFromString(text));
}

namespace py {

Ref import_from(Obj module, Obj name) {
    PyObject* value = nullptr;
    if (require(_PyObject_LookupAttr(module.ptr(), name.ptr(), &value)) == 1) return Ref::steal(value);
    // `from package import submodule` where the submodule is imported but not yet an attribute.
    Ref package = module.attr("__name__"_n);
    Ref full = Ref::own(PyUnicode_FromFormat("%U.%U", package.ptr(), name.ptr()));
    PyObject* found = PyImport_GetModule(full.ptr());
    if (found) return Ref::steal(found);
    if (PyErr_Occurred()) raise();
    raise_format(PyExc_ImportError, "cannot import name %S", name.ptr());
}

Ref from_import(Obj module, Obj name) {
    Ref fromlist = py::tuple(name);
    Ref source = Ref::own(PyImport_ImportModuleLevelObject(module.ptr(), nullptr, nullptr, fromlist.ptr(), 0));
    return import_from(source, name);
}

}  // namespace py

}  // namespace kestrum

// Raising, interning and importing helpers.
#include <pthread.h>

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
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

constinit thread_local int native_depth = 0;
constinit thread_local std::uintptr_t stack_floor = 0;

namespace {

// The bottom of this thread's stack (0: unknown). Frames between it and the floor, a
// margin of a quarter of the stack (at most 256 KiB) above it, are too deep: the margin
// is left for whatever runs between two entries (Python code included) and for
// unwinding. A frame below the bottom runs on a stack of some other kind (one that a
// library switched to): its depth is not judged.
thread_local std::uintptr_t stack_bottom = 0;

void find_stack() noexcept {
    stack_floor = 1;  // no limit unless the stack is found
    pthread_attr_t attr;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
    void* low = nullptr;
    std::size_t size = 0;
    const int status = pthread_attr_getstack(&attr, &low, &size);
    pthread_attr_destroy(&attr);
    if (status != 0 || !low) return;
    stack_bottom = reinterpret_cast<std::uintptr_t>(low);
    stack_floor = stack_bottom + std::min<std::size_t>(size / 4, 256 * 1024);
}

}  // namespace

bool enter_recursion_slow(const char* where) {
    if (!stack_floor) find_stack();
    const auto frame = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
    if (frame < stack_floor && frame >= stack_bottom) {
        PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
        return false;
    }
    if (native_depth >= uncounted_levels && Py_EnterRecursiveCall(where) != 0) return false;
    ++native_depth;
    return true;
}

void leave_counted_recursion() noexcept { Py_LeaveRecursiveCall(); }

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

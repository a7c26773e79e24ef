// Owned and borrowed references to Python objects, and the error model.
// (House rules for contributors: CONTRIBUTING.md at the repository root.)
//
// Ownership rules
// ---------------
// * `Ref` owns one strong reference. It is move-only; destroying, resetting or
//   assigning to it releases the reference it held. `Ref::own(p)` adopts a new
//   reference returned by a C-API call and throws `Error` when `p` is NULL;
//   `Ref::steal(p)` adopts without checking; `Ref::borrow(p)` takes a new strong
//   reference to an object somebody else owns. `release()` hands the reference
//   back to C code (e.g. as the result of a slot function).
// * `Obj` is a borrowed reference: a plain pointer with the object API. It never
//   changes a reference count, so it must not outlive the owner of the object.
//   Function parameters and struct members that only look at an object are `Obj`.
// * `Ref` converts implicitly to `Obj`; an `Obj` becomes a `Ref` only explicitly
//   (`Ref::borrow(obj)` or `obj.ref()`). A temporary `Ref` passed as an `Obj` argument
//   lives until the call returns; `Obj x = f();` with `f` returning a `Ref` dangles at
//   once: keep the `Ref`.
//
// Code that runs
// --------------
// Nearly every C-API call can run Python code, and that code can drop anything it can
// reach: calls and attribute access obviously, but also truth tests, comparisons and
// hashing (a dict lookup, even with a str key, calls __eq__ of a stored key whose hash
// is equal), and every release of a reference (a finaliser, a weakref callback, and the
// garbage collector, which runs on the next Python call). Hence:
// * A borrowed `Obj` is used only while something that cannot let go of it holds the
//   object: an argument of the current call (its caller holds it), an item of a tuple that
//   is itself held, a field that cannot be reassigned of an object that is held, or an
//   immortal object. A value read out of anything mutable (a dict, a list, an instance or
//   class attribute, a type's MRO or a type's metaclass, an object's type when its
//   `__class__` can be assigned) is taken as a `Ref` before the next call that can run code.
// * Storing into an owning slot releases what the slot held, so it is such a call. `Ref`'s
//   assignment stores the new value before it releases the old one, so the slot itself is
//   never seen half-written; but anything borrowed before the store must already be owned.
// * A C-API call that takes a container (a dict lookup, a store into a dict) needs the
//   container held for the whole call: code run inside it may replace the container.
// * An object that native code builds in one step, where the Python code it stands for
//   constructs it and then fills it in, is never seen in a state the Python code does
//   not show: compute its parts first, then allocate it (tp_alloc runs no code) and fill
//   it without running code. Allocated first and filled by calls that can fail, it would
//   be finalised half-built when one fails (a subclass's __del__ seeing an empty instance).
//
// Caches
// ------
// A cache entry is filled from values that are owned (`Ref`) and is valid under the
// version tags or generations that were read *before* the work that produced it; when a
// tag changed during the work, the result is discarded rather than filed under the new
// tag. The entry is built completely in a local and then published with `publish()`,
// which runs no code; the entry it replaces is released afterwards, when the local goes
// out of scope, so whatever that release runs finds the cache complete and consistent
// (and invalidates it properly if it changes what the entry depends on). What the
// operation returns is its own local value, never a re-read of the slot.
//
// Errors
// ------
// A failing C-API call leaves a Python exception in the interpreter's error
// indicator. Native code turns that into C++ control flow by throwing `Error`
// (which carries nothing: the exception stays in the indicator). Every entry point
// the interpreter calls translates at the boundary with `guard()`: `Error` becomes a
// NULL return, `std::bad_alloc` a MemoryError, any other C++ exception a
// SystemError. Nothing else catches.
//
// Threads ended at exit
// ---------------------
// At interpreter exit, a daemon thread that next waits for the GIL is ended with
// pthread_exit, a forced unwind through every frame of the thread, ours included.
// That unwind must pass: `guard()` rethrows it (as every exception foreign to C++),
// and entry points and destructors that release references are not `noexcept` (an
// unwind leaving a noexcept function terminates the process). The unwinding thread
// has no thread state: the C-API must not be touched then, so releasing a reference
// without one is skipped (the process is ending) and nothing sets an exception.
//
// Nor may such an unwind start in a destructor that runs while a C++ exception
// propagates (that too terminates the process). So while one propagates, a release
// that would deallocate (and so could run Python code: __del__, weakref callbacks)
// is deferred; `guard()` and the coroutine object complete the deferred releases
// before they return to the interpreter.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

namespace kestrum {

struct Error {};

// Whether this thread has a current thread state (holds the GIL); a thread being
// ended at exit has none.
inline bool has_thread_state() noexcept { return _PyThreadState_UncheckedGet() != nullptr; }

// Releases whose deallocation waits for the exception being propagated to be caught.
extern bool have_deferred_releases;
// Release the last reference to `p` now, or later while a C++ exception propagates.
void release_last_reference(PyObject* p);
// Complete the deferred releases (this can run any code).
void complete_deferred_releases();

// Py_XDECREF, skipped on a thread being ended at exit. Releasing can run any code.
inline void release_reference(PyObject* p) {
    if (!p || !has_thread_state()) return;
    if (Py_REFCNT(p) == 1)
        release_last_reference(p);
    else
        Py_DECREF(p);
}

// Throw `Error`; the Python exception must already be set.
[[noreturn]] void raise();
// Set `type(message)` and throw `Error`.
[[noreturn]] void raise(PyObject* type, const char* message);
// Set `type(PyUnicode_FromFormat(fmt, ...))` and throw `Error`.
[[noreturn]] void raise_format(PyObject* type, const char* fmt, ...);

// Throw `Error` when a C-API result signals failure.
inline PyObject* require(PyObject* p) {
    if (!p) raise();
    return p;
}
inline int require(int status) {
    if (status < 0) raise();
    return status;
}

class Ref;
class Obj;
struct NameRef;

// The object API shared by `Obj` and `Ref`: the operations module code performs on
// objects, named after their Python spelling. Each failing operation throws `Error`.
// Member definitions are in object.hpp.
template <class Self>
class ObjectApi {
public:
    // Identity and type. type() is borrowed from the object, whose __class__ code may
    // assign: take `.ref()` of it to use it across such code.
    bool is(Obj other) const noexcept;
    bool is_none() const noexcept;
    Obj type() const noexcept;
    const char* type_name() const noexcept;
    Ref ref() const noexcept;  // a new strong reference

    // Attributes: getattr(o, name), setattr(o, name, v), hasattr(o, name).
    Ref attr(Obj name) const;
    void setattr(Obj name, Obj value) const;
    bool hasattr(Obj name) const;

    // o(args...): positional arguments first, then keyword arguments written
    // as kw<"name">(value). o.call_method(name, ...) is o.name(...) without a
    // bound-method object. o.call_star(args, kwargs) is o(*args, **kwargs).
    template <class... A>
    Ref operator()(const A&... args) const;
    template <class... A>
    Ref call_method(Obj name, const A&... args) const;
    Ref call_star(Obj args, Obj kwargs) const;

    // Protocols: bool(o), o[key], o[key] = v, key in o, len(o), o == x, o != x.
    bool truthy() const;
    Ref operator[](Obj key) const;
    void setitem(Obj key, Obj value) const;
    bool contains(Obj key) const;
    Py_ssize_t len() const;
    bool eq(Obj other) const;
    bool ne(Obj other) const;
    Ref repr() const;
    Ref str() const;

private:
    PyObject* p() const noexcept { return static_cast<const Self*>(this)->ptr(); }
};

class Obj : public ObjectApi<Obj> {
public:
    constexpr Obj() noexcept = default;
    constexpr Obj(PyObject* p) noexcept : p_(p) {}
    template <class T>
        requires(!std::is_same_v<T, PyObject> && requires(T* t) { t->ob_base; })
    Obj(T* p) noexcept : p_(reinterpret_cast<PyObject*>(p)) {}
    Obj(const NameRef& name);

    PyObject* ptr() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

class Ref : public ObjectApi<Ref> {
public:
    constexpr Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    // Releasing the previous reference can run any code: not noexcept (see above).
    Ref& operator=(Ref&& other) {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            release_reference(old);
        }
        return *this;
    }
    ~Ref() noexcept(false) { release_reference(p_); }

    // Adopt a new reference; NULL means the call failed and throws `Error`.
    static Ref own(PyObject* p) { return steal(require(p)); }
    // Adopt a new reference without checking (NULL gives an empty Ref).
    static Ref steal(PyObject* p) noexcept {
        Ref r;
        r.p_ = p;
        return r;
    }
    // Take a new strong reference to a borrowed object (NULL allowed).
    static Ref borrow(Obj o) noexcept {
        Ref r;
        r.p_ = Py_XNewRef(o.ptr());
        return r;
    }
    static Ref none() noexcept { return borrow(Py_None); }

    PyObject* ptr() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    operator Obj() const noexcept { return Obj(p_); }
    Obj borrowed() const noexcept { return Obj(p_); }

    // Hand the reference to the caller (who now owns it).
    [[nodiscard]] PyObject* release() noexcept {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    void reset() {
        PyObject* old = p_;
        p_ = nullptr;
        release_reference(old);
    }
    // Exchanges the references without releasing either: runs no code.
    friend void swap(Ref& a, Ref& b) noexcept { std::swap(a.p_, b.p_); }

private:
    PyObject* p_ = nullptr;
};

// Publish a completely built cache entry (see "Caches" above): `slot` takes the contents
// of `entry` and `entry` takes what `slot` held, without releasing anything, so no code
// runs while the slot is being written. The replaced entry is released when `entry` is
// destroyed: pass a temporary (released at the end of the statement) or a local.
// The swap moves each reference into a slot that was emptied just before, so the
// releases inside the moves only ever see null: nothing is released and nothing can
// throw, even though moving a Ref is not declared noexcept (it may release in general).
template <class Entry>
void publish(Entry& slot, Entry&& entry) noexcept {
    static_assert(std::is_move_constructible_v<Entry> && std::is_move_assignable_v<Entry>,
                  "a cache entry must be movable");
    using std::swap;
    swap(slot, entry);
}

// Inside a catch handler: set the Python exception for the C++ exception being handled
// (Error: already set; std::bad_alloc: MemoryError; anything else: SystemError).
// A foreign exception must have been rethrown before.
void set_error_from_current_exception() noexcept;

// Inside a catch handler: whether the exception is foreign to C++, as the forced
// unwind that ends a thread is. It cannot be translated and must be let through.
inline bool is_foreign_exception() noexcept { return !std::current_exception(); }

// Run `body` (which returns a `Ref`) and translate C++ failures into the
// interpreter's convention: a new reference, or NULL with an exception set. Only a
// foreign exception (a forced unwind) leaves it.
template <class F>
PyObject* guard(F&& body) {
    PyObject* result = nullptr;
    try {
        result = body().release();
    } catch (...) {
        if (is_foreign_exception()) throw;  // the thread is being ended: let it end
        set_error_from_current_exception();
    }
    if (have_deferred_releases) complete_deferred_releases();
    return result;
}

// As `guard`, for slots that return an int status (0 on success, -1 on error).
template <class F>
int guard_status(F&& body) {
    int status = -1;
    try {
        body();
        status = 0;
    } catch (...) {
        if (is_foreign_exception()) throw;
        set_error_from_current_exception();
    }
    if (have_deferred_releases) complete_deferred_releases();
    return status;
}

}  // namespace kestrum

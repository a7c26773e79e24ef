// Interned names, keyword arguments and the definitions of the object API.
//
//   Ref qs = self.call_method("_copy"_n);                 // qs = self._copy()
//   qs.setattr("_using"_n, value);                         // qs._using = value
//   Ref p = paginator_cls(kw<"limit">(None), kw<"offset">(None));
//
// A "..."_n literal names an interned str created on first use and kept for the
// life of the process (interned strings are immortal), so attribute and keyword
// names cost one pointer load after the first call.
#pragma once

#include <cstddef>
#include <type_traits>

#include "kestrum/ref.hpp"

namespace kestrum {

template <std::size_t N>
struct FixedString {
    char s[N]{};
    constexpr FixedString(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) s[i] = text[i];
    }
};

PyObject* intern(const char* text);  // a borrowed, immortal interned str

template <FixedString S>
struct Interned {
    static PyObject* get() {
        static PyObject* const object = intern(S.s);
        return object;
    }
};

struct NameRef {
    PyObject* (*get_)();
    PyObject* get() const { return get_(); }
};

inline Obj::Obj(const NameRef& name) : p_(name.get()) {}

template <FixedString S>
constexpr NameRef operator""_n() {
    return NameRef{&Interned<S>::get};
}

// A keyword argument of a call: kw<"name">(value).
template <FixedString K>
struct KwArg {
    static constexpr auto key = K;
    Obj value;
};
template <FixedString K>
KwArg<K> kw(Obj value) {
    return KwArg<K>{value};
}

inline const Obj None{Py_None};

namespace detail {

template <class T>
struct is_kw : std::false_type {};
template <FixedString K>
struct is_kw<KwArg<K>> : std::true_type {};

inline PyObject* arg_ptr(Obj o) noexcept { return o.ptr(); }
inline PyObject* arg_ptr(const Ref& r) noexcept { return r.ptr(); }
inline PyObject* arg_ptr(PyObject* p) noexcept { return p; }
inline PyObject* arg_ptr(const NameRef& n) { return n.get(); }
template <FixedString K>
PyObject* arg_ptr(const KwArg<K>& k) noexcept {
    return k.value.ptr();
}

template <class... A>
constexpr bool keywords_last() {
    bool seen_kw = false;
    bool ok = true;
    ((is_kw<A>::value ? (seen_kw = true) : (ok = ok && !seen_kw)), ...);
    return ok;
}

template <class... A>
constexpr std::size_t count_kw = (std::size_t{0} + ... + (is_kw<A>::value ? 1 : 0));

// The kwnames tuple of a call site: one per combination of argument types, built once.
template <class... A>
PyObject* kwnames() {
    if constexpr (count_kw<A...> == 0) {
        return nullptr;
    } else {
        static PyObject* const names = [] {
            PyObject* t = require(PyTuple_New(count_kw<A...>));
            Py_ssize_t i = 0;
            auto add = [&]<class T>(std::type_identity<T>) {
                if constexpr (is_kw<T>::value) PyTuple_SET_ITEM(t, i++, Py_NewRef(intern(T::key.s)));
            };
            (add(std::type_identity<A>{}), ...);
            return t;
        }();
        return names;
    }
}

template <class... A>
Ref vectorcall(PyObject* callable, PyObject* self, const A&... args) {
    static_assert(keywords_last<A...>(), "keyword arguments must follow the positional ones");
    constexpr std::size_t n = sizeof...(A);
    // Slot 0 is scratch space for the callee (PY_VECTORCALL_ARGUMENTS_OFFSET); slot 1 is
    // self for a method call.
    PyObject* stack[n + 2] = {nullptr, self, arg_ptr(args)...};
    const std::size_t npos = n - count_kw<A...>;
    if (self) {
        return Ref::own(PyObject_VectorcallMethod(callable, stack + 1,
                                                  (npos + 1) | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                                  kwnames<A...>()));
    }
    return Ref::own(
        PyObject_Vectorcall(callable, stack + 2, npos | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames<A...>()));
}

}  // namespace detail

// ---- ObjectApi ---------------------------------------------------------------------

template <class S>
bool ObjectApi<S>::is(Obj other) const noexcept {
    return p() == other.ptr();
}
template <class S>
bool ObjectApi<S>::is_none() const noexcept {
    return p() == Py_None;
}
template <class S>
Obj ObjectApi<S>::type() const noexcept {
    return Obj(reinterpret_cast<PyObject*>(Py_TYPE(p())));
}
template <class S>
const char* ObjectApi<S>::type_name() const noexcept {
    return Py_TYPE(p())->tp_name;
}
template <class S>
Ref ObjectApi<S>::ref() const noexcept {
    return Ref::borrow(p());
}
template <class S>
Ref ObjectApi<S>::attr(Obj name) const {
    return Ref::own(PyObject_GetAttr(p(), name.ptr()));
}
template <class S>
void ObjectApi<S>::setattr(Obj name, Obj value) const {
    require(PyObject_SetAttr(p(), name.ptr(), value.ptr()));
}
template <class S>
bool ObjectApi<S>::hasattr(Obj name) const {
    PyObject* value = nullptr;
    int found = require(_PyObject_LookupAttr(p(), name.ptr(), &value));
    Py_XDECREF(value);
    return found == 1;
}
template <class S>
template <class... A>
Ref ObjectApi<S>::operator()(const A&... args) const {
    return detail::vectorcall(p(), nullptr, args...);
}
template <class S>
template <class... A>
Ref ObjectApi<S>::call_method(Obj name, const A&... args) const {
    return detail::vectorcall(name.ptr(), p(), args...);
}
template <class S>
Ref ObjectApi<S>::call_star(Obj args, Obj kwargs) const {
    return Ref::own(PyObject_Call(p(), args.ptr(), kwargs.ptr()));
}
template <class S>
bool ObjectApi<S>::truthy() const {
    PyObject* o = p();
    if (o == Py_True) return true;
    if (o == Py_False || o == Py_None) return false;
    return require(PyObject_IsTrue(o)) == 1;
}
template <class S>
Ref ObjectApi<S>::operator[](Obj key) const {
    return Ref::own(PyObject_GetItem(p(), key.ptr()));
}
template <class S>
void ObjectApi<S>::setitem(Obj key, Obj value) const {
    require(PyObject_SetItem(p(), key.ptr(), value.ptr()));
}
template <class S>
bool ObjectApi<S>::contains(Obj key) const {
    return require(PySequence_Contains(p(), key.ptr())) == 1;
}
template <class S>
Py_ssize_t ObjectApi<S>::len() const {
    Py_ssize_t n = PyObject_Length(p());
    if (n < 0) raise();
    return n;
}
// `a == b` and `a != b` as in a Python condition: the operator's result, then its
// truth value (no identity shortcut, unlike PyObject_RichCompareBool).
template <class S>
bool ObjectApi<S>::eq(Obj other) const {
    return Ref::own(PyObject_RichCompare(p(), other.ptr(), Py_EQ)).truthy();
}
template <class S>
bool ObjectApi<S>::ne(Obj other) const {
    return Ref::own(PyObject_RichCompare(p(), other.ptr(), Py_NE)).truthy();
}
template <class S>
Ref ObjectApi<S>::repr() const {
    return Ref::own(PyObject_Repr(p()));
}
template <class S>
Ref ObjectApi<S>::str() const {
    return Ref::own(PyObject_Str(p()));
}

// ---- Handling exceptions ------------------------------------------------------------

// `except type:` for native code. Constructed inside `catch (const Error&)`: when the
// pending exception is an instance of `type`, it is taken out of the error indicator
// and becomes the exception being handled (sys.exception()) for the handler's
// lifetime, so errors raised while handling it chain to it through __context__, as
// in a Python except block. Otherwise the exception stays pending and Error is
// thrown again.
class Except {
public:
    explicit Except(PyObject* type) {
        if (!PyErr_ExceptionMatches(type)) throw Error{};
        caught_ = Ref::steal(PyErr_GetRaisedException());
        previous_ = Ref::steal(PyErr_GetHandledException());
        PyErr_SetHandledException(caught_.ptr());
    }
    Except(const Except&) = delete;
    Except& operator=(const Except&) = delete;
    ~Except() {
        if (has_thread_state()) PyErr_SetHandledException(previous_ ? previous_.ptr() : Py_None);
    }
    Obj exception() const noexcept { return caught_; }

private:
    Ref caught_;
    Ref previous_;
};

// ---- Building objects ---------------------------------------------------------------

namespace py {

inline Ref str(const char* text) { return Ref::own(PyUnicode_FromString(text)); }
inline Ref integer(long long value) { return Ref::own(PyLong_FromLongLong(value)); }
inline Obj boolean(bool value) noexcept { return value ? Obj(Py_True) : Obj(Py_False); }
inline Ref list(Py_ssize_t size = 0) { return Ref::own(PyList_New(size)); }
inline Ref dict() { return Ref::own(PyDict_New()); }
template <class... A>
Ref tuple(const A&... items) {
    return Ref::own(PyTuple_Pack(sizeof...(A), detail::arg_ptr(items)...));
}

// list.append(item) for an exact or derived list.
inline void append(Obj list, Obj item) { require(PyList_Append(list.ptr(), item.ptr())); }
// list[index] = item for an exact list and an index inside it. The item it held is
// released last, once the new one is in place.
inline void list_set(Obj list, Py_ssize_t index, Obj item) {
    require(PyList_SetItem(list.ptr(), index, Ref::borrow(item).release()));
}
// d[key] = value for a dict.
inline void dict_set(Obj dict, Obj key, Obj value) { require(PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr())); }
// d.get(key) for a dict: the value (owned, since the dict may change as soon as code
// runs), or an empty Ref when the key is absent. The caller holds the dict.
inline Ref dict_get(Obj dict, Obj key) {
    PyObject* value = PyDict_GetItemWithError(dict.ptr(), key.ptr());
    if (!value && PyErr_Occurred()) raise();
    return Ref::borrow(value);
}
// Import a module by absolute dotted name and return the module itself (the leaf).
inline Ref import(const char* name) { return Ref::own(PyImport_ImportModule(name)); }
// from `module` import `name`: an attribute, or a submodule already imported.
Ref import_from(Obj module, Obj name);
// `from module import name` run inside a function: imports `module` (a dotted name)
// as the statement does, and returns the one name.
Ref from_import(Obj module, Obj name);

}  // namespace py

}  // namespace kestrum

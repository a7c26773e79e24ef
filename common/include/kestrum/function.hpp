// The native function type: one type for every function and method of the modules.
//
// A function is described by a `Def` (name, parameters with their annotation texts,
// result annotation, docstring) and implemented by a C++ function whose parameters
// mirror the Python ones:
//
//   Ref using_(Obj self, Obj value);                 // def using(self, value: str) -> Self
//   Task aexecute(Obj self);                         // async def aexecute(self)
//   Ref only(Function fn, Obj self, Obj fields);     // needs its class, for super()
//
// Arguments are bound from the vectorcall convention by one table-driven binder,
// with the interpreter's messages for arity and keyword errors. Annotations drive
// the checks: a parameter annotated exactly "str", "list"/"list[...]" (optionally
// "| None") must be an object of exactly that type; "bool" is reduced to its truth
// value (the implementation receives a C++ bool). Results annotated "str", "list"/
// "list[...]" or "bytes" must be None or exactly that type; "int" is converted.
// A coroutine function (returning `Task`) checks its arguments at the call and
// returns a native coroutine; its result is checked when the coroutine finishes.
//
// The type is a descriptor with Py_TPFLAGS_METHOD_DESCRIPTOR, so a method call
// `obj.name(...)` skips the bound-method object; it carries the usual function
// attributes and a `__signature__` for inspect and help().
//
// Recursion: every call of a native function is counted (against the interpreter's
// recursion limit once a thread is more than a few native calls deep), and is refused
// with RecursionError at the limit or when the thread's stack is nearly used up.
// Native code has no Python frame to be counted for it: without this, a cycle made only
// of native calls (a method replaced by a functools.partial of another native method)
// would overflow the C stack where the same cycle through Python code raises
// RecursionError. The function type does it once for every module; any other entry point
// the interpreter can enter repeatedly (a slot of a native type that runs Python code,
// such as the coroutine object's send, throw and close) must count itself the same way.
#pragma once

#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "kestrum/object.hpp"

namespace kestrum {

class Task;
struct FunctionObject;

enum class ParamKind : unsigned char { Positional, VarPositional, KeywordOnly, VarKeyword };

struct Param {
    const char* name;
    const char* annotation = nullptr;  // annotation text; nullptr: not annotated
    ParamKind kind = ParamKind::Positional;
    PyObject* default_value = nullptr;  // nullptr: required (kept alive by the function)
};

// Parameter builders: arg("x", "str"), arg("x", "str | None", None),
// star("args", "Q"), kwonly("negated", "bool", False), starstar("kwargs", "Any").
inline Param arg(const char* name, const char* annotation = nullptr) {
    return {name, annotation, ParamKind::Positional, nullptr};
}
inline Param arg(const char* name, const char* annotation, Obj default_value) {
    return {name, annotation, ParamKind::Positional, default_value.ptr()};
}
inline Param star(const char* name, const char* annotation = nullptr) {
    return {name, annotation, ParamKind::VarPositional, nullptr};
}
inline Param kwonly(const char* name, const char* annotation = nullptr, Obj default_value = {}) {
    return {name, annotation, ParamKind::KeywordOnly, default_value.ptr()};
}
inline Param starstar(const char* name, const char* annotation = nullptr) {
    return {name, annotation, ParamKind::VarKeyword, nullptr};
}
inline const Obj False{Py_False};
inline const Obj True{Py_True};

struct Def {
    const char* name;
    std::vector<Param> params;
    const char* returns = nullptr;  // result annotation text; nullptr: none
    const char* doc = nullptr;      // docstring; nullptr: none
};

// Arguments bound for one call, one per parameter in parameter order (a tuple for
// *args, a dict for **kwargs, True/False for "bool" parameters). For a plain call
// the slots borrow: the caller's arguments and the function's defaults outlive the
// call. A coroutine keeps an owning copy for as long as its body may run.
struct Bound {
    static constexpr int capacity = 8;
    PyObject* slot[capacity];
    int count = 0;                           // slots in use
    bool owning = false;                     // the slots hold strong references
    PyObject* temporary[2] = {nullptr, nullptr};  // the *args tuple and **kwargs dict made for this call

    Bound() = default;
    Bound(const Bound&) = delete;
    Bound& operator=(const Bound&) = delete;
    ~Bound() noexcept(false) { clear(); }  // releasing can run any code (see ref.hpp)

    // Take strong references to everything `other` binds.
    void own(const Bound& other) {
        clear();
        count = other.count;
        owning = true;
        for (int i = 0; i < count; ++i) slot[i] = Py_XNewRef(other.slot[i]);
    }
    void clear() {
        const int n = owning ? count : 0;
        count = 0;
        for (int i = 0; i < n; ++i) release_reference(std::exchange(slot[i], nullptr));
        release_reference(std::exchange(temporary[0], nullptr));
        release_reference(std::exchange(temporary[1], nullptr));
    }
};

// The function being called, for implementations that need their class.
class Function {
public:
    explicit Function(FunctionObject* f) noexcept : f_(f) {}
    Obj object() const noexcept;
    // The class whose body defined the function (set when the class is created).
    Obj defining_class() const;
    // super(): the proxy for `self` that starts the lookup after the defining class.
    Ref super(Obj self) const;

private:
    FunctionObject* f_;
};

using Trampoline = Ref (*)(FunctionObject*, Bound&);
using CoroutineTrampoline = Task (*)(FunctionObject*, Bound&);

// Create a function object. `qualname` defaults to the name; `module` is the
// module's __name__.
Ref make_function(const Def& def, Trampoline plain, CoroutineTrampoline coroutine, Obj module,
                  Obj qualname);
// Record the class that defined `function` (a native function; others are ignored).
void set_defining_class(Obj function, Obj cls);
bool is_native_function(Obj o) noexcept;

namespace detail {

template <class T>
T from_slot(PyObject* p) noexcept;
template <>
inline Obj from_slot<Obj>(PyObject* p) noexcept {
    return Obj(p);
}
template <>
inline bool from_slot<bool>(PyObject* p) noexcept {
    return p == Py_True;
}

template <class F>
struct Signature;
template <class R, class... A>
struct Signature<R (*)(A...)> {
    using Result = R;
    using Args = std::tuple<A...>;
    static constexpr std::size_t arity = sizeof...(A);
};

template <class T>
constexpr bool takes_function = false;
template <class R, class First, class... A>
constexpr bool takes_function<R (*)(First, A...)> = std::is_same_v<std::decay_t<First>, Function>;

template <auto F, std::size_t... I>
auto invoke(FunctionObject* f, Bound& b, std::index_sequence<I...>) {
    using Sig = Signature<decltype(F)>;
    if constexpr (takes_function<decltype(F)>) {
        return F(Function(f), from_slot<std::decay_t<std::tuple_element_t<I + 1, typename Sig::Args>>>(
                                  b.slot[I])...);
    } else {
        return F(from_slot<std::decay_t<std::tuple_element_t<I, typename Sig::Args>>>(b.slot[I])...);
    }
}

template <auto F>
auto call_impl(FunctionObject* f, Bound& b) {
    using Sig = Signature<decltype(F)>;
    constexpr std::size_t n = Sig::arity - (takes_function<decltype(F)> ? 1 : 0);
    static_assert(n <= Bound::capacity, "too many parameters");
    return invoke<F>(f, b, std::make_index_sequence<n>{});
}

}  // namespace detail

// The function object implemented by F.
template <auto F>
Ref function(const Def& def, Obj module, Obj qualname) {
    using Result = typename detail::Signature<decltype(F)>::Result;
    if constexpr (std::is_same_v<Result, Task>) {
        return make_function(def, nullptr, &detail::call_impl<F>, module, qualname);
    } else {
        static_assert(std::is_same_v<Result, Ref>, "a native function returns Ref (or Task for a coroutine)");
        return make_function(def, &detail::call_impl<F>, nullptr, module, qualname);
    }
}

}  // namespace kestrum

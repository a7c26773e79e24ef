// Declarations shared by the sources of kestrum_models.querysets.dunmere.
#pragma once

#include <array>
#include <cstdint>

#include "kestrum/kestrum.hpp"

namespace dunmere {

using kestrum::Function;
using kestrum::Obj;
using kestrum::Ref;
using kestrum::Task;

// The module's globals: its dict, then builtins, read when a method runs.
extern kestrum::Globals globals;

// The native functions the class bodies define, recorded when the classes are created.
// Callers look a sibling up through `self` as usual; when the lookup finds one of these
// very functions, they run its implementation directly instead of going through the
// argument binder (same arguments, same result).
struct Natives {
    PyObject* init = nullptr;              // QuerySetBase.__init__
    PyObject* copy = nullptr;              // QuerySetBase._copy
    PyObject* from_queryset = nullptr;     // QuerySetBase.__dict__["_from_queryset"] (the classmethod)
    PyObject* filter = nullptr;            // QuerySetBase._filter
    PyObject* create_instance = nullptr;   // QuerySetBase._create_instance
    PyObject* acreate_instance = nullptr;  // QuerySetBase._acreate_instance
};
extern Natives natives;

// ---- Fast paths (access.cpp) -----------------------------------------------------------

// A module global read at call time through a cache that every change of the module
// dict invalidates: global<"Q">() is `Q` as a method body would read it.
struct GlobalSlot {
    PyObject* value = nullptr;  // borrowed from the module dict
    std::uint64_t generation = 0;
};
extern std::uint64_t globals_generation;
Ref lookup_global(GlobalSlot& slot, Obj name);
void watch_globals();

template <kestrum::FixedString S>
Ref global() {
    static GlobalSlot slot;
    if (slot.generation == globals_generation) return Ref::borrow(slot.value);
    return lookup_global(slot, kestrum::Interned<S>::get());
}

// What a class resolves, cached under its version tag.
struct TypeInfo {
    PyTypeObject* type = nullptr;
    unsigned int version = 0;
    // Default attribute access, an instance dict, and no class attribute named like a
    // state attribute: the state lives in the instance dict and nowhere else.
    bool plain = false;
    // The class resolves these names to this module's own functions.
    bool native_copy = false;
    bool native_from_queryset = false;
    bool native_filter = false;
    bool native_create_instance = false;
    bool native_acreate_instance = false;
    // cls(entity) runs type.__call__, object.__new__ and QuerySetBase.__init__.
    bool native_construction = false;
};
const TypeInfo& type_info(PyTypeObject* type);

// The names of the query-set state (instance attributes).
std::array<Obj, 12> state_names();

// obj.name and obj.name = value for query-set state.
Ref get_state(Obj obj, Obj name);
void set_state(Obj obj, Obj name, Obj value);

// obj.name = value on any object (a collaborator's attribute).
inline void store_attr(Obj obj, Obj name, Obj value) {
    // The names are interned already, which the generic path would otherwise ensure.
    if (Py_TYPE(obj.ptr())->tp_setattro == PyObject_GenericSetAttr)
        kestrum::require(PyObject_GenericSetAttr(obj.ptr(), name.ptr(), value.ptr()));
    else
        obj.setattr(name, value);
}

// Whether self.name finds this module's own function (the flag `native` of the class
// and no instance attribute in front of it).
bool finds_native(Obj self, bool TypeInfo::*native, Obj name);

// cls(entity)
Ref new_queryset(Obj cls, Obj entity);

// ---- Calls ---------------------------------------------------------------------------

// The empty tuple, for calls with keyword arguments only.
Obj empty_tuple() noexcept;

// obj.name(...), with the method looked up when the object is made, as the interpreter
// looks `obj.name` up before it evaluates the call's arguments.
class MethodCall {
public:
    MethodCall(Obj obj, Obj name);
    template <class... A>
    Ref operator()(const A&... args) const {
        if (unbound_) return callable_(self_, args...);
        return callable_(args...);
    }
    // obj.name(*args, **kwargs)
    Ref star(Obj args, Obj kwargs) const;

private:
    Ref callable_;
    Obj self_;
    bool unbound_ = false;
};

// self.name(*args, **kwargs)
Ref call_method_star(Obj self, Obj name, Obj args, Obj kwargs);

// raise error_class(message)
[[noreturn]] void raise_error(Obj error_class, const char* message);

// The callable str the interpreter uses in call errors, e.g. "mod.Class.method()".
Ref function_str(Obj callable);

// The attribute `name` of an imported module, as the import statement's
// `from module import name` takes it, with the interpreter's ImportError.
Ref import_name_from(Obj module, Obj name);

// ---- QuerySetBase: state, construction and copying (state.cpp) -----------------------

Ref init(Obj self, Obj entity, Obj executor, Obj async_executor, bool strict_class_version);
Ref entity_name(Obj self);
Ref table_name(Obj self);
Ref entity(Obj self);
Ref get_conditions(Obj self);
Ref get_select_related(Obj self);
Ref get_query_specifier(Obj self);
Ref get_order_by(Obj self);
Ref get_using(Obj self);
Ref get_paginator(Obj self);
Ref from_queryset(Obj cls, Obj queryset);
Ref copy_(Obj self);
Ref dunder_copy(Obj self);

// self._copy(), through the instance's own `_copy`.
Ref copy_of(Obj self);

// ---- QuerySetBase: building operations (building.cpp) --------------------------------

Ref using_(Obj self, Obj value);
Ref annotate(Obj self, Obj kwargs);
Ref only(Obj self, Obj fields);
Ref distinct(Obj self, Obj fields);
Ref filter(Obj self, Obj args, Obj kwargs);
Ref exclude(Obj self, Obj args, Obj kwargs);
Ref filter_(Obj self, Obj args, bool negated, Obj kwargs);
Ref order_by(Obj self, Obj args);
Ref getitem(Obj self, Obj index);
Ref latest(Obj self);
Ref check_type(Obj self, Obj obj);
Ref select_related(Obj self, Obj fields);
Ref refuse_iter(Obj self);
Ref refuse_contains(Obj self, Obj item);

// self._filter(*args, **kwargs), through the instance's own `_filter`.
Ref filter_of(Obj self, Obj args, Obj kwargs);

}  // namespace dunmere

// Declarations shared by the sources of kestrum_models.querysets.dunmere.
#pragma once

#include <array>
#include <cstdint>

#include "kestrum/kestrum.hpp"

namespace dunmere {

using kestrum::Function;
using kestrum::Local;
using kestrum::Obj;
using kestrum::Ref;
using kestrum::Task;

// The module's globals: its dict, then builtins, read when a method runs.
extern kestrum::Globals globals;

// The native functions the class bodies define, recorded when the classes are created.
// Callers look a sibling up through `self` as usual; when the lookup finds one of these
// very functions, they run its implementation directly instead of going through the
// argument binder (same arguments, same result).
//
// A wrapper is recognised by more than its identity: calling a classmethod's __init__
// again re-targets it in place, which renews no version tag. So the classmethod counts as
// this module's own only while it still wraps the function it wrapped at load
// (from_queryset_intact); otherwise the call takes the ordinary way.
struct Natives {
    PyObject* init = nullptr;              // QuerySetBase.__init__
    PyObject* copy = nullptr;              // QuerySetBase._copy
    PyObject* from_queryset = nullptr;     // QuerySetBase.__dict__["_from_queryset"] (the classmethod)
    PyObject* from_queryset_function = nullptr;  // the function it wrapped at load
    PyObject* filter_ = nullptr;           // QuerySetBase._filter
    PyObject* create_instance = nullptr;   // QuerySetBase._create_instance
    PyObject* acreate_instance = nullptr;  // QuerySetBase._acreate_instance
    PyObject* only = nullptr;              // QuerySetBase.only, and so on
    PyObject* distinct = nullptr;
    PyObject* filter = nullptr;
    PyObject* exclude = nullptr;
    PyObject* order_by = nullptr;
    PyObject* select_related = nullptr;
    PyObject* one_init = nullptr;          // QuerySetOne.__init__
    PyObject* one_class = nullptr;         // QuerySetOne, the class that defines it
};
extern Natives natives;

// ---- Fast paths (access.cpp) -----------------------------------------------------------
//
// The caches below follow the rules of kestrum/ref.hpp ("Code that runs", "Caches"):
// - An entry is valid under the generations and version tags read *before* the lookups
//   that filled it. A lookup can run code (a stored key's __eq__, a module's or class's
//   attribute hooks, a release) that changes what it depends on; such a change leaves
//   the entry stale, never filed as current.
// - An entry owns what it holds. The exceptions are pointers kept for identity tests
//   only, and values borrowed from a dict that the dict watcher guards: the watcher
//   renews the generation before the dict changes, so before such a value can go away.
// - An entry is built whole, then published; what it replaces is released afterwards.
//   A lookup returns its own value, not what the slot holds after that release.
// - Without the dict watcher (none was free at load, or a failed load gave it back)
//   nothing is cached: every read takes the ordinary path.
// The slots live in static storage and are never destroyed: their references must not
// be released after the interpreter has finished.

// A module global read at call time through a cache that every change of the module
// dict invalidates: global<"Q">() is `Q` as a method body would read it.
struct GlobalSlot {
    PyObject* value = nullptr;  // borrowed from the module dict, guarded by the watcher
    std::uint64_t generation = 0;
};
extern std::uint64_t globals_generation;
Ref lookup_global(GlobalSlot& slot, Obj name);

// The one dict watcher the caches depend on, taken when the module body starts to use
// the caches and given back if the body fails, so that failed loads do not use up the
// interpreter's few watchers. Constructing it watches the module's globals; when no
// watcher is free, the module loads all the same and caches nothing.
class WatcherLease {
public:
    WatcherLease();
    WatcherLease(const WatcherLease&) = delete;
    WatcherLease& operator=(const WatcherLease&) = delete;
    ~WatcherLease();
    void keep() noexcept { kept_ = true; }  // the load succeeded

private:
    bool kept_ = false;
};

// Renewed on every change of sys.modules or of a module dict given to watch_for_imports.
extern std::uint64_t imports_generation;
// Watch `dict` for the import caches; false when there is no watcher (then cache nothing).
bool watch_for_imports(Obj dict);

template <kestrum::FixedString S>
Ref global() {
    static GlobalSlot slot;
    if (slot.generation == globals_generation) return Ref::borrow(slot.value);
    return lookup_global(slot, kestrum::Interned<S>::get());
}

// Attribute reads that rows repeat, cached while nothing they depend on changes.
//
// module.name of a plain module: valid while the module is the same object and still of
// the plain module type (a module whose __class__ was changed may answer through
// __getattribute__), and neither its dict nor sys.modules has changed.
struct ModuleAttrSlot {
    Ref module;
    Ref value;
    std::uint64_t generation = 0;
};
Ref module_attr_cached(Obj module, Obj name, ModuleAttrSlot& slot);

// cls.name where the class (under type's attribute access) holds a plain value: valid
// while the class and its metaclass keep their version tags.
struct ClassAttrSlot {
    Ref cls;
    Ref value;
    unsigned int version = 0;
    unsigned int meta_version = 0;
};
Ref class_attr_cached(Obj cls, Obj name, ClassAttrSlot& slot);

// obj.name where the class keeps `name` in a slot (a member descriptor).
struct MemberSlot {
    Ref descriptor;  // it holds its class
    unsigned int version = 0;
};
Ref member_attr_cached(Obj obj, Obj name, MemberSlot& slot);

// What a class resolves, under its version tag. Returned by value: the cache it comes
// from may be refilled by any code that runs after.
struct TypeInfo {
    PyTypeObject* type = nullptr;  // identity only; null: nothing resolved (see type_info)
    unsigned int version = 0;
    // Default attribute access, an instance dict, and no class attribute named like a
    // state attribute: the state lives in the instance dict and nowhere else.
    bool plain = false;
    // The class resolves these names to this module's own functions.
    bool native_copy = false;
    bool native_from_queryset = false;
    bool native_filter_ = false;
    bool native_create_instance = false;
    bool native_acreate_instance = false;
    // What cls(entity) runs: type.__call__ and object.__new__, then QuerySetBase.__init__
    // alone, or QuerySetOne.__init__ whose super().__init__ is QuerySetBase.__init__.
    // (The metaclass is checked when this is used: assigning a class's __class__ does
    // not renew its version tag.)
    enum class Construction : unsigned char { Other, Base, One } construction = Construction::Other;
};
bool tagged(PyTypeObject* type) noexcept;
// Whether the class still has the version tag `version`.
bool unchanged(PyTypeObject* type, unsigned int version) noexcept;
// What `type` resolves. A class without a version tag, or one changed while it was being
// resolved (the lookups can run code), gives TypeInfo{}: nothing resolved natively.
// Resolving can run code; a caller that goes on with an object of that class checks that
// the object's class is still `type`.
TypeInfo type_info(PyTypeObject* type);
// What cls(entity) runs, as far as this module builds it itself.
TypeInfo::Construction construction_of(PyTypeObject* type);

// The names of the query-set state (instance attributes), in the constructor's order.
enum StateIndex : int {
    ENTITY, EXECUTOR, ASYNC_EXECUTOR, PAGINATOR, ORDER_BY, QUERY_SPECIFIER, CONDITIONS, USING,
    SELECT_RELATED, ANNOTATIONS, STRICT_CLASS_VERSION, RAISE_ON_MULTIPLE, STATE_SIZE
};
std::array<Obj, STATE_SIZE> state_names();

// Renewed on every change of a query-set instance dict that a StateView has read.
extern std::uint64_t state_generation;

// The state of one query set as its instance dict holds it, read in one pass. While the
// dict is unchanged (a dict watcher tells) and the object keeps its plain class, every
// attribute read gives what the view holds; otherwise reads take the ordinary path.
class StateView {
public:
    // `obj` must outlive the view (it is the caller's argument).
    explicit StateView(Obj obj);
    // obj.<state name>
    Ref get(StateIndex index) const;
    // Whether self.name finds this module's own function (see finds_native).
    bool finds(bool TypeInfo::*native, Obj name) const;
    Obj object() const noexcept { return obj_; }

private:
    bool valid() const noexcept;

    Obj obj_;
    PyTypeObject* type_ = nullptr;
    PyObject* dict_ = nullptr;  // the instance dict read (its identity only)
    unsigned int version_ = 0;
    std::uint64_t generation_ = 0;
    bool plain_ = false;
    bool extras_ = true;  // the dict may hold names other than the state's
    std::array<PyObject*, STATE_SIZE> values_{};  // borrowed from the dict
};

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

// mapping[key], with an exact dict read directly (same value, same KeyError).
inline Ref item(Obj mapping, Obj key) {
    if (PyDict_CheckExact(mapping.ptr()) && PyUnicode_CheckExact(key.ptr())) {
        if (PyObject* value = PyDict_GetItemWithError(mapping.ptr(), key.ptr())) return Ref::borrow(value);
        if (PyErr_Occurred()) kestrum::raise();
        PyErr_SetObject(PyExc_KeyError, key.ptr());
        kestrum::raise();
    }
    return mapping[key];
}

// key in mapping
inline bool has_key(Obj mapping, Obj key) {
    if (PyDict_CheckExact(mapping.ptr())) return kestrum::require(PyDict_Contains(mapping.ptr(), key.ptr())) == 1;
    return mapping.contains(key);
}

// Whether self.name finds this module's own function (the flag `native` of the class
// and no instance attribute in front of it).
bool finds_native(Obj self, bool TypeInfo::*native, Obj name);

// Whether the classmethod _from_queryset still wraps this module's own function.
bool from_queryset_intact();

// Whether super(start, self).name finds `native`, this module's own function.
bool super_finds(Obj self, Obj start, Obj name, PyObject* native);

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
    Ref self_;  // held, as a bound method would hold it: the object may be a temporary
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
Ref copy_of(const StateView& self);
// _from_queryset(cls, source) reading the source through a view of it.
Ref from_queryset_view(Obj cls, const StateView& source);

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

// ---- QuerySetBase: execution and instance creation (execution.cpp) -------------------

Ref execute_query(Obj self);
Ref execute_count(Obj self);
Task aexecute_query(Obj self);
Task aexecute_count(Obj self);
Ref create_instance(Obj self, bool is_partial, Obj data);
Task acreate_instance(Obj self, bool is_partial, Obj data);

// Note the standard library's json.loads (the module body calls this with `json`).
void capture_json_loads(Obj json);

// Instance creation up to the schema-version lookup, and from there on; shared by both
// twins and by the execute loops.
// Held in Locals: a coroutine body holds it across the schema-version await.
struct PreparedRow {
    Local compatible_class_versions;  // the imported constant
    Local legacy_model;               // the imported class
    Local data;                       // the working dict of field values
    bool needs_latest_version = false;
};
PreparedRow prepare_row(Obj data);
// manager_class().get_latest_schema_version(self.entity_name): the version, or what to
// await for it.
Ref latest_version_request(Obj self, Obj manager_class);
Ref finish_row(const StateView& self, bool is_partial, Obj data, PreparedRow& row, Obj latest_version);
// The body of _create_instance.
Ref create_row(const StateView& self, bool is_partial, Obj data);

// self._create_instance(_is_partial=is_partial, data=item), through the instance.
Ref create_instance_of(const StateView& self, bool is_partial, Obj item);

// ---- The terminal variants (variants.cpp) --------------------------------------------

Ref queryset_get(Obj self, Obj args, Obj kwargs);
Ref queryset_get_or_none(Obj self, Obj args, Obj kwargs);
Ref queryset_first(Obj self, Obj args, Obj kwargs);
Ref queryset_count(Obj self);
Ref queryset_select_related(Function fn, Obj self, Obj fields);
Ref queryset_execute(Obj self);
Task queryset_aexecute(Obj self);

Ref one_init(Function fn, Obj self, Obj entity);
Ref one_execute(Obj self);
Task one_aexecute(Obj self);

Ref required_execute(Function fn, Obj self);
Task required_aexecute(Function fn, Obj self);

Ref count_execute(Obj self);
Task count_aexecute(Obj self);

// The building-operation overrides: through super() in QuerySet, QuerySetOne and
// QuerySetCount; through super(QuerySetOne, self) in QuerySetOneRequired.
Ref super_only(Function fn, Obj self, Obj fields);
Ref super_distinct(Function fn, Obj self, Obj fields);
Ref super_filter(Function fn, Obj self, Obj args, Obj kwargs);
Ref super_exclude(Function fn, Obj self, Obj args, Obj kwargs);
Ref super_order_by(Function fn, Obj self, Obj args);
Ref past_one_only(Obj self, Obj fields);
Ref past_one_distinct(Obj self, Obj fields);
Ref past_one_filter(Obj self, Obj args, Obj kwargs);
Ref past_one_exclude(Obj self, Obj args, Obj kwargs);
Ref past_one_order_by(Obj self, Obj args);

}  // namespace dunmere

// Fast paths for what every operation does many times: reading module globals and
// the attributes rows repeat, reading and writing query-set state, finding a sibling
// method through `self` or super(), and constructing a copy. Each gives exactly the
// result of the ordinary lookup and falls back to it whenever it could differ.
//
// - Caches of module globals, of names imported at call time and of module attributes
//   are invalidated by a dict watcher on the dicts they come from (the module's
//   globals, sys.modules, the imported modules' dicts), so a replaced value is seen
//   at once.
// - A query-set class is "plain" when attribute access is the default one and no
//   class in its MRO defines a name of the query-set state; then reading and writing
//   that state through the instance dict is what getattr/setattr do. What a class
//   resolves (plainness, which methods are this module's own functions, what super()
//   finds) is cached under the class's version tag, which the interpreter renews on
//   every change of the class or of its bases; class attributes are cached the same way.
// - A StateView reads one query set's instance dict in one pass and serves reads
//   while the watcher reports no change, the object keeps that dict and its class.
#include <array>
#include <cstdint>
#include <vector>

#include "dunmere.hpp"

namespace dunmere {

using namespace kestrum;

// ---- Module globals --------------------------------------------------------------------

std::uint64_t globals_generation = 1;
std::uint64_t imports_generation = 1;
std::uint64_t state_generation = 1;

namespace {

int watcher_id = -1;

// One watcher serves every dict the caches depend on: the module's globals, sys.modules
// and the dicts of imported modules, and the instance dicts of viewed query sets.
int on_dict_changed(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    if (dict == globals.dict().ptr()) {
        ++globals_generation;
    } else {
        ++imports_generation;
        ++state_generation;
    }
    return 0;
}

}  // namespace

void watch_globals() {
    watcher_id = require(PyDict_AddWatcher(on_dict_changed));
    require(PyDict_Watch(watcher_id, globals.dict().ptr()));
}

void watch_for_imports(Obj dict) { require(PyDict_Watch(watcher_id, dict.ptr())); }

Ref lookup_global(GlobalSlot& slot, Obj name) {
    PyObject* value = PyDict_GetItemWithError(globals.dict().ptr(), name.ptr());
    if (value) {
        // Borrowed from the module dict: any change of the dict renews the generation
        // before the value could go away, so a stale slot is never used.
        slot.value = value;
        slot.generation = globals_generation;
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) raise();
    return globals[name];  // builtins, else NameError
}

// ---- Attribute reads repeated per row --------------------------------------------------------

Ref module_attr_cached(Obj module, Obj name, ModuleAttrSlot& slot) {
    if (slot.generation == imports_generation && module.is(slot.module)) return slot.value.ref();
    if (PyModule_CheckExact(module.ptr())) {
        Obj dict = PyModule_GetDict(module.ptr());
        if (Obj value = py::dict_get(dict, name)) {
            watch_for_imports(dict);
            slot.module = module.ref();
            slot.value = value.ref();
            slot.generation = imports_generation;
            return value.ref();
        }
    }
    return module.attr(name);
}

bool tagged(PyTypeObject* type) noexcept { return type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG; }

Ref class_attr_cached(Obj cls, Obj name, ClassAttrSlot& slot) {
    if (!PyType_Check(cls.ptr())) return cls.attr(name);
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    PyTypeObject* meta = Py_TYPE(cls.ptr());
    if (cls.is(slot.cls) && tagged(type) && tagged(meta) && type->tp_version_tag == slot.version &&
        meta->tp_version_tag == slot.meta_version)
        return slot.value.ref();
    // type.__getattribute__ on a metaclass that defines nothing of that name returns the
    // class's own attribute, unless that is a descriptor.
    if (meta->tp_getattro == PyType_Type.tp_getattro && PyUnstable_Type_AssignVersionTag(type) &&
        PyUnstable_Type_AssignVersionTag(meta) && !_PyType_Lookup(meta, name.ptr())) {
        PyObject* value = _PyType_Lookup(type, name.ptr());
        if (value && !Py_TYPE(value)->tp_descr_get && tagged(type) && tagged(meta)) {
            slot.cls = cls.ref();
            slot.value = Ref::borrow(value);
            slot.version = type->tp_version_tag;
            slot.meta_version = meta->tp_version_tag;
            return slot.value.ref();
        }
    }
    return cls.attr(name);
}

Ref member_attr_cached(Obj obj, Obj name, MemberSlot& slot) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    auto member_of = [](Obj descriptor) { return reinterpret_cast<PyMemberDescrObject*>(descriptor.ptr())->d_member; };
    if (slot.descriptor && tagged(type) && type->tp_version_tag == slot.version &&
        reinterpret_cast<PyDescrObject*>(slot.descriptor.ptr())->d_type == type)
        return Ref::own(PyMember_GetOne(reinterpret_cast<const char*>(obj.ptr()), member_of(slot.descriptor)));
    if (type->tp_getattro == PyObject_GenericGetAttr && PyUnstable_Type_AssignVersionTag(type)) {
        PyObject* descriptor = _PyType_Lookup(type, name.ptr());
        if (descriptor && Py_IS_TYPE(descriptor, &PyMemberDescr_Type) && tagged(type) &&
            reinterpret_cast<PyDescrObject*>(descriptor)->d_type == type) {
            slot.descriptor = Ref::borrow(descriptor);
            slot.version = type->tp_version_tag;
            return Ref::own(PyMember_GetOne(reinterpret_cast<const char*>(obj.ptr()), member_of(slot.descriptor)));
        }
    }
    return obj.attr(name);
}

// ---- What a class resolves ------------------------------------------------------------------

std::array<Obj, STATE_SIZE> state_names() {
    return {"_entity"_n,     "_executor"_n,        "_async_executor"_n, "_paginator"_n,
            "_order_by"_n,   "_query_specifier"_n, "_conditions"_n,     "_using"_n,
            "_select_related"_n, "_annotations"_n, "_strict_class_version"_n, "_raise_on_multiple"_n};
}

namespace {

constexpr std::size_t type_cache_size = 16;
std::array<TypeInfo, type_cache_size> type_cache;
std::size_t type_cache_next = 0;

bool resolves_to(PyTypeObject* type, Obj name, PyObject* expected) {
    return expected && _PyType_Lookup(type, name.ptr()) == expected;
}

// What super(start, obj).name finds for an instance of `type` (borrowed), or null: the
// name in the dict of the first class after `start` in the MRO that defines it.
PyObject* super_resolves(PyTypeObject* type, PyObject* start, Obj name) {
    PyObject* mro = type->tp_mro;
    if (!mro || !start) return nullptr;
    const Py_ssize_t n = PyTuple_GET_SIZE(mro);
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro, i) != start) ++i;
    for (++i; i < n; ++i) {
        Ref dict = Ref::own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))));
        if (PyObject* found = PyDict_GetItemWithError(dict.ptr(), name.ptr())) return found;
        if (PyErr_Occurred()) raise();
    }
    return nullptr;
}

TypeInfo compute_type_info(PyTypeObject* type) {
    TypeInfo info;
    info.type = type;
    info.version = type->tp_version_tag;
    info.plain = type->tp_getattro == PyObject_GenericGetAttr && type->tp_setattro == PyObject_GenericSetAttr &&
                 (type->tp_dictoffset != 0 || (type->tp_flags & Py_TPFLAGS_MANAGED_DICT));
    if (info.plain) {
        for (Obj name : state_names()) {
            if (_PyType_Lookup(type, name.ptr())) {
                info.plain = false;
                break;
            }
        }
    }
    info.native_copy = resolves_to(type, "_copy"_n, natives.copy);
    info.native_from_queryset = resolves_to(type, "_from_queryset"_n, natives.from_queryset);
    info.native_filter_ = resolves_to(type, "_filter"_n, natives.filter_);
    info.native_create_instance = resolves_to(type, "_create_instance"_n, natives.create_instance);
    info.native_acreate_instance = resolves_to(type, "_acreate_instance"_n, natives.acreate_instance);
    // cls(entity) runs type.__call__ and object.__new__, then this module's __init__.
    const bool default_new = Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type) &&
                             type->tp_new == PyBaseObject_Type.tp_new && !(type->tp_flags & Py_TPFLAGS_IS_ABSTRACT);
    if (default_new && resolves_to(type, "__init__"_n, natives.init)) {
        info.construction = TypeInfo::Construction::Base;
    } else if (default_new && resolves_to(type, "__init__"_n, natives.one_init) &&
               super_resolves(type, natives.one_class, "__init__"_n) == natives.init) {
        info.construction = TypeInfo::Construction::One;
    }
    return info;
}

}  // namespace

const TypeInfo& type_info(PyTypeObject* type) {
    static const TypeInfo* last = &type_cache[0];
    const bool tagged = type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG;
    if (tagged) {
        if (last->type == type && last->version == type->tp_version_tag) return *last;
        for (const TypeInfo& info : type_cache) {
            if (info.type == type && info.version == type->tp_version_tag) {
                last = &info;
                return info;
            }
        }
    }
    static TypeInfo untagged;
    if (!PyUnstable_Type_AssignVersionTag(type)) {
        // No version tag to validate a cached entry with: resolve nothing natively.
        untagged = TypeInfo{};
        return untagged;
    }
    TypeInfo& slot = type_cache[type_cache_next];
    type_cache_next = (type_cache_next + 1) % type_cache_size;
    slot = compute_type_info(type);
    // Lookups may have renewed the tag; an entry with a stale tag is simply never hit.
    slot.version = type->tp_version_tag;
    return slot;
}

// ---- Query-set state -----------------------------------------------------------------------

namespace {

// The instance dict of a plain object, or null.
PyObject* plain_dict(Obj obj) {
    if (!type_info(Py_TYPE(obj.ptr())).plain) return nullptr;
    PyObject** slot = _PyObject_GetDictPtr(obj.ptr());
    return slot ? *slot : nullptr;
}

}  // namespace

Ref get_state(Obj obj, Obj name) {
    if (PyObject* dict = plain_dict(obj)) {
        if (PyObject* value = PyDict_GetItemWithError(dict, name.ptr())) return Ref::borrow(value);
        if (PyErr_Occurred()) raise();
    }
    return obj.attr(name);
}

void set_state(Obj obj, Obj name, Obj value) {
    if (PyObject* dict = plain_dict(obj)) {
        require(PyDict_SetItem(dict, name.ptr(), value.ptr()));
        return;
    }
    obj.setattr(name, value);
}

// ---- Calls -----------------------------------------------------------------------------

MethodCall::MethodCall(Obj obj, Obj name) : self_(obj) {
    PyObject* found = nullptr;
    unbound_ = _PyObject_GetMethod(obj.ptr(), name.ptr(), &found) == 1;
    callable_ = Ref::steal(found);
    if (!callable_) raise();
}

Ref MethodCall::star(Obj args, Obj kwargs) const {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args.ptr());
    const Py_ssize_t offset = unbound_ ? 1 : 0;
    std::vector<PyObject*> stack(static_cast<std::size_t>(nargs + offset));
    if (unbound_) stack[0] = self_.ptr();
    for (Py_ssize_t i = 0; i < nargs; ++i) stack[static_cast<std::size_t>(i + offset)] = PyTuple_GET_ITEM(args.ptr(), i);
    const bool has_keywords = kwargs && PyDict_GET_SIZE(kwargs.ptr()) > 0;
    return Ref::own(PyObject_VectorcallDict(callable_.ptr(), stack.data(), static_cast<std::size_t>(nargs + offset),
                                            has_keywords ? kwargs.ptr() : nullptr));
}

Ref call_method_star(Obj self, Obj name, Obj args, Obj kwargs) { return MethodCall(self, name).star(args, kwargs); }

// ---- A view of one query set's state -------------------------------------------------------

StateView::StateView(Obj obj) : obj_(obj) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    if (!type_info(type).plain || !tagged(type)) return;
    PyObject** slot = _PyObject_GetDictPtr(obj.ptr());
    if (!slot || !*slot) return;
    PyObject* dict = *slot;
    require(PyDict_Watch(watcher_id, dict));
    static const std::array<Obj, STATE_SIZE> names = state_names();
    bool extras = false;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    Py_ssize_t position = 0;
    while (PyDict_Next(dict, &position, &key, &value)) {
        // Attribute names in an instance dict are interned, as the state names are, and
        // usually stand in the constructor's order.
        int index = static_cast<int>(position) - 1;
        if (index >= STATE_SIZE || names[index].ptr() != key) {
            index = 0;
            while (index < STATE_SIZE && names[index].ptr() != key) ++index;
        }
        if (index < STATE_SIZE)
            values_[index] = value;
        else
            extras = true;
    }
    type_ = type;
    dict_ = dict;
    version_ = type->tp_version_tag;
    generation_ = state_generation;
    plain_ = true;
    extras_ = extras;
}

bool StateView::valid() const noexcept {
    if (!plain_ || generation_ != state_generation || Py_TYPE(obj_.ptr()) != type_ || !tagged(type_) ||
        type_->tp_version_tag != version_)
        return false;
    // A dict replaced through __dict__ may live on elsewhere, unchanged.
    PyObject** slot = _PyObject_GetDictPtr(obj_.ptr());
    return slot && *slot == dict_;
}

Ref StateView::get(StateIndex index) const {
    if (valid() && values_[index]) return Ref::borrow(values_[index]);
    static const std::array<Obj, STATE_SIZE> names = state_names();
    return get_state(obj_, names[index]);
}

bool StateView::finds(bool TypeInfo::*native, Obj name) const {
    if (valid() && !extras_) return type_info(type_).*native;
    return finds_native(obj_, native, name);
}

// ---- Siblings through self --------------------------------------------------------------

bool finds_native(Obj self, bool TypeInfo::*native, Obj name) {
    const TypeInfo& info = type_info(Py_TYPE(self.ptr()));
    if (!info.plain || !(info.*native)) return false;
    // The class resolves the name to this module's function, a non-data descriptor:
    // only an instance attribute of that name could come first.
    PyObject** slot = _PyObject_GetDictPtr(self.ptr());
    if (!slot) return false;
    if (!*slot) return true;
    PyObject* shadow = PyDict_GetItemWithError(*slot, name.ptr());
    if (!shadow && PyErr_Occurred()) raise();
    return !shadow;
}

bool super_finds(Obj self, Obj start, Obj name, PyObject* native) {
    if (!native) return false;
    PyTypeObject* type = Py_TYPE(self.ptr());
    const TypeInfo& info = type_info(type);
    if (info.type != type || !tagged(type) || info.version != type->tp_version_tag)
        return super_resolves(type, start.ptr(), name) == native;
    for (TypeInfo::SuperLookup& lookup : info.super_lookups) {
        if (lookup.start == start.ptr() && lookup.name == name.ptr()) return lookup.found == native;
        if (!lookup.start) {
            // Found means `start` and the result belong to this MRO, which keeps them alive.
            PyObject* found = super_resolves(type, start.ptr(), name);
            if (found && info.version == type->tp_version_tag && tagged(type)) lookup = {start.ptr(), name.ptr(), found};
            return found == native;
        }
    }
    return super_resolves(type, start.ptr(), name) == native;
}

TypeInfo::Construction construction_of(PyTypeObject* type) {
    if (!Py_IS_TYPE(reinterpret_cast<PyObject*>(type), &PyType_Type)) return TypeInfo::Construction::Other;
    return type_info(type).construction;
}

Ref new_queryset(Obj cls, Obj entity) {
    if (PyType_Check(cls.ptr())) {
        auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
        const TypeInfo::Construction construction = construction_of(type);
        if (construction != TypeInfo::Construction::Other) {
            Ref qs = Ref::own(type->tp_alloc(type, 0));
            init(qs, entity, None, None, false);
            if (construction == TypeInfo::Construction::One) set_state(qs, "_raise_on_multiple"_n, True);
            return qs;
        }
    }
    return cls(entity);
}

}  // namespace dunmere

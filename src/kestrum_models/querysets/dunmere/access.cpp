// Fast paths for what every operation does many times: reading module globals and
// the attributes rows repeat, reading and writing query-set state, finding a sibling
// method through `self` or super(), and constructing a copy. Each gives exactly the
// result of the ordinary lookup and falls back to it whenever it could differ.
//
// - Caches of module globals, of names imported at call time and of module attributes
//   are invalidated by a dict watcher on the dicts they come from (the module's
//   globals, sys.modules, the imported modules' dicts), so a replaced value is seen
//   at once. A module's attributes are read from its dict only while it is of the plain
//   module type: a module whose __class__ was changed answers through its new class.
// - A query-set class is "plain" when attribute access is the default one and no
//   class in its MRO defines a name of the query-set state; then reading and writing
//   that state through the instance dict is what getattr/setattr do. What a class
//   resolves (plainness, which methods are this module's own functions, what super()
//   finds) is cached under the class's version tag, which the interpreter renews on
//   every change of the class or of its bases; class attributes are cached the same way.
// - A StateView reads one query set's instance dict in one pass and serves reads
//   while the watcher reports no change, the object keeps that dict and its class.
// - Lookups run code (a stored key's __eq__, a release): every entry is filed under the
//   generation or version tag read before its lookups, and published whole, as
//   dunmere.hpp describes.
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

int watcher_id = -1;  // -1: no watcher (none was free, or none taken yet), and nothing is cached

// One watcher serves every dict the caches depend on: the module's globals, sys.modules
// and the dicts of imported modules, and the instance dicts of viewed query sets. The
// interpreter calls it before the dict changes.
int on_dict_changed(PyDict_WatchEvent, PyObject* dict, PyObject*, PyObject*) noexcept {
    if (dict == globals.dict().ptr()) {
        ++globals_generation;
    } else {
        ++imports_generation;
        ++state_generation;
    }
    return 0;
}

// Every entry filled so far becomes stale.
void renew_generations() noexcept {
    ++globals_generation;
    ++imports_generation;
    ++state_generation;
}

void give_back_watcher() noexcept {
    if (watcher_id < 0) return;
    PyObject* pending = PyErr_GetRaisedException();
    if (PyDict_Unwatch(watcher_id, globals.dict().ptr()) < 0) PyErr_Clear();
    if (PyDict_ClearWatcher(watcher_id) < 0) PyErr_Clear();
    watcher_id = -1;
    renew_generations();
    PyErr_SetRaisedException(pending);
}

}  // namespace

WatcherLease::WatcherLease() {
    // Entries filled by an earlier load that failed came from another module dict.
    renew_generations();
    if (watcher_id < 0) watcher_id = add_dict_watcher(on_dict_changed);
    if (watcher_id < 0) return;  // none is free: nothing is cached
    if (PyDict_Watch(watcher_id, globals.dict().ptr()) < 0) {
        give_back_watcher();
        raise();
    }
}

WatcherLease::~WatcherLease() {
    if (!kept_) give_back_watcher();
}

bool watch_for_imports(Obj dict) {
    if (watcher_id < 0) return false;
    require(PyDict_Watch(watcher_id, dict.ptr()));
    return true;
}

Ref lookup_global(GlobalSlot& slot, Obj name) {
    const std::uint64_t generation = globals_generation;
    PyObject* value = PyDict_GetItemWithError(globals.dict().ptr(), name.ptr());
    if (value) {
        // Borrowed from the module dict: any change of the dict renews the generation
        // before the value could go away, so a stale slot is never used.
        if (watcher_id >= 0) {
            slot.value = value;
            slot.generation = generation;
        }
        return Ref::borrow(value);
    }
    if (PyErr_Occurred()) raise();
    return globals[name];  // builtins, else NameError
}

// ---- Attribute reads repeated per row --------------------------------------------------------

Ref module_attr_cached(Obj module, Obj name, ModuleAttrSlot& slot) {
    if (slot.generation == imports_generation && module.is(slot.module) && PyModule_CheckExact(module.ptr()))
        return slot.value.ref();
    if (PyModule_CheckExact(module.ptr())) {
        const Ref dict = Ref::borrow(PyModule_GetDict(module.ptr()));
        if (watch_for_imports(dict)) {
            const std::uint64_t generation = imports_generation;
            if (Ref value = py::dict_get(dict, name)) {
                publish(slot, ModuleAttrSlot{module.ref(), value.ref(), generation});
                return value;
            }
        }
    }
    return module.attr(name);
}

bool tagged(PyTypeObject* type) noexcept { return type->tp_flags & Py_TPFLAGS_VALID_VERSION_TAG; }

bool unchanged(PyTypeObject* type, unsigned int version) noexcept {
    return tagged(type) && type->tp_version_tag == version;
}

Ref class_attr_cached(Obj cls, Obj name, ClassAttrSlot& slot) {
    if (!PyType_Check(cls.ptr())) return cls.attr(name);
    auto* type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    PyTypeObject* meta = Py_TYPE(cls.ptr());
    if (cls.is(slot.cls) && unchanged(type, slot.version) && unchanged(meta, slot.meta_version))
        return slot.value.ref();
    // type.__getattribute__ on a metaclass that defines nothing of that name returns the
    // class's own attribute, unless that is a descriptor.
    if (meta->tp_getattro == PyType_Type.tp_getattro && PyUnstable_Type_AssignVersionTag(type) &&
        PyUnstable_Type_AssignVersionTag(meta)) {
        // The lookups can run code that changes either class, or the class's metaclass.
        const Ref held_meta = Ref::borrow(Obj(meta));
        const unsigned int version = type->tp_version_tag;
        const unsigned int meta_version = meta->tp_version_tag;
        if (!_PyType_Lookup(meta, name.ptr())) {
            Ref value = Ref::borrow(_PyType_Lookup(type, name.ptr()));
            if (value && !Py_TYPE(value.ptr())->tp_descr_get && Py_TYPE(cls.ptr()) == meta &&
                unchanged(type, version) && unchanged(meta, meta_version)) {
                publish(slot, ClassAttrSlot{cls.ref(), value.ref(), version, meta_version});
                return value;
            }
        }
    }
    return cls.attr(name);
}

Ref member_attr_cached(Obj obj, Obj name, MemberSlot& slot) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    auto member_of = [](Obj descriptor) { return reinterpret_cast<PyMemberDescrObject*>(descriptor.ptr())->d_member; };
    if (slot.descriptor && unchanged(type, slot.version) &&
        reinterpret_cast<PyDescrObject*>(slot.descriptor.ptr())->d_type == type)
        return Ref::own(PyMember_GetOne(reinterpret_cast<const char*>(obj.ptr()), member_of(slot.descriptor)));
    if (type->tp_getattro == PyObject_GenericGetAttr && PyUnstable_Type_AssignVersionTag(type)) {
        // The lookup can run code that changes the class, or the object's class.
        const Ref held_type = Ref::borrow(Obj(type));
        const unsigned int version = type->tp_version_tag;
        Ref descriptor = Ref::borrow(_PyType_Lookup(type, name.ptr()));
        if (descriptor && Py_IS_TYPE(descriptor.ptr(), &PyMemberDescr_Type) &&
            reinterpret_cast<PyDescrObject*>(descriptor.ptr())->d_type == type && Py_TYPE(obj.ptr()) == type &&
            unchanged(type, version)) {
            Ref value = Ref::own(PyMember_GetOne(reinterpret_cast<const char*>(obj.ptr()), member_of(descriptor)));
            publish(slot, MemberSlot{std::move(descriptor), version});
            return value;
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

// What super(start, obj).name gave for instances of a class (pointers for identity tests
// only; while the class keeps its version tag, its MRO holds them).
struct SuperLookup {
    PyObject* start = nullptr;
    PyObject* name = nullptr;
    PyObject* found = nullptr;
};

// What one class resolves, under one version tag. Holds no references: overwriting an
// entry runs no code.
struct TypeEntry {
    TypeInfo info;
    std::array<SuperLookup, 8> super_lookups{};
};

constexpr std::size_t type_cache_size = 16;
std::array<TypeEntry, type_cache_size> type_cache;
std::size_t type_cache_next = 0;
TypeEntry* last_entry = &type_cache[0];

// The entry of `type` under its current version tag, or null.
TypeEntry* cached(PyTypeObject* type) noexcept {
    if (!tagged(type)) return nullptr;
    const unsigned int version = type->tp_version_tag;
    if (last_entry->info.type == type && last_entry->info.version == version) return last_entry;
    for (TypeEntry& entry : type_cache) {
        if (entry.info.type == type && entry.info.version == version) {
            last_entry = &entry;
            return &entry;
        }
    }
    return nullptr;
}

bool resolves_to(PyTypeObject* type, Obj name, PyObject* expected) {
    return expected && _PyType_Lookup(type, name.ptr()) == expected;
}

// What super(start, obj).name finds for an instance of `type`, or null: the name in the
// dict of the first class after `start` in the MRO that defines it. For identity tests
// only: the pointer is not held.
PyObject* super_resolves(PyTypeObject* type, PyObject* start, Obj name) {
    if (!type->tp_mro || !start) return nullptr;
    const Ref mro = Ref::borrow(type->tp_mro);  // a lookup may run code that replaces it
    const Py_ssize_t n = PyTuple_GET_SIZE(mro.ptr());
    Py_ssize_t i = 0;
    while (i < n && PyTuple_GET_ITEM(mro.ptr(), i) != start) ++i;
    for (++i; i < n; ++i) {
        Ref dict = Ref::own(PyType_GetDict(reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro.ptr(), i))));
        if (PyObject* found = PyDict_GetItemWithError(dict.ptr(), name.ptr())) return found;
        if (PyErr_Occurred()) raise();
    }
    return nullptr;
}

TypeInfo compute_type_info(PyTypeObject* type) {
    TypeInfo info;
    info.type = type;
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

// Resolve `type` and file the result, unless the class changed meanwhile.
TypeInfo resolve(PyTypeObject* type) {
    if (!PyUnstable_Type_AssignVersionTag(type)) return {};  // no tag to validate an entry with
    const Ref held = Ref::borrow(Obj(type));  // the lookups can run code that drops the class
    const unsigned int version = type->tp_version_tag;
    TypeInfo info = compute_type_info(type);
    if (!unchanged(type, version)) return {};  // changed while resolved: resolve nothing natively
    info.version = version;
    TypeEntry& entry = type_cache[type_cache_next];
    type_cache_next = (type_cache_next + 1) % type_cache_size;
    entry = TypeEntry{info, {}};
    last_entry = &entry;
    return info;
}

}  // namespace

TypeInfo type_info(PyTypeObject* type) {
    if (const TypeEntry* entry = cached(type)) return entry->info;
    return resolve(type);
}

// ---- Query-set state -----------------------------------------------------------------------

namespace {

// The instance dict of a plain object (held: a lookup in it may run code that replaces
// it), or an empty Ref.
Ref plain_dict(Obj obj) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    if (!type_info(type).plain || Py_TYPE(obj.ptr()) != type) return Ref();
    PyObject** slot = _PyObject_GetDictPtr(obj.ptr());
    return Ref::borrow(slot ? *slot : nullptr);
}

}  // namespace

Ref get_state(Obj obj, Obj name) {
    if (const Ref dict = plain_dict(obj)) {
        if (PyObject* value = PyDict_GetItemWithError(dict.ptr(), name.ptr())) return Ref::borrow(value);
        if (PyErr_Occurred()) raise();
    }
    return obj.attr(name);
}

void set_state(Obj obj, Obj name, Obj value) {
    if (const Ref dict = plain_dict(obj)) {
        require(PyDict_SetItem(dict.ptr(), name.ptr(), value.ptr()));
        return;
    }
    obj.setattr(name, value);
}

// ---- Calls -----------------------------------------------------------------------------

MethodCall::MethodCall(Obj obj, Obj name) : self_(obj.ref()) {
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
    const TypeInfo info = type_info(type);
    if (!info.plain || Py_TYPE(obj.ptr()) != type || !unchanged(type, info.version) || watcher_id < 0) return;
    PyObject** slot = _PyObject_GetDictPtr(obj.ptr());
    if (!slot || !*slot) return;
    PyObject* dict = *slot;
    // Nothing below runs code: the values read stay as read until the watcher reports a
    // change of the dict.
    require(PyDict_Watch(watcher_id, dict));
    const std::uint64_t generation = state_generation;
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
    version_ = info.version;
    generation_ = generation;
    plain_ = true;
    extras_ = extras;
}

bool StateView::valid() const noexcept {
    if (!plain_ || generation_ != state_generation || Py_TYPE(obj_.ptr()) != type_ || !unchanged(type_, version_))
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
    if (valid() && !extras_) {
        const TypeInfo info = type_info(type_);
        if (info.type == type_ && info.version == version_) return info.*native;
    }
    return finds_native(obj_, native, name);
}

// ---- Siblings through self --------------------------------------------------------------

bool finds_native(Obj self, bool TypeInfo::*native, Obj name) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    const TypeInfo info = type_info(type);
    if (!info.plain || !(info.*native) || Py_TYPE(self.ptr()) != type) return false;
    // The class resolves the name to this module's function, a non-data descriptor:
    // only an instance attribute of that name could come first.
    PyObject** slot = _PyObject_GetDictPtr(self.ptr());
    if (!slot) return false;
    if (!*slot) return true;
    const Ref dict = Ref::borrow(*slot);
    PyObject* shadow = PyDict_GetItemWithError(dict.ptr(), name.ptr());
    if (!shadow && PyErr_Occurred()) raise();
    // The lookup may have run code that changed the class.
    return !shadow && Py_TYPE(self.ptr()) == type && unchanged(type, info.version);
}

bool from_queryset_intact() {
    // An exact classmethod: __func__ is its member, read without running code.
    return Obj(natives.from_queryset).attr("__func__"_n).is(natives.from_queryset_function);
}

bool super_finds(Obj self, Obj start, Obj name, PyObject* native) {
    if (!native) return false;
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (const TypeEntry* entry = cached(type))
        for (const SuperLookup& lookup : entry->super_lookups)
            if (lookup.start == start.ptr() && lookup.name == name.ptr()) return lookup.found == native;
    // Resolving runs lookups, which can run code that changes the class or self's class.
    const Ref held = Ref::borrow(Obj(type));
    if (!cached(type)) resolve(type);
    const TypeEntry* before = cached(type);
    const unsigned int version = before ? before->info.version : 0;
    PyObject* found = super_resolves(type, start.ptr(), name);
    // File it only under the version the class had before the lookups ("found" means
    // `start` and the result belong to that MRO, which keeps them alive).
    if (found && before) {
        if (TypeEntry* entry = cached(type); entry && entry->info.version == version) {
            for (SuperLookup& lookup : entry->super_lookups) {
                if (!lookup.start) {
                    lookup = {start.ptr(), name.ptr(), found};
                    break;
                }
            }
        }
    }
    return found == native;
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

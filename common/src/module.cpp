// Module loading and class creation.
#include <string>
#include <string_view>

#include "internal.hpp"

namespace kestrum {

Ref Globals::operator[](Obj name) const {
    if (PyObject* value = PyDict_GetItemWithError(dict_, name.ptr())) return Ref::borrow(value);
    if (PyErr_Occurred()) raise();
    if (PyObject* value = PyDict_GetItemWithError(builtins_, name.ptr())) return Ref::borrow(value);
    if (PyErr_Occurred()) raise();
    raise_format(PyExc_NameError, "name '%U' is not defined", name.ptr());
}

void Globals::bind(PyObject* dict, PyObject* builtins) noexcept {
    dict_ = Py_NewRef(dict);
    builtins_ = Py_NewRef(builtins);
}

Module::Module(PyObject* module, Globals& globals)
    : module_(module), name_(Ref::own(PyModule_GetNameObject(module))), globals_(globals) {}

void Module::set(const char* name, Obj value) const { require(PyModule_AddObjectRef(module_, name, value.ptr())); }

void Module::import(const char* module) const {
    Ref top = Ref::own(PyImport_ImportModuleLevel(module, globals_.dict().ptr(), nullptr, nullptr, 0));
    std::string_view dotted(module);
    std::string first(dotted.substr(0, dotted.find('.')));
    set(first.c_str(), top);
}

void Module::import_as(const char* module, const char* alias) const { set(alias, py::import(module)); }

void Module::from_import(const char* module, std::initializer_list<const char*> names) const {
    Ref fromlist = Ref::own(PyTuple_New(static_cast<Py_ssize_t>(names.size())));
    Py_ssize_t i = 0;
    for (const char* name : names) PyTuple_SET_ITEM(fromlist.ptr(), i++, Py_NewRef(intern(name)));
    Ref source = Ref::own(PyImport_ImportModuleLevel(module, globals_.dict().ptr(), nullptr, fromlist.ptr(), 0));
    for (const char* name : names) set(name, py::import_from(source, intern(name)));
}

namespace {

// Resolve bases as a class statement does: a base that is not a class may provide
// __mro_entries__(original_bases), whose tuple replaces it.
Ref resolve_bases(Obj original) {
    const Py_ssize_t n = PyTuple_GET_SIZE(original.ptr());
    Ref resolved;  // created on the first base that changes
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* base = PyTuple_GET_ITEM(original.ptr(), i);
        if (PyType_Check(base)) {
            if (resolved) py::append(resolved, base);
            continue;
        }
        PyObject* hook = nullptr;
        require(_PyObject_LookupAttr(base, Interned<"__mro_entries__">::get(), &hook));
        if (!hook) {
            if (resolved) py::append(resolved, base);
            continue;
        }
        Ref entries = Ref::steal(hook)(original);
        if (!PyTuple_Check(entries.ptr())) raise(PyExc_TypeError, "__mro_entries__ must return a tuple");
        if (!resolved) resolved = Ref::own(PyList_GetSlice(Ref::own(PySequence_List(original.ptr())).ptr(), 0, i));
        const Py_ssize_t end = PyList_GET_SIZE(resolved.ptr());
        require(PyList_SetSlice(resolved.ptr(), end, end, entries.ptr()));
    }
    if (!resolved) return Ref::borrow(original);
    return Ref::own(PyList_AsTuple(resolved.ptr()));
}

// The most derived metaclass among those of the bases.
Obj derive_metaclass(Obj bases) {
    PyTypeObject* winner = &PyType_Type;
    const Py_ssize_t n = PyTuple_GET_SIZE(bases.ptr());
    if (n > 0) winner = Py_TYPE(PyTuple_GET_ITEM(bases.ptr(), 0));
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyTypeObject* candidate = Py_TYPE(PyTuple_GET_ITEM(bases.ptr(), i));
        if (PyType_IsSubtype(winner, candidate)) continue;
        if (PyType_IsSubtype(candidate, winner)) {
            winner = candidate;
            continue;
        }
        raise(PyExc_TypeError,
              "metaclass conflict: the metaclass of a derived class must be a (non-strict) subclass of the "
              "metaclasses of all its bases");
    }
    return Obj(winner);
}

}  // namespace

Ref ClassBuilder::build() {
    Ref original = Ref::own(PyTuple_New(static_cast<Py_ssize_t>(bases_.size())));
    for (std::size_t i = 0; i < bases_.size(); ++i)
        PyTuple_SET_ITEM(original.ptr(), static_cast<Py_ssize_t>(i), bases_[i].ref().release());
    Ref bases = resolve_bases(original);
    // Held: __prepare__ and the namespace's __setitem__ run code that may change a base's class.
    const Ref meta = derive_metaclass(bases).ref();
    Ref name = py::str(name_);

    Ref ns;
    PyObject* prepare = nullptr;
    require(_PyObject_LookupAttr(meta.ptr(), Interned<"__prepare__">::get(), &prepare));
    if (prepare) {
        ns = Ref::steal(prepare)(name, bases);
    } else {
        ns = py::dict();
    }
    ns.setitem("__module__"_n, module_.name());
    ns.setitem("__qualname__"_n, name);
    if (doc_) ns.setitem("__doc__"_n, py::str(doc_));
    for (auto& [member, value] : members_) ns.setitem(Ref::own(PyUnicode_InternFromString(member)), value);
    if (!bases.is(original)) ns.setitem("__orig_bases__"_n, original);

    Ref cls = meta(name, bases, ns);
    for (const Ref& f : functions_) set_defining_class(f, cls);
    return cls;
}

int add_dict_watcher(PyDict_WatchCallback callback) {
    const int id = PyDict_AddWatcher(callback);
    if (id < 0) PyErr_Clear();  // all taken: the caller works without one
    return id;
}

namespace {

// The one interpreter this module may live in (-1: none yet). An interpreter claims
// it while it loads the module and keeps it only when the load succeeds.
std::atomic<int64_t> owner_interpreter{-1};

// Gives a claim of the module up unless the load is marked as done.
class Claim {
public:
    explicit Claim(bool claimed) noexcept : claimed_(claimed) {}
    Claim(const Claim&) = delete;
    Claim& operator=(const Claim&) = delete;
    ~Claim() {
        if (claimed_) owner_interpreter.store(-1);
    }
    void keep() noexcept { claimed_ = false; }

private:
    bool claimed_;
};

int module_exec(PyObject* module) {
    auto* def = reinterpret_cast<ModuleDef*>(PyModule_GetDef(module));
    return guard_status([&] {
        const int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
        if (current < 0) raise();
        int64_t expected = -1;
        const bool claimed = owner_interpreter.compare_exchange_strong(expected, current);
        if (!claimed && expected != current)
            raise(PyExc_ImportError,
                  "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        Claim claim(claimed);
        if (def->loaded.load())
            raise_format(PyExc_RuntimeError,
                         "Module '%s' has already been imported. Re-initialisation is not supported.",
                         def->short_name);
        Ref builtins = py::import("builtins");
        def->globals->bind(PyModule_GetDict(module), PyModule_GetDict(builtins.ptr()));
        Module m(module, *def->globals);
        def->body(m);
        def->loaded.store(true);
        claim.keep();
    });
}

}  // namespace

ModuleDef::ModuleDef(const char* short_name_, const char* full_name, const char* doc, Globals* globals_,
                     void (*body_)(Module&)) noexcept
    : short_name(short_name_), globals(globals_), body(body_) {
    slots[0] = {Py_mod_exec, reinterpret_cast<void*>(&module_exec)};
    // The modules refuse a second interpreter themselves, with their own message.
    slots[1] = {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED};
    slots[2] = {0, nullptr};
    def = PyModuleDef{PyModuleDef_HEAD_INIT, full_name, doc, 0, nullptr, slots, nullptr, nullptr, nullptr};
}

}  // namespace kestrum

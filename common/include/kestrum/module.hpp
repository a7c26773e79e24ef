// Module loading and class creation.
//
//   static kestrum::Globals globals;
//
//   KESTRUM_MODULE(lumiset, "kestrum_models.utils.lumiset", globals) {
//       m.set("Lumiset", m.cls("Lumiset", {&PyUnicode_Type}).build());
//   }
//
// A module uses multi-phase initialisation. Its body runs once per process: a second
// module object (after the first was removed from sys.modules) raises RuntimeError,
// and loading into a second interpreter raises ImportError. The body binds the
// module's globals; methods read them at call time through `globals[...]` (the
// module's dict, then builtins), never capturing a value at load.
//
// `m.cls(...)` builds a class exactly as a class statement does: bases resolved
// through __mro_entries__ (with __orig_bases__ recorded when they change), the
// metaclass derived from the bases, its __prepare__ namespace filled with
// __module__, __qualname__, the docstring and the members in order, then the
// metaclass called. The result is an ordinary class that Python code can subclass.
#pragma once

#include <atomic>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "kestrum/function.hpp"

namespace kestrum {

// The globals of one native module: its dict, then builtins.
class Globals {
public:
    // globals()[name], else builtins, else NameError.
    Ref operator[](Obj name) const;
    Obj dict() const noexcept { return Obj(dict_); }
    void bind(PyObject* dict, PyObject* builtins) noexcept;

private:
    // Deliberately never released: the dict lives as long as the process, like the
    // module's functions that read it.
    PyObject* dict_ = nullptr;
    PyObject* builtins_ = nullptr;
};

class ClassBuilder;

class Module {
public:
    Module(PyObject* module, Globals& globals);

    Obj object() const noexcept { return Obj(module_); }
    Obj name() const noexcept { return name_; }  // the module's __name__
    Globals& globals() const noexcept { return globals_; }

    void set(const char* name, Obj value) const;
    // import module            (binds the top-level package name)
    void import(const char* module) const;
    // import module as alias   (binds the module itself)
    void import_as(const char* module, const char* alias) const;
    // from module import names...
    void from_import(const char* module, std::initializer_list<const char*> names) const;

    // def name(...): a module-level function.
    template <auto F>
    void def(const Def& d) const {
        Ref qualname = py::str(d.name);
        set(d.name, function<F>(d, name(), qualname));
    }

    ClassBuilder cls(const char* name, std::initializer_list<Obj> bases, const char* doc = nullptr) const;

private:
    PyObject* module_;
    Ref name_;
    Globals& globals_;
};

class ClassBuilder {
public:
    ClassBuilder(const Module& module, const char* name, std::initializer_list<Obj> bases, const char* doc)
        : module_(module), name_(name), doc_(doc) {
        for (Obj base : bases) bases_.push_back(base.ref());
    }

    template <auto F>
    ClassBuilder& def(const Def& d) {
        return add(d.name, native<F>(d));
    }
    // A method wrapped with property / classmethod / staticmethod.
    template <auto F>
    ClassBuilder& property(const Def& d) {
        return add(d.name, wrap(&PyProperty_Type, native<F>(d)));
    }
    template <auto F>
    ClassBuilder& classmethod(const Def& d) {
        return add(d.name, wrap(&PyClassMethod_Type, native<F>(d)));
    }
    template <auto F>
    ClassBuilder& staticmethod(const Def& d) {
        return add(d.name, wrap(&PyStaticMethod_Type, native<F>(d)));
    }
    // A method passed through a decorator: the class holds decorator(function).
    template <auto F>
    ClassBuilder& decorated(Obj decorator, const Def& d) {
        Ref f = native<F>(d);
        return add(d.name, decorator(f));
    }
    ClassBuilder& attr(const char* name, Ref value) { return add(name, std::move(value)); }

    // Create the class and record it as the defining class of its methods.
    Ref build();

private:
    template <auto F>
    Ref native(const Def& d) {
        Ref qualname = Ref::own(PyUnicode_FromFormat("%s.%s", name_, d.name));
        Ref f = function<F>(d, module_.name(), qualname);
        functions_.push_back(f.ref());
        return f;
    }
    static Ref wrap(PyTypeObject* wrapper, Obj f) { return Obj(wrapper)(f); }
    ClassBuilder& add(const char* name, Ref value) {
        members_.emplace_back(name, std::move(value));
        return *this;
    }

    const Module& module_;
    const char* name_;
    std::vector<Ref> bases_;
    const char* doc_;
    std::vector<std::pair<const char*, Ref>> members_;
    std::vector<Ref> functions_;
};

inline ClassBuilder Module::cls(const char* name, std::initializer_list<Obj> bases, const char* doc) const {
    return ClassBuilder(*this, name, bases, doc);
}

// A dict watcher for a module's caches, or -1 when none is free. The interpreter has
// only eight, shared by every extension in the process: a module that caches under a
// watcher loads and works without one (it reads what it would have cached every time);
// a missing watcher never fails an import.
int add_dict_watcher(PyDict_WatchCallback callback);

// Everything KESTRUM_MODULE needs to define one extension module.
struct ModuleDef {
    PyModuleDef def;
    PyModuleDef_Slot slots[3];
    const char* short_name;
    Globals* globals;
    void (*body)(Module&);
    std::atomic<bool> loaded{false};

    ModuleDef(const char* short_name, const char* full_name, const char* doc, Globals* globals,
              void (*body)(Module&)) noexcept;
    PyObject* init() noexcept { return PyModuleDef_Init(&def); }
};

}  // namespace kestrum

// Defines PyInit_<short_name> and opens the module body; `m` is the Module.
#define KESTRUM_MODULE(short_name, full_name, doc, globals_object)                                \
    static void kestrum_module_body_##short_name(::kestrum::Module& m);                           \
    static ::kestrum::ModuleDef kestrum_module_def_##short_name{#short_name, full_name, doc,       \
                                                               &(globals_object),                  \
                                                               &kestrum_module_body_##short_name}; \
    PyMODINIT_FUNC PyInit_##short_name(void) {                                                    \
        return kestrum_module_def_##short_name.init();                                            \
    }                                                                                              \
    static void kestrum_module_body_##short_name([[maybe_unused]] ::kestrum::Module& m)

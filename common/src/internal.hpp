// Object layouts shared by the runtime's sources (not part of the module-facing API).
#pragma once

#include <memory>
#include <vector>

#include "kestrum/kestrum.hpp"

namespace kestrum {

enum class ArgCheck : unsigned char { Unchecked, Str, StrOrNone, List, ListOrNone, Bool };
enum class ResultCheck : unsigned char { Unchecked, Str, List, Bytes, Int };

struct ParamInfo {
    Ref name;  // interned
    Ref annotation;
    Ref default_value;
    ParamKind kind;
    ArgCheck check;
};

struct FunctionData {
    std::vector<ParamInfo> params;
    Py_ssize_t n_positional = 0;  // positional-or-keyword parameters, which come first
    Py_ssize_t n_required = 0;    // leading positional parameters without a default
    int var_positional = -1;
    int var_keyword = -1;
    bool has_kwonly = false;
    bool simple = true;  // positional parameters only, no defaults: the binder's fast path
    std::vector<std::pair<int, ArgCheck>> checks;  // the parameters that have a check, in order
    ResultCheck result = ResultCheck::Unchecked;
    Trampoline plain = nullptr;
    CoroutineTrampoline coroutine = nullptr;

    Ref name;
    Ref qualname;
    Ref module;
    Ref doc;
    Ref annotations;  // dict
    Ref return_annotation;
    Ref defining_class;
    Ref signature;  // inspect.Signature, built on first use
};

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* dict;
    PyObject* weakrefs;
    FunctionData* data;
};

extern PyTypeObject FunctionType;

// Apply the result rule of the function's return annotation.
Ref check_result(FunctionObject* f, Ref result);

// A new native coroutine running `f`'s body over the bound arguments.
Ref new_coroutine(FunctionObject* f, const Bound& args);

// Ready a static type once (thread-safe through the GIL).
void ready_type(PyTypeObject* type);

}  // namespace kestrum

// Object layouts shared by the runtime's sources (not part of the module-facing API).
#pragma once

#include <cstdint>
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
    Ref code;       // the empty code object of the frames its coroutines show, made on first use
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

// Count one level of native recursion at an entry point, as the interpreter counts a
// call it makes from C: false, with RecursionError set (the interpreter's message, with
// `where` appended), when the recursion limit is reached or when less than a safe margin
// of the thread's stack is left (a thread may run on a stack much smaller than the limit
// assumes). Every successful enter is paired with leave_recursion(); a forced unwind that
// ends the thread skips the leave, and with the thread goes its count.
//
// The first few levels of native calls on a thread are only counted here, where counting
// costs no more than a load and a store: at most those few levels go uncounted by the
// interpreter, and every level beyond them goes through Py_EnterRecursiveCall (whose
// thread-state lookup costs as much as the rest of a small call).
constexpr int uncounted_levels = 8;
bool enter_recursion_slow(const char* where);
void leave_counted_recursion() noexcept;

// This thread's native call depth, and the lowest frame address of its stack that needs
// no closer look (0: not determined yet).
extern constinit thread_local int native_depth [[gnu::tls_model("initial-exec")]];
extern constinit thread_local std::uintptr_t stack_floor [[gnu::tls_model("initial-exec")]];

inline bool enter_recursion(const char* where) {
    // The frame address, not a local's: a sanitizer may keep locals off the stack.
    if (native_depth < uncounted_levels &&
        reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) >= stack_floor && stack_floor) [[likely]] {
        ++native_depth;
        return true;
    }
    return enter_recursion_slow(where);
}
inline void leave_recursion() noexcept {
    if (--native_depth >= uncounted_levels) leave_counted_recursion();
}

}  // namespace kestrum

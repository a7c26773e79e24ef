// Native coroutines: the body of every coroutine method is a C++20 coroutine
// returning `Task`, run by a Python-visible coroutine object.
//
//   Task aexecute(Obj self) {
//       Ref rows = co_await self.call_method("_aexecute_query"_n);   // await self._aexecute_query()
//       ...
//       co_return result;
//   }
//
// `co_await` on a Python object behaves as `await` does: it gets the object's
// iterator (`__await__`), and every value that iterator yields is yielded out of
// the coroutine object unchanged to whoever drives it (an event loop); `send`,
// `throw` and `close` on the coroutine object are delegated to the iterator the
// body is suspended on, as `yield from` does, so Task cancellation reaches the
// awaited future. When the iterator finishes, its return value (or exception)
// resumes the body. The body yields nothing itself.
//
// The coroutine object supports `await`, `send`/`throw`/`close`, am_send (so the
// interpreter and event loops drive it without StopIteration round trips), and is
// registered as a `collections.abc.Coroutine`. Its return value travels in an
// explicitly created StopIteration where the iterator protocol needs one.
//
// What Python coroutines guarantee, the coroutine object guarantees too
// ----------------------------------------------------------------------
// Code may drive a native coroutine in any way it can drive a Python one, so every rule
// of the Python coroutine protocol holds here, not only those an event loop relies on:
//   - A send, throw or close counts against the recursion limit (see function.hpp): a
//     chain of native coroutines awaiting each other recurses in C on every send. One
//     that cannot be started for it has raised RecursionError and is done.
//   - `await` of a coroutine that is suspended, and so has an awaiter already, raises
//     RuntimeError("coroutine is being awaited already"), for a Python coroutine awaited
//     by a body as well: a second awaiter would take the first one's values and result.
//   - A coroutine that finishes (returns, raises, is closed) releases its frame and its
//     arguments at once: a finished task keeps its coroutine for as long as it lives.
//   - It stays tracked by the garbage collector while its finaliser runs, so one that the
//     finaliser resurrects is still collected with the cycles through it.
//   - inspect reads its state: cr_running, cr_suspended, and cr_frame, which is None
//     once it has finished (a frame standing for the native body until then).
//
// What a suspended body holds
// ---------------------------
// While the body is suspended, its frame lives on the heap, owned by the coroutine
// object, and the garbage collector must see every object the frame holds, or a
// cycle through the coroutine (a task, its future, the awaited object) is never
// collected. So a body holds a Python object across a `co_await` only in
//   - its arguments (the coroutine object owns them),
//   - a `Local`: a reference the running frame registers, visited by the coroutine's
//     traverse and released when the frame is cleared,
//   - the awaited object itself: `co_await` takes an `Obj` (borrowed from one of the
//     above), a `Local`, or a `Ref` by value, which it owns and releases once it has
//     the object's iterator, as `await` does. Awaiting a named `Ref` does not compile.
// A plain `Ref` (or a struct holding one) must not live across a `co_await`, and
// neither may a temporary: the temporaries of the full-expression that contains the
// `co_await` live until it ends, so compute the awaitable in a statement of its own.
//
//   Task aexecute_query(Obj self) {
//       Ref rows = query_of(self);            // the executor is released inside
//       co_return co_await std::move(rows);   // owned by the await
//   }
//   Task aexecute(Obj self) {
//       Local instances = py::list();         // held across the awaits below
//       ...
//   }
#pragma once

#include <coroutine>
#include <cstddef>
#include <new>
#include <utility>

#include "kestrum/object.hpp"

namespace kestrum {

class Local;

class Task {
public:
    struct promise_type;
    using Handle = std::coroutine_handle<promise_type>;

    struct promise_type {
        Ref result;                       // the value of co_return
        PyObject* error = nullptr;        // the exception that ended the body (owned)
        Ref awaiting;                     // the iterator the body is suspended on
        Ref yielded;                      // the value that iterator yielded last
        Ref resume_value;                 // what the pending co_await evaluates to ...
        PyObject* resume_error = nullptr;  // ... or the exception it raises (owned)
        Local* locals = nullptr;          // the Locals registered with the frame, newest first

        Task get_return_object() noexcept { return Task(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref&& value) noexcept { result = std::move(value); }
        void return_value(Obj value) noexcept { result = Ref::borrow(value); }
        void unhandled_exception();
        ~promise_type() {
            release_reference(error);
            release_reference(resume_error);
        }

        static void* operator new(std::size_t size) {
            void* p = PyMem_Malloc(size);
            if (!p) throw std::bad_alloc();
            return p;
        }
        static void operator delete(void* p) noexcept { PyMem_Free(p); }
    };

    explicit Task(Handle h) noexcept : h_(h) {}
    Task(Task&& other) noexcept : h_(std::exchange(other.h_, {})) {}
    Task& operator=(Task&&) = delete;
    ~Task() {  // the frame is handed to its coroutine object right after it is made
        if (h_) h_.destroy();
    }
    Handle release() noexcept { return std::exchange(h_, {}); }

private:
    Handle h_;
};

// A reference held by a coroutine body across a co_await (see above). Constructed
// while a body runs, it registers with that body's frame; anywhere else it is a
// plain owned reference. It is not meant to be stored anywhere but in a body (or in
// a struct that a body holds).
class Local : public ObjectApi<Local> {
public:
    Local() noexcept { enlist(); }
    Local(Ref&& value) noexcept : ref_(std::move(value)) { enlist(); }  // implicit, as a Ref is made
    Local(Local&& other) noexcept : ref_(std::move(other.ref_)) { enlist(); }
    Local(const Local&) = delete;
    Local& operator=(const Local&) = delete;
    Local& operator=(Ref&& value) {
        ref_ = std::move(value);
        return *this;
    }
    ~Local() noexcept(false) { delist(); }

    PyObject* ptr() const noexcept { return ref_.ptr(); }
    explicit operator bool() const noexcept { return static_cast<bool>(ref_); }
    operator Obj() const noexcept { return ref_; }
    // Hand the reference over (the Local becomes empty).
    Ref take() noexcept { return std::move(ref_); }

private:
    friend int visit_locals(const Task::promise_type& frame, visitproc visit, void* arg);

    void enlist() noexcept;
    void delist() noexcept;

    Ref ref_;
    Task::promise_type* frame_ = nullptr;  // the frame it is registered with, if any
    Local* prev_ = nullptr;
    Local* next_ = nullptr;
};

// Visit every object the frame's Locals hold (for tp_traverse).
int visit_locals(const Task::promise_type& frame, visitproc visit, void* arg);

// `co_await obj`: awaits a Python awaitable from a Task body.
class Awaiter {
public:
    explicit Awaiter(Obj awaitable) noexcept : awaitable_(awaitable) {}
    explicit Awaiter(Ref&& awaitable) noexcept : owned_(std::move(awaitable)), awaitable_(owned_) {}
    bool await_ready() const noexcept { return false; }
    bool await_suspend(Task::Handle h);
    Ref await_resume();

private:
    Ref owned_;  // the awaitable, when the await owns it; released once its iterator is taken
    Obj awaitable_;
    Task::promise_type* promise_ = nullptr;
};

inline Awaiter operator co_await(Obj awaitable) noexcept { return Awaiter(awaitable); }
inline Awaiter operator co_await(const Local& awaitable) noexcept { return Awaiter(Obj(awaitable)); }
inline Awaiter operator co_await(Ref&& awaitable) noexcept { return Awaiter(std::move(awaitable)); }
// A named Ref alive across the suspension would hide its object from the garbage
// collector: await a Local, or hand the Ref over with std::move.
Awaiter operator co_await(const Ref& awaitable) = delete;

}  // namespace kestrum

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
#pragma once

#include <coroutine>
#include <cstddef>
#include <new>
#include <utility>

#include "kestrum/object.hpp"

namespace kestrum {

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

        Task get_return_object() noexcept { return Task(Handle::from_promise(*this)); }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_value(Ref&& value) noexcept { result = std::move(value); }
        void return_value(Obj value) noexcept { result = Ref::borrow(value); }
        void unhandled_exception() noexcept;
        ~promise_type() {
            Py_XDECREF(error);
            Py_XDECREF(resume_error);
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
    ~Task() {
        if (h_) h_.destroy();
    }
    Handle release() noexcept { return std::exchange(h_, {}); }

private:
    Handle h_;
};

// `co_await obj`: awaits a Python awaitable from a Task body.
class Awaiter {
public:
    explicit Awaiter(PyObject* awaitable) noexcept : awaitable_(awaitable) {}
    bool await_ready() const noexcept { return false; }
    bool await_suspend(Task::Handle h) noexcept;
    Ref await_resume();

private:
    PyObject* awaitable_;
    Task::promise_type* promise_ = nullptr;
};

inline Awaiter operator co_await(Obj awaitable) noexcept { return Awaiter(awaitable.ptr()); }
inline Awaiter operator co_await(const Ref& awaitable) noexcept { return Awaiter(awaitable.ptr()); }

}  // namespace kestrum

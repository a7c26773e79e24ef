// The native coroutine object that runs Task bodies.
#include "internal.hpp"

#include <frameobject.h>

namespace kestrum {

namespace {

enum class State : unsigned char { Created, Suspended, Running, Finished };

struct CoroutineObject {
    PyObject_HEAD
    PyObject* function;  // the FunctionObject (owned)
    PyObject* weakrefs;
    Bound args;          // the bound arguments the body reads (owning)
    Task::Handle frame;  // the body's frame; empty once finished
    State state;
};

CoroutineObject* as_coroutine(PyObject* o) { return reinterpret_cast<CoroutineObject*>(o); }
FunctionObject* function_of(CoroutineObject* c) { return reinterpret_cast<FunctionObject*>(c->function); }

// The iterator behind `await o`, with the interpreter's errors for objects that
// cannot be awaited.
PyObject* awaitable_iter(PyObject* o) {
    if (PyCoro_CheckExact(o)) {
        // A coroutine suspended in an await has an awaiter already, which would lose the
        // values and the result that a second one took.
        PyObject* awaiting = PyObject_GetAttr(o, Interned<"cr_await">::get());
        if (!awaiting) return nullptr;
        const bool awaited = awaiting != Py_None;
        Py_DECREF(awaiting);
        if (awaited) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
            return nullptr;
        }
        return Py_NewRef(o);
    }
    if (PyGen_CheckExact(o)) {
        // A generator-based coroutine (types.coroutine) is its own iterator.
        PyCodeObject* code = PyGen_GetCode(reinterpret_cast<PyGenObject*>(o));
        const bool iterable_coroutine = code->co_flags & CO_ITERABLE_COROUTINE;
        Py_DECREF(code);
        if (iterable_coroutine) return Py_NewRef(o);
    }
    PyTypeObject* type = Py_TYPE(o);
    unaryfunc getter = type->tp_as_async ? type->tp_as_async->am_await : nullptr;
    if (!getter) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object can't be used in 'await' expression", type->tp_name);
        return nullptr;
    }
    PyObject* it = getter(o);
    if (!it) return nullptr;
    if (PyCoro_CheckExact(it)) {
        Py_DECREF(it);
        PyErr_SetString(PyExc_TypeError, "__await__() returned a coroutine");
        return nullptr;
    }
    if (!PyIter_Check(it)) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%.100s'", Py_TYPE(it)->tp_name);
        Py_DECREF(it);
        return nullptr;
    }
    return it;
}

// The frame whose body this thread is running (bodies nest when one awaits another
// synchronously); Locals constructed meanwhile register with it.
thread_local Task::promise_type* running_frame = nullptr;

class RunningFrame {
public:
    explicit RunningFrame(Task::promise_type& frame) noexcept : outer_(std::exchange(running_frame, &frame)) {}
    RunningFrame(const RunningFrame&) = delete;
    RunningFrame& operator=(const RunningFrame&) = delete;
    ~RunningFrame() { running_frame = outer_; }

private:
    Task::promise_type* outer_;
};

// A finished coroutine lets go of its frame and its arguments at once, as a Python
// coroutine clears its frame: a finished task keeps its coroutine, and with it would
// keep everything the call was given.
void finish(CoroutineObject* c) {
    c->state = State::Finished;
    if (Task::Handle frame = std::exchange(c->frame, {})) frame.destroy();
    c->args.clear();
}

// Resume the body with what the promise holds for its pending co_await, and report
// how it stopped: yielded a value (NEXT), returned (RETURN) or raised (ERROR).
PySendResult resume(CoroutineObject* c, PyObject** result) {
    Task::promise_type& p = c->frame.promise();
    {
        const RunningFrame running(p);
        c->frame.resume();
    }
    if (have_deferred_releases) complete_deferred_releases();
    if (!c->frame.done()) {
        c->state = State::Suspended;
        *result = p.yielded.release();
        return PYGEN_NEXT;
    }
    PyObject* error = std::exchange(p.error, nullptr);
    Ref value = std::move(p.result);
    finish(c);
    if (error) {
        // A StopIteration leaving a coroutine would be taken for its return value.
        if (PyErr_GivenExceptionMatches(error, PyExc_StopIteration)) {
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            PyObject* replacement = PyErr_GetRaisedException();
            PyException_SetCause(replacement, Py_NewRef(error));
            PyException_SetContext(replacement, error);
            error = replacement;
        }
        PyErr_SetRaisedException(error);
        *result = nullptr;
        return PYGEN_ERROR;
    }
    *result = guard([&] { return check_result(function_of(c), value ? std::move(value) : Ref::none()); });
    return *result ? PYGEN_RETURN : PYGEN_ERROR;
}

bool start(CoroutineObject* c, PyObject* arg) {
    switch (c->state) {
        case State::Running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            return false;
        case State::Finished:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            return false;
        case State::Created:
            if (arg != Py_None) {
                PyErr_SetString(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
                return false;
            }
            break;
        case State::Suspended:
            break;
    }
    c->state = State::Running;
    return true;
}

PySendResult send_into(CoroutineObject* c, PyObject* arg, PyObject** result) {
    if (!start(c, arg)) {
        *result = nullptr;
        return PYGEN_ERROR;
    }
    Task::promise_type& p = c->frame.promise();
    if (p.awaiting) {
        PyObject* value = nullptr;
        const PySendResult r = PyIter_Send(p.awaiting.ptr(), arg, &value);
        if (r == PYGEN_NEXT) {
            c->state = State::Suspended;
            *result = value;
            return PYGEN_NEXT;
        }
        p.awaiting.reset();
        if (r == PYGEN_RETURN)
            p.resume_value = Ref::steal(value);
        else
            p.resume_error = PyErr_GetRaisedException();
    }
    return resume(c, result);
}

// Sends recurse through every coroutine of an await chain, so each counts against the
// recursion limit. A coroutine that cannot be started for it has raised RecursionError
// at its start, as a Python coroutine does, and is done.
PySendResult coroutine_send(PyObject* self, PyObject* arg, PyObject** result) {
    CoroutineObject* c = as_coroutine(self);
    if (!enter_recursion("")) {
        if (c->state == State::Created) finish(c);
        *result = nullptr;
        return PYGEN_ERROR;
    }
    const PySendResult r = send_into(c, arg, result);
    leave_recursion();
    return r;
}

// The Python-level result of a send: the yielded value, or StopIteration(value)
// created explicitly so that a tuple or exception value travels intact.
PyObject* send_result(PySendResult r, PyObject* value) {
    if (r == PYGEN_NEXT) return value;
    if (r == PYGEN_RETURN) {
        if (value == Py_None) {
            Py_DECREF(value);
            PyErr_SetNone(PyExc_StopIteration);
            return nullptr;
        }
        PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value);
        Py_DECREF(value);
        if (stop) {
            PyErr_SetObject(PyExc_StopIteration, stop);
            Py_DECREF(stop);
        }
    }
    return nullptr;
}

PyObject* coroutine_send_method(PyObject* self, PyObject* arg) {
    PyObject* value = nullptr;
    const PySendResult r = coroutine_send(self, arg, &value);
    return send_result(r, value);
}

PyObject* coroutine_iternext(PyObject* self) { return coroutine_send_method(self, Py_None); }

// throw(exc) for a suspended coroutine: delegated to the awaited iterator as
// `yield from` does, else raised at the suspended co_await.
PySendResult throw_into(CoroutineObject* c, PyObject* exc, PyObject** result) {
    Task::promise_type& p = c->frame.promise();
    c->state = State::Running;
    if (p.awaiting) {
        Ref inner = std::move(p.awaiting);
        if (PyErr_GivenExceptionMatches(exc, PyExc_GeneratorExit)) {
            // Close the inner iterator, then raise GeneratorExit (or what closing raised) here.
            PyObject* close = nullptr;
            if (_PyObject_LookupAttr(inner.ptr(), Interned<"close">::get(), &close) < 0) {
                p.resume_error = PyErr_GetRaisedException();
            } else if (close) {
                PyObject* closed = PyObject_CallNoArgs(close);
                Py_DECREF(close);
                if (closed)
                    Py_DECREF(closed);
                else
                    p.resume_error = PyErr_GetRaisedException();
            }
            if (!p.resume_error) p.resume_error = Py_NewRef(exc);
            return resume(c, result);
        }
        PyObject* thrower = nullptr;
        if (_PyObject_LookupAttr(inner.ptr(), Interned<"throw">::get(), &thrower) < 0) {
            p.resume_error = PyErr_GetRaisedException();
            return resume(c, result);
        }
        if (thrower) {
            PyObject* value = PyObject_CallOneArg(thrower, exc);
            Py_DECREF(thrower);
            if (value) {
                p.awaiting = std::move(inner);
                c->state = State::Suspended;
                *result = value;
                return PYGEN_NEXT;
            }
            if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
                PyObject* stop = PyErr_GetRaisedException();
                PyObject* returned = PyObject_GetAttrString(stop, "value");
                Py_DECREF(stop);
                if (returned)
                    p.resume_value = Ref::steal(returned);
                else
                    p.resume_error = PyErr_GetRaisedException();
            } else {
                p.resume_error = PyErr_GetRaisedException();
            }
            return resume(c, result);
        }
    }
    p.resume_error = Py_NewRef(exc);
    return resume(c, result);
}

// Normalise the arguments of throw(): throw(exc), throw(type[, value[, traceback]]).
PyObject* exception_from_args(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_Format(PyExc_TypeError, "throw expected at least 1 argument, got %zd", nargs);
        return nullptr;
    }
    PyObject* type = args[0];
    PyObject* value = nargs > 1 ? args[1] : Py_None;
    PyObject* tb = nargs > 2 ? args[2] : Py_None;
    if (tb != Py_None && !PyTraceBack_Check(tb)) {
        PyErr_SetString(PyExc_TypeError, "throw() third argument must be a traceback object");
        return nullptr;
    }
    PyObject* exc = nullptr;
    if (PyExceptionClass_Check(type)) {
        if (PyObject_TypeCheck(value, reinterpret_cast<PyTypeObject*>(type))) {
            exc = Py_NewRef(value);
        } else if (value == Py_None) {
            exc = PyObject_CallNoArgs(type);
        } else if (PyTuple_Check(value)) {
            exc = PyObject_Call(type, value, nullptr);
        } else {
            exc = PyObject_CallOneArg(type, value);
        }
        if (exc && !PyExceptionInstance_Check(exc)) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %s",
                         type, Py_TYPE(exc)->tp_name);
            Py_CLEAR(exc);
        }
    } else if (PyExceptionInstance_Check(type)) {
        if (value != Py_None) {
            PyErr_SetString(PyExc_TypeError, "instance exception may not have a separate value");
            return nullptr;
        }
        exc = Py_NewRef(type);
    } else {
        PyErr_Format(PyExc_TypeError, "exceptions must be classes or instances deriving from BaseException, not %s",
                     Py_TYPE(type)->tp_name);
        return nullptr;
    }
    if (exc && tb != Py_None && PyException_SetTraceback(exc, tb) < 0) Py_CLEAR(exc);
    return exc;
}

PySendResult throw_checked(CoroutineObject* c, PyObject* exc, PyObject** result) {
    switch (c->state) {
        case State::Running:
            PyErr_SetString(PyExc_ValueError, "coroutine already executing");
            *result = nullptr;
            return PYGEN_ERROR;
        case State::Finished:
            PyErr_SetString(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
            *result = nullptr;
            return PYGEN_ERROR;
        case State::Created:
            // Nothing runs: the exception comes straight back and the coroutine is done.
            finish(c);
            PyErr_SetRaisedException(Py_NewRef(exc));
            *result = nullptr;
            return PYGEN_ERROR;
        case State::Suspended:
            break;
    }
    return throw_into(c, exc, result);
}

// throw() and close() recurse through an await chain as sends do.
PySendResult coroutine_throw_exc(CoroutineObject* c, PyObject* exc, PyObject** result) {
    if (!enter_recursion("")) {
        *result = nullptr;
        return PYGEN_ERROR;
    }
    const PySendResult r = throw_checked(c, exc, result);
    leave_recursion();
    return r;
}

PyObject* coroutine_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs > 1 &&
        PyErr_WarnEx(PyExc_DeprecationWarning,
                     "the (type, exc, tb) signature of throw() is deprecated, use the single-arg signature instead.",
                     1) < 0)
        return nullptr;
    PyObject* exc = exception_from_args(args, nargs);
    if (!exc) return nullptr;
    PyObject* value = nullptr;
    const PySendResult r = coroutine_throw_exc(as_coroutine(self), exc, &value);
    Py_DECREF(exc);
    return send_result(r, value);
}

PyObject* close_coroutine(CoroutineObject* c) {
    if (c->state == State::Created || c->state == State::Finished) {
        finish(c);
        Py_RETURN_NONE;
    }
    PyObject* exit = PyObject_CallNoArgs(PyExc_GeneratorExit);
    if (!exit) return nullptr;
    PyObject* value = nullptr;
    const PySendResult r = coroutine_throw_exc(c, exit, &value);
    Py_DECREF(exit);
    if (r == PYGEN_NEXT) {
        Py_DECREF(value);
        PyErr_SetString(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
        return nullptr;
    }
    if (r == PYGEN_RETURN) {
        Py_DECREF(value);
        Py_RETURN_NONE;
    }
    if (PyErr_ExceptionMatches(PyExc_GeneratorExit) || PyErr_ExceptionMatches(PyExc_StopIteration)) {
        PyErr_Clear();
        Py_RETURN_NONE;
    }
    return nullptr;
}

PyObject* coroutine_close(PyObject* self, PyObject*) { return close_coroutine(as_coroutine(self)); }

// `await coro`: refused while another awaiter drives the suspended coroutine, as for
// a Python coroutine (the second would take values and the result meant for the first).
PyObject* coroutine_await(PyObject* self) noexcept {
    if (as_coroutine(self)->state == State::Suspended) {
        PyErr_SetString(PyExc_RuntimeError, "coroutine is being awaited already");
        return nullptr;
    }
    return Py_NewRef(self);
}

PyObject* get_name(PyObject* self, void*) noexcept {
    return Py_NewRef(function_of(as_coroutine(self))->data->name.ptr());
}
PyObject* get_qualname(PyObject* self, void*) noexcept {
    return Py_NewRef(function_of(as_coroutine(self))->data->qualname.ptr());
}
PyObject* get_await(PyObject* self, void*) noexcept {
    CoroutineObject* c = as_coroutine(self);
    if (c->frame && c->frame.promise().awaiting) return c->frame.promise().awaiting.ref().release();
    Py_RETURN_NONE;
}
PyObject* get_running(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_coroutine(self)->state == State::Running);
}
PyObject* get_suspended(PyObject* self, void*) noexcept {
    return PyBool_FromLong(as_coroutine(self)->state == State::Suspended);
}
PyObject* get_none(PyObject*, void*) noexcept { Py_RETURN_NONE; }

// inspect reads a coroutine's state from cr_running, cr_suspended and cr_frame, which is
// None once it has finished. A native body has no Python frame: until the coroutine
// finishes, cr_frame is a frame of an empty code object named after the function.
PyObject* get_frame(PyObject* self, void*) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state == State::Finished) Py_RETURN_NONE;
    return guard([&] {
        FunctionData& d = *function_of(c)->data;
        if (!d.code) {
            Ref filename = Ref::own(PyUnicode_FromFormat("<%S>", d.module.ptr()));
            const char* file = PyUnicode_AsUTF8(filename.ptr());
            const char* name = file ? PyUnicode_AsUTF8(d.name.ptr()) : nullptr;
            if (!name) raise();
            d.code = Ref::own(reinterpret_cast<PyObject*>(PyCode_NewEmpty(file, name, 0)));
        }
        Ref globals = py::dict();
        py::dict_set(globals, "__name__"_n, d.module);
        return Ref::own(reinterpret_cast<PyObject*>(PyFrame_New(
            PyThreadState_Get(), reinterpret_cast<PyCodeObject*>(d.code.ptr()), globals.ptr(), nullptr)));
    });
}

PyGetSetDef coroutine_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_qualname, nullptr, nullptr, nullptr},
    {"cr_await", get_await, nullptr, "the object being awaited, or None", nullptr},
    {"cr_running", get_running, nullptr, nullptr, nullptr},
    {"cr_suspended", get_suspended, nullptr, nullptr, nullptr},
    {"cr_frame", get_frame, nullptr, "a frame standing for the native body until it finishes, then None", nullptr},
    {"cr_code", get_none, nullptr, "native coroutines have no code object", nullptr},
    {"cr_origin", get_none, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef coroutine_methods[] = {
    {"send", coroutine_send_method, METH_O,
     "send(arg) -> send 'arg' into coroutine,\nreturn next iterated value or raise StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coroutine_throw)), METH_FASTCALL,
     "throw(value)\nthrow(type[,value[,traceback]])\n\nRaise exception in coroutine, return next iterated value "
     "or raise\nStopIteration."},
    {"close", coroutine_close, METH_NOARGS, "close() -> raise GeneratorExit inside coroutine."},
    {nullptr, nullptr, 0, nullptr},
};

PyAsyncMethods coroutine_async = {coroutine_await, nullptr, nullptr, coroutine_send};

PyObject* coroutine_repr(PyObject* self) noexcept {
    return PyUnicode_FromFormat("<%s object %U at %p>", Py_TYPE(self)->tp_name,
                                function_of(as_coroutine(self))->data->qualname.ptr(), self);
}

void coroutine_finalize(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state != State::Created && c->state != State::Suspended) return;
    PyObject* saved = PyErr_GetRaisedException();
    if (c->state == State::Created) {
        finish(c);
        if (PyErr_WarnFormat(PyExc_RuntimeWarning, 1, "coroutine '%S' was never awaited",
                             function_of(c)->data->qualname.ptr()) < 0)
            PyErr_WriteUnraisable(self);
    } else {
        PyObject* r = close_coroutine(c);
        if (r)
            Py_DECREF(r);
        else
            PyErr_WriteUnraisable(self);
    }
    PyErr_SetRaisedException(saved);
}

int coroutine_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    CoroutineObject* c = as_coroutine(self);
    Py_VISIT(c->function);
    for (int i = 0; i < c->args.count; ++i) Py_VISIT(c->args.slot[i]);
    if (c->frame) {
        const Task::promise_type& p = c->frame.promise();
        Py_VISIT(p.awaiting.ptr());
        Py_VISIT(p.yielded.ptr());
        // While the body runs, Locals of the functions it calls are registered too:
        // only a suspended frame holds exactly its own.
        if (c->state == State::Suspended) return visit_locals(p, visit, arg);
    }
    return 0;
}

int coroutine_clear(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    if (c->state != State::Running) finish(c);
    if (c->state == State::Finished) c->args.clear();
    return 0;
}

void coroutine_dealloc(PyObject* self) {
    CoroutineObject* c = as_coroutine(self);
    // Still tracked while the finaliser runs: a coroutine it resurrects stays visible to
    // the garbage collector, with every cycle through it.
    if (PyObject_CallFinalizerFromDealloc(self) < 0) return;  // resurrected
    PyObject_GC_UnTrack(self);
    if (c->weakrefs) PyObject_ClearWeakRefs(self);
    finish(c);
    c->args.~Bound();
    Py_CLEAR(c->function);
    PyObject_GC_Del(self);
}

PyTypeObject CoroutineType = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "kestrum_models.native_coroutine";
    t.tp_basicsize = sizeof(CoroutineObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
    t.tp_doc = "A coroutine implemented in native code.";
    t.tp_dealloc = coroutine_dealloc;
    t.tp_traverse = coroutine_traverse;
    t.tp_clear = coroutine_clear;
    t.tp_finalize = coroutine_finalize;
    t.tp_repr = coroutine_repr;
    t.tp_as_async = &coroutine_async;
    t.tp_iternext = coroutine_iternext;
    t.tp_methods = coroutine_methods;
    t.tp_getset = coroutine_getset;
    t.tp_weaklistoffset = offsetof(CoroutineObject, weakrefs);
    return t;
}();

void ready_coroutine_type() {
    if (CoroutineType.tp_flags & Py_TPFLAGS_READY) return;
    // Names used by throw() and close(), which cannot fail later.
    Interned<"close">::get();
    Interned<"throw">::get();
    Interned<"cr_await">::get();
    require(PyType_Ready(&CoroutineType));
    // asyncio.iscoroutine() and friends recognise registered coroutine types.
    Ref abc = py::import("_collections_abc");
    abc.attr("Coroutine"_n).call_method("register"_n, Obj(&CoroutineType));
}

}  // namespace

void Task::promise_type::unhandled_exception() {
    if (is_foreign_exception()) throw;  // the thread is being ended: let the unwind leave the body
    set_error_from_current_exception();
    Py_XDECREF(error);
    error = PyErr_GetRaisedException();
}

void Local::enlist() noexcept {
    frame_ = running_frame;
    if (!frame_) return;
    next_ = frame_->locals;
    if (next_) next_->prev_ = this;
    frame_->locals = this;
}

void Local::delist() noexcept {
    if (!frame_) return;
    if (prev_)
        prev_->next_ = next_;
    else
        frame_->locals = next_;
    if (next_) next_->prev_ = prev_;
    frame_ = nullptr;
}

int visit_locals(const Task::promise_type& frame, visitproc visit, void* arg) {
    for (const Local* local = frame.locals; local; local = local->next_) Py_VISIT(local->ptr());
    return 0;
}

bool Awaiter::await_suspend(Task::Handle h) {
    promise_ = &h.promise();
    Ref it = Ref::steal(awaitable_iter(awaitable_.ptr()));
    if (!it) promise_->resume_error = PyErr_GetRaisedException();
    // As `await` does, keep only the iterator of an awaitable the expression made.
    owned_.reset();
    if (!it) return false;
    PyObject* value = nullptr;
    const PySendResult r = PyIter_Send(it.ptr(), Py_None, &value);
    if (r == PYGEN_NEXT) {
        promise_->awaiting = std::move(it);
        promise_->yielded = Ref::steal(value);
        return true;
    }
    if (r == PYGEN_RETURN)
        promise_->resume_value = Ref::steal(value);
    else
        promise_->resume_error = PyErr_GetRaisedException();
    return false;
}

Ref Awaiter::await_resume() {
    if (PyObject* error = std::exchange(promise_->resume_error, nullptr)) {
        PyErr_SetRaisedException(error);
        raise();
    }
    return std::move(promise_->resume_value);
}

Ref new_coroutine(FunctionObject* f, const Bound& args) {
    ready_coroutine_type();
    CoroutineObject* c = PyObject_GC_New(CoroutineObject, &CoroutineType);
    if (!c) raise();
    c->function = Py_NewRef(reinterpret_cast<PyObject*>(f));
    c->weakrefs = nullptr;
    new (&c->args) Bound();
    c->args.own(args);
    c->frame = {};
    c->state = State::Finished;
    Ref coroutine = Ref::steal(reinterpret_cast<PyObject*>(c));  // deallocates properly if the body cannot start
    c->frame = f->data->coroutine(f, c->args).release();
    c->state = State::Created;
    PyObject_GC_Track(c);
    return coroutine;
}

}  // namespace kestrum

// The process-wide count of collector pauses (see kestrum/gc.hpp).
#include "kestrum/gc.hpp"

#include <pthread.h>
#include <unistd.h>

namespace kestrum {

namespace {

struct PauseState {
    long depth = 0;        // pauses in progress, in every thread and module
    bool restore = false;  // switch the collector on when the last one ends
    pid_t pid = 0;         // the process the count belongs to (see after_fork_in_child)
};

constexpr const char* state_key = "kestrum.gc_pause";

PauseState* state = nullptr;           // the shared state, once this module has looked it up
constinit thread_local long held [[gnu::tls_model("initial-exec")]] = 0;  // this thread's pauses through this module

// In a forked child only the thread that forked lives on: the pauses of the others
// will never end there. Each module linked with this runtime counts its own part of
// the forking thread's pauses back in; the first one to run clears the parent's count.
// Whoever ends the count switches the collector back on, as the last pause would have.
void after_fork_in_child() {
    if (!state) return;
    const pid_t pid = getpid();
    if (state->pid != pid) {
        state->pid = pid;
        state->depth = 0;
    }
    state->depth += held;
    if (state->depth == 0 && state->restore) {
        state->restore = false;
        PyGC_Enable();
    }
}

// Each extension module links its own copy of this runtime: the state they share lives
// in the interpreter's dict, as a capsule holding the state of the module that made it
// first (extension modules are never unloaded). Only one interpreter loads the modules.
PauseState* shared_state() noexcept {
    static PauseState own;
    if (state) return state;
    PyObject* saved = PyErr_GetRaisedException();
    PyObject* dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    PauseState* found = nullptr;
    if (dict) {
        // The dict's keys are text put there by extensions: the lookup runs no code.
        Ref capsule = Ref::borrow(PyDict_GetItemString(dict, state_key));
        if (capsule && PyCapsule_IsValid(capsule.ptr(), state_key)) {
            found = static_cast<PauseState*>(PyCapsule_GetPointer(capsule.ptr(), state_key));
        } else if (!capsule) {
            Ref made = Ref::steal(PyCapsule_New(&own, state_key, nullptr));
            if (made && PyDict_SetItemString(dict, state_key, made.ptr()) == 0) found = &own;
        }
    }
    // Without the shared state (no memory for it), this module counts on its own: pauses
    // then nest within the module, and the setting is still restored.
    state = found ? found : &own;
    if (!state->pid) state->pid = getpid();
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
    PyErr_Clear();
    PyErr_SetRaisedException(saved);
    return state;
}

}  // namespace

GcPause::GcPause() noexcept {
    PauseState* shared = shared_state();
    if (shared->depth++ == 0) shared->restore = PyGC_Disable() == 1;
    ++held;
}

GcPause::~GcPause() {
    if (!has_thread_state()) return;
    --held;
    PauseState* shared = shared_state();
    if (--shared->depth == 0 && shared->restore) {
        shared->restore = false;
        PyGC_Enable();
    }
}

}  // namespace kestrum

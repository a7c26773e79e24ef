// The process-wide count of collector pauses (see kestrum/gc.hpp).
#include "kestrum/gc.hpp"

namespace kestrum {

namespace {

struct PauseState {
    long depth = 0;       // pauses in progress, in every thread and module
    bool restore = false;  // switch the collector on when the last one ends
};

constexpr const char* state_key = "kestrum.gc_pause";

// Each extension module links its own copy of this runtime: the state they share lives
// in the interpreter's dict, as a capsule holding the state of the module that made it
// first (extension modules are never unloaded). Only one interpreter loads the modules.
PauseState* shared_state() noexcept {
    static PauseState* state = nullptr;
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
    PyErr_Clear();
    PyErr_SetRaisedException(saved);
    return state;
}

}  // namespace

GcPause::GcPause() noexcept {
    PauseState* state = shared_state();
    if (state->depth++ == 0) state->restore = PyGC_Disable() == 1;
}

GcPause::~GcPause() {
    if (!has_thread_state()) return;
    PauseState* state = shared_state();
    if (--state->depth == 0 && state->restore) {
        state->restore = false;
        PyGC_Enable();
    }
}

}  // namespace kestrum

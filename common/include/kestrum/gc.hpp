// Pausing the cyclic garbage collector while a result is materialised.
//
//   {
//       kestrum::GcPause pause;           // no collection starts in this block
//       for (...) py::append(instances, create(row));
//   }                                     // the collector's setting is back
//
// Why: turning a large result into objects allocates several tracked containers per row
// (records, the instances, their dicts and field sets), all of which survive the loop.
// Every 700 or so of them start a young collection, and every few of those promote them,
// so the oldest generation grows with the result and its full collections walk it again
// and again: the per-row cost grows with the size of the result, and collection takes
// about half of a large load. Nothing a loop like that allocates becomes garbage before
// it ends, so the loops that make records from rows and instances from records run with
// the collector paused instead; the objects they made are examined by the next collection
// after the pause, as any others are. A garbage cycle made during a load (by a validator,
// say) is therefore collected afterwards, not leaked. Keeping rows untracked instead would
// not do: the instances and their dicts are the model library's, tracked whatever we do.
//
// Rules:
// - A pause covers code that runs synchronously, a loop over rows. Never hold one across a
//   co_await: the event loop would run other tasks, for any length of time, without the
//   collector. (An explicit gc.collect() inside a pause collects as usual.)
// - Pauses nest, in one thread, across threads and across this runtime's extension
//   modules: one count for the whole process (kept in the interpreter's dict, shared by
//   every module linked with this runtime). The first pause switches the collector off;
//   the last one to end switches it back on if it was on when the first began, also when
//   the block is left by an exception. Meanwhile gc.isenabled() is false in every thread.
// - Code run inside a pause may switch the collector on (gc.enable()): it then stays on.
//   A gc.disable() made inside a pause lasts until the last pause ends when the collector
//   was on before the first one began (that setting is restored).
// - In a process forked while pauses were in progress, only those of the thread that
//   forked count on (the other threads are gone with theirs): the collector is back on in
//   the child as soon as none is left.
// - Ending a pause runs no Python code. A thread ended at exit (a forced unwind without
//   a thread state) leaves the count as it is: the process is ending.
#pragma once

#include "kestrum/ref.hpp"

namespace kestrum {

class GcPause {
public:
    GcPause() noexcept;
    ~GcPause();
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;
};

}  // namespace kestrum

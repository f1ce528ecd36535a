// Shortcuts for the worker's three calls on the standard library's synchronisation
// objects: queue.Queue's get() and task_done() and threading.Event's is_set().
//
// Written in Python, those three calls cost about 13,000 instructions per record, as much
// as a tenth of a whole SET round trip through redis-py. Each shortcut does the same work
// in C++ on the object's own state, under the object's own lock, and only when the call
// would run the standard library's code: every method and special method the call would
// reach must resolve, on this object, to the function captured from the standard library
// at import; the lock must be a plain lock and the buffer a deque. Otherwise the shortcut
// declines, having changed nothing, and the caller makes the real call.
#pragma once

#include "state.hpp"

#include <optional>

namespace zarn {

// Captures the standard functions and types at import. Never fails: whatever cannot be
// vouched for (a patched class, a stand-in module) leaves its shortcuts off.
void capture_std_sync(State& st);

// q.get(timeout=...) when an item is waiting: the item (an empty Ref with the exception
// set if a step failed, as the real call would have). nullopt: declined, nothing done;
// this includes an empty queue, where the real call waits.
std::optional<Ref> take_waiting_item(const State& st, PyObject* q);

// q.task_done() when other tasks stay unfinished, which only counts down. True: done;
// false: declined, nothing done. Throws PyErrorSet when a step fails.
bool count_down_task(const State& st, PyObject* q);

// ev.is_set(): the flag, or nullopt when declined.
std::optional<bool> event_flag(const State& st, PyObject* ev);

}  // namespace zarn

// Shortcuts for the calls on the standard library's synchronisation objects that every
// record makes: queue.Queue's put_nowait(), get(), get_nowait() and task_done(), and
// threading.Event's is_set().
//
// Written in Python, the worker's three calls cost about 13,000 instructions per record and
// a put_nowait() about 9,000 (the full-queue round of a frame write, with its exception,
// some 34,000). Each shortcut does the same work
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

// q.get(timeout=...) (via = Key::get) or q.get_nowait() (via = Key::get_nowait) when an
// item is waiting: the item (an empty Ref with the exception set if a step failed, as the
// real call would have). nullopt: declined, nothing done; this includes an empty queue,
// where the real call waits or raises Empty.
std::optional<Ref> take_waiting_item(const State& st, PyObject* q, Key via);

// q.put_nowait(item). `full`: the queue is at capacity and the real call would raise
// `*full_class` (set to that class, a borrowed reference), having changed nothing.
// Throws PyErrorSet when a step fails, as the real call would raise.
enum class Offer { queued, full, declined };
Offer offer_item(const State& st, PyObject* q, PyObject* item, PyObject** full_class);

// q.task_done() when it only counts down: other tasks stay unfinished, or nobody waits in
// join(). True: done; false: declined, nothing done. Throws PyErrorSet when a step fails.
bool count_down_task(const State& st, PyObject* q);

// ev.is_set(): the flag, or nullopt when declined.
std::optional<bool> event_flag(const State& st, PyObject* ev);

}  // namespace zarn

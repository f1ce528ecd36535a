// Frame records: the frame write with its queueing policy (queue without waiting, drop the
// oldest when full, write synchronously as a last resort) and the decoding frame read.
#include "class_table.hpp"
#include "std_sync.hpp"

namespace zarn {
namespace {

// True when an exception of class `raised` would be caught as the class `full()` returns
// (looked up now); a failing lookup answers false, and the real call then meets it again.
template <typename FullClass>
bool full_matches(FullClass&& full, PyObject* raised) {
    try {
        Ref cls = full();
        return PyErr_GivenExceptionMatches(raised, cls.get()) != 0;
    } catch (PyErrorSet&) {
        PyErr_Clear();
        return false;
    }
}

// Puts `item` on the full-or-not queue `q` without waiting. When the queue is full, the
// oldest waiting item is dropped (and counted done) and the put is tried once more; if
// that fails too, the record is written synchronously (the one road that waits, for the
// server). Never waits on the queue.
Ref enqueue(const Call& c, PyObject* q, PyObject* item) {
    const State& st = c.st;
    auto full = [&] { return getattr(c.global(Key::queue).get(), st[Full]); };
    PyObject* raised = nullptr;
    switch (offer_item(st, q, item, &raised)) {
        case Offer::queued:
            return Ref::borrow(Py_True);
        case Offer::full:
            // The put would raise `raised`: go on as when that is our Full, else make the
            // real call, which raises it to the caller (or finds room by now).
            if (full_matches(full, raised)) break;
            [[fallthrough]];
        case Offer::declined:
            if (!failed_with(try_call_method(q, st[put_nowait], nullptr, item), full))
                return Ref::borrow(Py_True);
    }
    // Make room: drop the oldest item and count it done. The worker may have emptied the
    // queue meanwhile (Empty): then nothing is dropped. Ordinary errors here are ignored.
    // (No C++ throw on the expected failures: a throw costs about a microsecond.)
    std::optional<Ref> oldest = take_waiting_item(st, q, Key::get_nowait);
    if (Ref dropped = oldest ? std::move(*oldest) : try_call_method(q, st[get_nowait], nullptr)) {
        bool counted = false;
        try {
            counted = count_down_task(st, q) || try_call_method(q, st[task_done], nullptr);
        } catch (PyErrorSet&) {
        }
        if (!counted) ignore_ordinary_error();
    } else {
        ignore_ordinary_error();
    }
    // Put again. When that cannot be done here, the real call fails (or succeeds) itself,
    // so that the fallback sees its exception.
    Ref again;
    try {
        if (offer_item(st, q, item, &raised) == Offer::queued) return Ref::borrow(Py_True);
        again = try_call_method(q, st[put_nowait], nullptr, item);
    } catch (PyErrorSet&) {
    }
    if (again) return Ref::borrow(Py_True);
    // Other callers took the freed place: write this record now.
    return on_ordinary_error([&](SavedError&) {
        return call_method(c.self(), st[_write_], nullptr, c[0], c[1], c[2]);
    });
}

}  // namespace

// write_zarn_data(self, data, redis_key, ttl=None) -> bool
Ref write_zarn_data_impl(const Call& c) {
    const State& st = c.st;
    PyObject* self = c.self();
    PyObject* data = c[0];
    PyObject* key = c[1];
    PyObject* ttl = c[2];
    if (data == Py_None) return call_method(self, st[delete_data], nullptr, key);

    // Read the mode and the queue once: a concurrent shutdown may rebind them.
    if (truth(getattr(self, st[_use_thread]).get())) {
        Ref q = getattr(self, st[_queue]);
        if (q.get() != Py_None) {
            Ref item = Ref::check(PyTuple_Pack(3, data, key, ttl));
            return enqueue(c, q.get(), item.get());
        }
    }
    return call_method(self, st[_write_], nullptr, data, key, ttl);
}

// read_zarn_data(self, redis_key): the decoded record, the reply itself when it is not
// bytes (None for a missing key), or None after a warning when the read or decode fails.
Ref read_zarn_data_impl(const Call& c) {
    const State& st = c.st;
    PyObject* key = c[0];
    return guarded(
        [&] {
            Ref value = call_method(c.self(), st[read_data], st[kw_redis_key], key);
            if (!PyBytes_Check(value.get())) return value;
            Ref loads = getattr(c.global(orjson).get(), st[Key::loads]);
            return call(loads.get(), nullptr, value.get());
        },
        [&](SavedError& err) {
            log_failure(c, Key::warning, "Failed to get redis frame from ", " - ", key,
                        err.value());
            return Ref::borrow(Py_None);
        });
}

}  // namespace zarn

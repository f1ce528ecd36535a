// Frame records: the frame write with its queueing policy (queue without waiting, drop the
// oldest when full, write synchronously as a last resort) and the decoding frame read.
#include "class_table.hpp"

namespace zarn {
namespace {

// Puts `item` on the full-or-not queue `q` without waiting. When the queue is full, the
// oldest waiting item is dropped (and counted done) and the put is tried once more; if
// that fails too, the record is written synchronously (the one road that waits, for the
// server). Never waits on the queue.
Ref enqueue(const Call& c, PyObject* q, PyObject* item) {
    const State& st = c.st;
    auto full = [&] { return getattr(c.global(Key::queue).get(), st[Full]); };
    if (!failed_with(try_call_method(q, st[put_nowait], nullptr, item), full))
        return Ref::borrow(Py_True);
    // Make room: drop the oldest item and count it done. The worker may have emptied the
    // queue meanwhile (Empty): then nothing is dropped. Ordinary errors here are ignored.
    if (Ref dropped = try_call_method(q, st[get_nowait], nullptr)) {
        if (!try_call_method(q, st[task_done], nullptr)) ignore_ordinary_error();
    } else {
        ignore_ordinary_error();
    }
    if (try_call_method(q, st[put_nowait], nullptr, item)) return Ref::borrow(Py_True);
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

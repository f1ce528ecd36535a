// Frame records: the frame write with its queueing policy (queue without waiting, drop the
// oldest when full, write synchronously as a last resort) and the decoding frame read.
#include "class_table.hpp"

namespace zarn {
namespace {

// Puts `item` on the queue `q` without waiting. When the queue is full, the oldest waiting
// item is dropped (and counted done) and the put is tried once more; if that fails too,
// the record is written synchronously (the one road that waits, for the server).
// The expected failures (Full, Empty) are taken without a C++ throw.
Ref enqueue(const MethodCall& c, PyObject* q, PyObject* item) {
    const auto& name = c.st.name;
    auto full = [&] { return getattr(c.global(name.queue).get(), name.Full); };
    if (!failed_with(try_call_method(q, name.put_nowait, item), full)) return Ref::of_bool(true);

    // Make room: drop the oldest item and count it done. The worker may have emptied the
    // queue meanwhile (Empty): then nothing is dropped. Ordinary errors here are ignored.
    if (Ref dropped = try_call_method(q, name.get_nowait)) {
        if (!try_call_method(q, name.task_done)) ignore_ordinary_error();
    } else {
        ignore_ordinary_error();
    }
    if (try_call_method(q, name.put_nowait, item)) return Ref::of_bool(true);

    // Other callers took the freed place: write this record now.
    return on_ordinary_error([&](SavedError&) {
        return try_call_sibling(c, Sibling::write_, c[0], c[1], c[2]);
    });
}

}  // namespace

// write_zarn_data(self, data, redis_key, ttl=None) -> bool
Ref write_zarn_data_impl(const MethodCall& c) {
    const auto& name = c.st.name;
    PyObject* self = c.self();
    PyObject* data = c[0];
    PyObject* key = c[1];
    PyObject* ttl = c[2];
    if (data == Py_None) return try_call_sibling(c, Sibling::delete_data, key);

    // Read the mode and the queue once: a concurrent shutdown may rebind them.
    if (truth(getattr(self, name._use_thread).get())) {
        Ref q = getattr(self, name._queue);
        if (q.get() != Py_None) {
            Ref item = Ref::check(PyTuple_Pack(3, data, key, ttl));
            return enqueue(c, q.get(), item.get());
        }
    }
    return try_call_sibling(c, Sibling::write_, data, key, ttl);
}

// read_zarn_data(self, redis_key): the decoded record, the reply itself when it is not
// bytes (None for a missing key), or None after a warning when the read or decode fails.
Ref read_zarn_data_impl(const MethodCall& c) {
    const auto& name = c.st.name;
    PyObject* key = c[0];
    return guarded(
        [&] {
            PyObject* args[] = {c.self(), key};  // self.read_data(redis_key=key)
            Ref value = try_call_sibling(c, Sibling::read_data, args, 2, c.st.kw.redis_key.tuple);
            if (!value || !PyBytes_Check(value.get())) return value;
            Ref loads = getattr(c.global(name.orjson).get(), name.loads);
            return try_call(loads.get(), value.get());
        },
        [&](SavedError& err) {
            log_failure(c, name.warning, "Failed to get redis frame from ", " - ", key,
                        err.value());
            return Ref::borrow(Py_None);
        });
}

}  // namespace zarn

// The record write (encode a frame record as JSON and SET it) and the background worker
// loop that drains the write queue through it.
#include "class_table.hpp"

#include <array>
#include <optional>

namespace zarn {
namespace {

// Logs "Failed to write data to redis`<key>` - <error text>" at error level.
void log_write_failure(const MethodCall& c, PyObject* key, PyObject* error) {
    log_failure(c, c.st.name.error, "Failed to write data to redis`", "` - ", key, error);
}

// Takes a write item apart into exactly three values, as `data, key, ttl = item` would,
// with the messages of the unpacking that the worker has always reported.
std::array<Ref, 3> unpack3(PyObject* item) {
    Ref it = Ref::check(PyObject_GetIter(item));
    std::array<Ref, 3> out;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        if (!(out[i] = Ref::steal(PyIter_Next(it.get())))) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i,
                             i == 1 ? "" : "s");
            raise();
        }
    }
    if (Ref extra = Ref::steal(PyIter_Next(it.get())))
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 3)");
    if (PyErr_Occurred()) raise();
    return out;
}

// One queued item: unpack it and write it. An ordinary failure is logged in the record
// write's format (the item's repr stands for the key when it has no text key) so that one
// bad item cannot end the worker. False, with the exception set, for anything else.
bool write_item(const MethodCall& c, PyObject* item) {
    Ref key;
    auto write = [&] {
        auto [data, redis_key, ttl] = unpack3(item);
        key = Ref::borrow(redis_key.get());
        return try_call_sibling(c, Sibling::write_, data.get(), redis_key.get(), ttl.get());
    };
    auto log = [&](SavedError& err) {
        // Logging must not end the worker either: a failure to log goes to
        // sys.unraisablehook instead.
        return guarded(
            [&] {
                Ref shown = key && PyUnicode_Check(key.get()) ? std::move(key)
                                                              : Ref::check(PyObject_Repr(item));
                log_write_failure(c, shown.get(), err.value());
                return Ref::borrow(Py_None);
            },
            [&](SavedError& log_err) {
                log_err.restore();
                PyErr_WriteUnraisable(c.self());
                return Ref::borrow(Py_None);
            });
    };
    try {
        guarded(write, log);
        return true;
    } catch (PyErrorSet&) {
        return false;
    }
}

}  // namespace

// _write_(self, data, redis_key, ttl=None) -> bool
Ref write_impl(const MethodCall& c) {
    const auto& name = c.st.name;
    PyObject* data = c[0];
    PyObject* key = c[1];
    PyObject* ttl = c[2];
    // Encoding errors reach the caller: only the store step is guarded.
    Ref dumps = getattr(c.global(name.orjson).get(), name.dumps);
    Ref payload = call(dumps.get(), data);
    return guarded(
        [&] {
            Ref client = getattr(c.self(), name._redis_client);
            Ref reply = try_call_method(client.get(), name.set, c.st.kw.ex, key, payload.get(), ttl);
            return reply ? Ref::of_bool(truth(reply.get())) : Ref();
        },
        [&](SavedError& err) {
            log_write_failure(c, key, err.value());
            return Ref::of_bool(false);
        });
}

// _worker_loop(self): until the stop event is set, take an item (waiting at most 0.2 s),
// write it and mark it done. Items left in the queue when it stops are not written.
Ref worker_loop_impl(const MethodCall& c) {
    const auto& name = c.st.name;
    PyObject* self = c.self();
    auto empty = [&] { return getattr(c.global(name.queue).get(), name.Empty); };
    for (;;) {
        Ref stop = call_method(getattr(self, name._stop_evt).get(), name.is_set);
        if (truth(stop.get())) return Ref::borrow(Py_None);

        Ref item = try_call_method(getattr(self, name._queue).get(), name.get, c.st.kw.timeout,
                                   c.st.num.take_timeout);
        if (failed_with(item, empty)) continue;

        // The item is marked done whatever the write did; an exception that is not an
        // ordinary one (an interruption) still ends the loop, after the mark.
        std::optional<SavedError> pending;
        if (!write_item(c, item.get())) pending.emplace();
        guarded([&] { return try_call_method(getattr(self, name._queue).get(), name.task_done); },
                [](SavedError&) { return Ref::borrow(Py_None); });
        if (pending) {
            pending->restore();
            raise();
        }
    }
}

}  // namespace zarn

// The record write (encode a frame record as JSON and SET it) and the background worker
// loop that drains the write queue through it.
#include "class_table.hpp"
#include "std_sync.hpp"

#include <array>
#include <optional>

namespace zarn {
namespace {

// Logs "Failed to write data to redis`<key>` - <error text>" at error level.
void log_write_failure(const Call& c, PyObject* key, PyObject* error) {
    log_failure(c, Key::error, "Failed to write data to redis`", "` - ", key, error);
}

// Takes a write item apart into exactly three values, as `data, key, ttl = item` would,
// with the messages of the unpacking that the worker has always reported.
std::array<Ref, 3> unpack3(PyObject* item) {
    if (PyTuple_CheckExact(item) || PyList_CheckExact(item)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(item);
        if (size != 3) {
            if (size > 3)
                PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)",
                             Py_ssize_t{3});
            else
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", size,
                             size == 1 ? "" : "s");
            raise();
        }
        PyObject** v = PySequence_Fast_ITEMS(item);
        return {Ref::borrow(v[0]), Ref::borrow(v[1]), Ref::borrow(v[2])};
    }
    Ref it = Ref::check(PyObject_GetIter(item));
    std::array<Ref, 3> out;
    for (Py_ssize_t i = 0; i < 3; ++i) {
        out[i] = Ref::steal(PyIter_Next(it.get()));
        if (!out[i]) {
            if (!PyErr_Occurred())
                PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", i,
                             i == 1 ? "" : "s");
            raise();
        }
    }
    if (Ref extra = Ref::steal(PyIter_Next(it.get()))) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{3});
        raise();
    }
    if (PyErr_Occurred()) raise();
    return out;
}

// One queued item: unpack it and write it. An ordinary failure is logged in the record
// write's format (the item's repr stands for the key when it has no text key) so that one
// bad item cannot end the worker; anything else propagates.
void write_item(const Call& c, PyObject* item) {
    Ref key;
    guarded(
        [&] {
            auto [data, redis_key, ttl] = unpack3(item);
            key = Ref::borrow(redis_key.get());
            call_method(c.self(), c.st[_write_], nullptr, data.get(), redis_key.get(), ttl.get());
        },
        [&](SavedError& err) {
            // Logging must not end the worker either: a failure to log goes to
            // sys.unraisablehook instead.
            guarded(
                [&] {
                    Ref shown = key && PyUnicode_Check(key.get())
                                    ? std::move(key)
                                    : Ref::check(PyObject_Repr(item));
                    log_write_failure(c, shown.get(), err.value());
                },
                [&](SavedError& log_err) {
                    log_err.restore();
                    PyErr_WriteUnraisable(c.self());
                });
        });
}

// self._stop_evt.is_set(), tested for truth.
bool stop_requested(const State& st, PyObject* self) {
    Ref event = getattr(self, st[_stop_evt]);
    if (std::optional<bool> flag = event_flag(st, event.get())) return *flag;
    Ref stop = call_method(event.get(), st[is_set], nullptr);
    return truth(stop.get());
}

}  // namespace

// _write_(self, data, redis_key, ttl=None) -> bool
Ref write_impl(const Call& c) {
    const State& st = c.st;
    PyObject* data = c[0];
    PyObject* key = c[1];
    PyObject* ttl = c[2];
    // Encoding errors reach the caller: only the store step is guarded.
    Ref dumps = getattr(c.global(orjson).get(), st[Key::dumps]);
    Ref payload = call(dumps.get(), nullptr, data);
    return guarded(
        [&] {
            Ref client = getattr(c.self(), st[_redis_client]);
            Ref reply = call_method(client.get(), st[Key::set], st[kw_ex], key, payload.get(), ttl);
            return Ref::borrow(truth(reply.get()) ? Py_True : Py_False);
        },
        [&](SavedError& err) {
            log_write_failure(c, key, err.value());
            return Ref::borrow(Py_False);
        });
}

// _worker_loop(self): until the stop event is set, take an item (waiting at most 0.2 s),
// write it and mark it done. Items left in the queue when it stops are not written.
Ref worker_loop_impl(const Call& c) {
    const State& st = c.st;
    PyObject* self = c.self();
    for (;;) {
        if (stop_requested(st, self)) return Ref::borrow(Py_None);

        Ref queue = getattr(self, st[_queue]);
        std::optional<Ref> waiting = take_waiting_item(st, queue.get(), Key::get);
        Ref item = waiting ? std::move(*waiting)
                           : try_call_method(queue.get(), st[Key::get], st[kw_timeout],
                                             st[float_0_2]);
        queue = Ref();
        if (failed_with(item, [&] { return getattr(c.global(Key::queue).get(), st[Empty]); }))
            continue;

        // The item is marked done whatever the write did; an exception that is not an
        // ordinary one (an interruption) still ends the loop, after the mark.
        bool failed = false;
        try {
            write_item(c, item.get());
        } catch (PyErrorSet&) {
            failed = true;
        }
        std::optional<SavedError> pending;
        if (failed) pending.emplace();
        guarded(
            [&] {
                Ref queue = getattr(self, st[_queue]);
                if (!count_down_task(st, queue.get()))
                    call_method(queue.get(), st[task_done], nullptr);
            },
            [](SavedError&) {});
        if (pending) {
            pending->restore();
            raise();
        }
    }
}

}  // namespace zarn

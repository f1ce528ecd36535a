// Construction (direct or background-writer mode) and shutdown of a RedisWrapper.
#include "class_table.hpp"

namespace zarn {
namespace {

// max(a, b) on Python numbers: `a if a > b else b`. Sizes stay Python ints, so nothing
// is narrowed to a C integer (long is 32 bits on the target).
Ref greater_of(PyObject* a, PyObject* b) {
    return Ref::borrow(check_int(PyObject_RichCompareBool(a, b, Py_GT)) ? a : b);
}

}  // namespace

// __init__(self, thread=True, host=<$REDIS_HOST or "localhost">, port=6379, workers=2)
Ref init_impl(const Call& c) {
    const State& st = c.st;
    PyObject* self = c.self();
    PyObject* thread = c[0];
    PyObject* host = c[1];
    PyObject* port = c[2];
    PyObject* workers = c[3];

    setattr(self, st[_use_thread], thread);

    // Pool limit: workers * 5 when that exceeds 10, else 10.
    Ref pool_type = getattr(c.global(redis).get(), st[ConnectionPool]);
    Ref product = Ref::check(PyNumber_Multiply(workers, st[int_5]));
    Ref max_connections = greater_of(product.get(), st[int_10]);
    Ref pool = call(pool_type.get(), st[kw_pool], host, port, max_connections.get(), Py_False);
    Ref client_type = getattr(c.global(redis).get(), st[StrictRedis]);
    Ref client = call(client_type.get(), st[kw_connection_pool], pool.get());
    setattr(self, st[_redis_client], client.get());

    setattr(self, st[_queue], Py_None);
    setattr(self, st[_worker], Py_None);
    Ref event_type = getattr(c.global(threading).get(), st[Event]);
    Ref event = call(event_type.get(), nullptr);
    setattr(self, st[_stop_evt], event.get());

    if (!truth(getattr(self, st[_use_thread]).get())) return Ref::borrow(Py_None);

    // Background-writer mode: a queue of max(1, workers) items, one worker, one exit hook.
    Ref queue_type = getattr(c.global(queue).get(), st[Queue]);
    Ref maxsize = greater_of(workers, st[int_1]);
    Ref q = call(queue_type.get(), st[kw_maxsize], maxsize.get());
    setattr(self, st[_queue], q.get());

    Ref thread_type = getattr(c.global(threading).get(), st[Thread]);
    Ref target = getattr(self, st[_worker_loop]);
    Ref worker = call(thread_type.get(), st[kw_thread], target.get(), st[worker_name], Py_True);
    setattr(self, st[_worker], worker.get());
    call_method(getattr(self, st[_worker]).get(), st[start], nullptr);

    Ref register_hook = getattr(c.global(atexit).get(), st[register_]);
    Ref hook = getattr(self, st[_shutdown_executor]);
    call(register_hook.get(), nullptr, hook.get());
    return Ref::borrow(Py_None);
}

// _shutdown_executor(self): stop the worker (waiting at most 0.5 s), drop the queue and
// switch to direct mode. Ordinary exceptions are dropped; others reach the caller.
Ref shutdown_executor_impl(const Call& c) {
    const State& st = c.st;
    PyObject* self = c.self();
    guarded(
        [&] {
            call_method(getattr(self, st[_stop_evt]).get(), st[set], nullptr);
            Ref worker = getattr(self, st[_worker]);
            if (worker.get() != Py_None)
                call_method(worker.get(), st[join], st[kw_timeout], st[float_0_5]);
            setattr(self, st[_queue], Py_None);
            setattr(self, st[_use_thread], Py_False);
        },
        [](SavedError&) {});
    return Ref::borrow(Py_None);
}

}  // namespace zarn

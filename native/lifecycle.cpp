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
Ref init_impl(const MethodCall& c) {
    const auto& name = c.st.name;
    const auto& kw = c.st.kw;
    const auto& num = c.st.num;
    PyObject* self = c.self();
    PyObject* thread = c[0];
    PyObject* host = c[1];
    PyObject* port = c[2];
    PyObject* workers = c[3];

    setattr(self, name._use_thread, thread);

    // Pool limit: workers * 5 when that exceeds 10, else 10.
    Ref pool_type = getattr(c.global(name.redis).get(), name.ConnectionPool);
    Ref product = Ref::check(PyNumber_Multiply(workers, num.five));
    Ref max_connections = greater_of(product.get(), num.ten);
    Ref pool = call(pool_type.get(), kw.pool, host, port, max_connections.get(), Py_False);
    Ref client_type = getattr(c.global(name.redis).get(), name.StrictRedis);
    Ref client = call(client_type.get(), kw.connection_pool, pool.get());
    setattr(self, name._redis_client, client.get());

    setattr(self, name._queue, Py_None);
    setattr(self, name._worker, Py_None);
    Ref event_type = getattr(c.global(name.threading).get(), name.Event);
    Ref event = call(event_type.get());
    setattr(self, name._stop_evt, event.get());

    if (!truth(getattr(self, name._use_thread).get())) return Ref::borrow(Py_None);

    // Background-writer mode: a queue of max(1, workers) items, one worker, one exit hook.
    Ref queue_type = getattr(c.global(name.queue).get(), name.Queue);
    Ref maxsize = greater_of(workers, num.one);
    Ref q = call(queue_type.get(), kw.maxsize, maxsize.get());
    setattr(self, name._queue, q.get());

    Ref thread_type = getattr(c.global(name.threading).get(), name.Thread);
    Ref target = getattr(self, name._worker_loop);
    Ref worker = call(thread_type.get(), kw.thread, target.get(), name.worker_name, Py_True);
    setattr(self, name._worker, worker.get());
    call_method(getattr(self, name._worker).get(), name.start);

    Ref register_hook = getattr(c.global(name.atexit).get(), name.register_);
    Ref hook = getattr(self, name._shutdown_executor);
    call(register_hook.get(), hook.get());
    return Ref::borrow(Py_None);
}

// _shutdown_executor(self): stop the worker (waiting at most 0.5 s), drop the queue and
// switch to direct mode. Ordinary exceptions are dropped; others reach the caller.
Ref shutdown_executor_impl(const MethodCall& c) {
    const auto& name = c.st.name;
    PyObject* self = c.self();
    return guarded(
        [&] {
            call_method(getattr(self, name._stop_evt).get(), name.set);
            Ref worker = getattr(self, name._worker);
            if (worker.get() != Py_None)
                call_method(worker.get(), name.join, c.st.kw.timeout, c.st.num.join_timeout);
            setattr(self, name._queue, Py_None);
            setattr(self, name._use_thread, Py_False);
            return Ref::borrow(Py_None);
        },
        [](SavedError&) { return Ref::borrow(Py_None); });
}

}  // namespace zarn

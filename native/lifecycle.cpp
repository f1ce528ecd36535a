// Construction (direct or background-writer mode) and shutdown of a RedisWrapper.
#include "class_table.hpp"

namespace zarn {
namespace {

// max(a, b) on Python numbers: `a if a > b else b`. Sizes stay Python ints, so nothing
// is narrowed to a C integer (long is 32 bits on the target).
Ref greater_of(PyObject* a, PyObject* b) {
    return Ref::borrow(check_int(PyObject_RichCompareBool(a, b, Py_GT)) ? a : b);
}

// The attribute `name` of o, or an empty Ref when o has none (or reading it fails).
Ref attr_or_none(PyObject* o, const char* name) {
    Ref r = Ref::steal(PyObject_GetAttrString(o, name));
    if (!r) ignore_ordinary_error();
    return r;
}

// redis-py before 8 opens connections without a socket timeout, a connect timeout or TCP
// keepalive, so a network path that goes silent holds a command, and the worker, for ever.
// A pool of redis-py's own whose connections would open so gets redis-py 8.2's defaults for
// what is missing: 5 s, 5 s, keepalive probing after 30 s idle, every 5 s, 3 times. The
// connection class is asked by making one connection object (it connects only when used).
// Anything else (a stand-in pool, a probe that fails) leaves the pool as it is.
void give_redis8_timeouts(PyObject* pool) {
    Ref kwargs = attr_or_none(pool, "connection_kwargs");
    if (!kwargs || !PyDict_CheckExact(kwargs.get())) return;
    Ref cls = attr_or_none(pool, "connection_class");
    if (!cls) return;
    Ref probe = Ref::steal(PyObject_VectorcallDict(cls.get(), nullptr, 0, kwargs.get()));
    if (!probe) return ignore_ordinary_error();
    auto missing = [&](const char* name) {
        Ref value = attr_or_none(probe.get(), name);
        return value && (value.get() == Py_None || value.get() == Py_False);
    };
    Ref five = Ref::check(PyLong_FromLong(5));
    for (const char* timeout : {"socket_timeout", "socket_connect_timeout"})
        if (missing(timeout)) check_int(PyDict_SetItemString(kwargs.get(), timeout, five.get()));
    if (!missing("socket_keepalive")) return;
    Ref options = Ref::check(PyDict_New());
    Ref socket = Ref::check(PyImport_ImportModuleLevel("socket", nullptr, nullptr, nullptr, 0));
    for (auto [option, seconds] : {std::pair{"TCP_KEEPIDLE", 30}, {"TCP_KEEPINTVL", 5}, {"TCP_KEEPCNT", 3}})
        if (Ref key = attr_or_none(socket.get(), option))
            check_int(PyDict_SetItem(options.get(), key.get(), Ref::check(PyLong_FromLong(seconds)).get()));
    check_int(PyDict_SetItemString(kwargs.get(), "socket_keepalive", Py_True));
    Ref options_name = Ref::check(PyUnicode_FromString("socket_keepalive_options"));
    if (!PyDict_SetDefault(kwargs.get(), options_name.get(), options.get())) raise();
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
    give_redis8_timeouts(pool.get());
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

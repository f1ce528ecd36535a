"""Construction in direct and background-writer mode, pool and queue sizes, the worker
thread and exit hook, the exact collaborator calls, and _shutdown_executor."""

import atexit
import queue
import threading
import time
import types

import pytest
import redis

import zarn_sdk.redis.redis_wrapper as rw

from helpers import Undecided, opened

R = rw.RedisWrapper


def _workers():
    return [t for t in threading.enumerate() if t.name == "RedisWrapperWorker"]


@pytest.fixture
def srv(server):
    return {"host": server.host, "port": server.port}


@pytest.mark.parametrize("thread", [False, 0, None, "", []], ids=repr)
def test_direct_mode(make_wrapper, srv, thread):
    hooks, workers = atexit._ncallbacks(), _workers()
    w = make_wrapper(thread=thread, **srv)
    assert w._use_thread is thread
    assert w._queue is None and w._worker is None
    assert type(w._redis_client) is redis.StrictRedis
    assert isinstance(w._stop_evt, threading.Event) and not w._stop_evt.is_set()
    assert _workers() == workers and atexit._ncallbacks() == hooks


@pytest.mark.parametrize("thread", [True, 1, "no", [0], object()], ids=repr)
def test_background_mode(make_wrapper, srv, thread):
    hooks, workers = atexit._ncallbacks(), _workers()
    w = make_wrapper(thread=thread, **srv)
    assert w._use_thread is thread
    assert type(w._queue) is queue.Queue and w._queue.maxsize == 2 and w._queue.empty()
    assert isinstance(w._worker, threading.Thread) and w._worker.is_alive()
    assert w._worker.name == "RedisWrapperWorker" and w._worker.daemon is True
    assert _workers() == [*workers, w._worker]
    assert not w._stop_evt.is_set()
    assert atexit._ncallbacks() == hooks + 1


@pytest.mark.parametrize("workers, pool_limit, capacity", [
    (0, 10, 1), (1, 10, 1), (2, 10, 2), (3, 15, 3), (10**20, 5 * 10**20, 10**20), (-(10**20), 10, 1),
])
def test_sizes_follow_workers(make_wrapper, srv, workers, pool_limit, capacity):
    for thread in (True, False):
        w = make_wrapper(thread=thread, workers=workers, **srv)
        pool = w._redis_client.connection_pool
        assert pool.max_connections == pool_limit and type(pool.max_connections) is int
        kwargs = pool.connection_kwargs
        assert (kwargs["host"], kwargs["port"], kwargs["decode_responses"]) == (srv["host"], srv["port"], False)
        assert (w._queue.maxsize if thread else w._queue) == (capacity if thread else None)
    assert len(_workers()) >= 1


# redis-py 8.2's connection defaults, which every redis-py version's pool gets.
REDIS8 = {"socket_timeout": 5, "socket_connect_timeout": 5, "socket_keepalive": True}


def test_connections_never_wait_for_ever(make_wrapper, srv, raw):
    """A silent network path must end in a timeout on every redis-py: the pool's connections
    open with redis-py 8.2's timeouts and keepalive, whether the installed version has them as
    defaults (8: its own pool is left exactly as redis-py made it) or not (4.3 to 7: added)."""
    plain = redis.ConnectionPool(host=srv["host"], port=srv["port"], max_connections=10,
                                 decode_responses=False)
    w = make_wrapper(thread=False, **srv)
    pool = w._redis_client.connection_pool
    opens = opened(pool)
    assert {k: opens[k] for k in REDIS8} == REDIS8
    if all(opened(plain)[k] == v for k, v in REDIS8.items()):
        assert pool.connection_kwargs.keys() == plain.connection_kwargs.keys()
    else:
        import socket
        assert opens["socket_keepalive_options"] == {socket.TCP_KEEPIDLE: 30, socket.TCP_KEEPINTVL: 5,
                                     socket.TCP_KEEPCNT: 3}
    # Options a caller sets after construction win, and the pool still works.
    pool.connection_kwargs.update(socket_timeout=0.5, socket_keepalive=False)
    assert opened(pool)["socket_timeout"] == 0.5 and not opened(pool)["socket_keepalive"]
    assert w.write_data("k", "v") is True and raw.get("k") == b"v"


def test_two_instances_have_two_workers_and_two_hooks(make_wrapper, srv):
    hooks = atexit._ncallbacks()
    a, b = make_wrapper(**srv), make_wrapper(**srv)
    assert a._worker is not b._worker and a._worker.is_alive() and b._worker.is_alive()
    assert a._redis_client.connection_pool is not b._redis_client.connection_pool
    assert a._queue is not b._queue and a._stop_evt is not b._stop_evt
    assert atexit._ncallbacks() == hooks + 2


@pytest.mark.parametrize("thread", [True, False])
def test_construction_sends_nothing(make_wrapper, raw, srv, dead_port, thread):
    before = raw.info("stats")["total_connections_received"]
    make_wrapper(thread=thread, **srv)
    make_wrapper(thread=thread, host="127.0.0.1", port=dead_port)  # no connection check either
    time.sleep(0.3)  # let the worker go round its idle wait
    assert raw.info("stats")["total_connections_received"] == before


# ---- exact collaborator calls, through fakes in the module namespace ---------------------

class Boom(Exception):
    pass


class Fakes:
    """Stand-ins for redis, threading, queue and atexit that record every call in order."""

    def __init__(self, monkeypatch, fail=None):
        self.calls, self.fail, self.made = [], fail, {}

        def maker(name, factory):
            def make(*args, **kwargs):
                self.calls.append((name, args, list(kwargs.items())))
                if name == self.fail:
                    raise self.error
                self.made[name] = factory(*args, **kwargs)
                return self.made[name]
            return make

        self.error = Boom(fail)

        class Thread:
            def __init__(self, **kwargs):
                self.kwargs = kwargs

            def start(self):
                maker("start", lambda: None)()

            def join(self, timeout=None):
                pass

        monkeypatch.setattr(rw, "redis", types.SimpleNamespace(
            ConnectionPool=maker("ConnectionPool", lambda **k: object()),
            StrictRedis=maker("StrictRedis", lambda **k: object())))
        monkeypatch.setattr(rw, "threading", types.SimpleNamespace(
            Event=maker("Event", threading.Event), Thread=maker("Thread", Thread)))
        monkeypatch.setattr(rw, "queue", types.SimpleNamespace(
            Queue=maker("Queue", queue.Queue), Empty=queue.Empty, Full=queue.Full))
        monkeypatch.setattr(rw, "atexit", types.SimpleNamespace(register=maker("register", lambda f: f)))


def test_background_construction_calls(monkeypatch):
    fakes = Fakes(monkeypatch)
    host, port = "redis-host", 40001
    w = R(True, host, port, 3)
    assert [c[0] for c in fakes.calls] == ["ConnectionPool", "StrictRedis", "Event", "Queue", "Thread", "start",
                                           "register"]
    calls = {name: (args, dict(kwargs)) for name, args, kwargs in fakes.calls}
    made = fakes.made
    assert calls["ConnectionPool"] == ((), {"host": host, "port": port, "max_connections": 15,
                                            "decode_responses": False})
    assert calls["ConnectionPool"][1]["host"] is host and calls["ConnectionPool"][1]["port"] is port
    assert calls["StrictRedis"] == ((), {"connection_pool": made["ConnectionPool"]})
    assert calls["Event"] == ((), {}) and calls["Queue"] == ((), {"maxsize": 3})
    # Bound methods compare equal when they bind the same function to the same instance.
    assert calls["Thread"] == ((), {"target": w._worker_loop, "name": "RedisWrapperWorker", "daemon": True})
    assert calls["register"] == ((w._shutdown_executor,), {})
    assert (w._redis_client, w._stop_evt, w._queue, w._worker) == (
        made["StrictRedis"], made["Event"], made["Queue"], made["Thread"])


def test_direct_construction_calls(monkeypatch):
    fakes = Fakes(monkeypatch)
    port = 2**64  # passed on as it is, never narrowed
    R(thread=False, host="h", port=port, workers=10**20)
    assert [c[0] for c in fakes.calls] == ["ConnectionPool", "StrictRedis", "Event"]
    pool_kwargs = dict(fakes.calls[0][2])
    assert pool_kwargs["max_connections"] == 5 * 10**20 and pool_kwargs["port"] is port


# Attributes on the unfinished instance when each collaborator raises.
FAILURES = {
    "ConnectionPool": {"_use_thread"},
    "StrictRedis": {"_use_thread"},
    "Event": {"_use_thread", "_redis_client", "_queue", "_worker"},
    "Queue": {"_use_thread", "_redis_client", "_queue", "_worker", "_stop_evt"},
    "Thread": {"_use_thread", "_redis_client", "_queue", "_worker", "_stop_evt"},
    "start": {"_use_thread", "_redis_client", "_queue", "_worker", "_stop_evt"},
    "register": {"_use_thread", "_redis_client", "_queue", "_worker", "_stop_evt"},
}


@pytest.mark.parametrize("step", FAILURES)
def test_collaborator_errors_reach_the_caller_unchanged(monkeypatch, step):
    fakes = Fakes(monkeypatch, fail=step)
    obj = R.__new__(R)
    with pytest.raises(Boom) as excinfo:
        obj.__init__(True, "h", 1, 2)
    assert excinfo.value is fakes.error
    assert [c[0] for c in fakes.calls][-1] == step
    assert set(vars(obj)) == FAILURES[step]
    if step in ("Queue", "Thread"):
        assert obj._worker is None
        assert (obj._queue is None) == (step == "Queue")
    if step in ("start", "register"):
        assert obj._worker is fakes.made["Thread"]


def test_thread_whose_truth_test_raises(srv):
    thread, obj, hooks, workers = Undecided(), R.__new__(R), atexit._ncallbacks(), _workers()
    with pytest.raises(ValueError, match="reply has no truth"):
        obj.__init__(thread, **srv)
    assert obj._use_thread is thread and type(obj._redis_client) is redis.StrictRedis
    assert obj._queue is None and obj._worker is None and not obj._stop_evt.is_set()
    assert atexit._ncallbacks() == hooks and _workers() == workers


# ---- shutdown -----------------------------------------------------------------------------

@pytest.mark.parametrize("thread", [True, False])
def test_shutdown(make_wrapper, srv, raw, thread):
    w = make_wrapper(thread=thread, **srv)
    worker, client = w._worker, w._redis_client
    for _ in range(2):
        assert w._shutdown_executor() is None
        # The idle worker notices the stop within its 0.2 s wait, inside the 0.5 s join.
        assert w._stop_evt.is_set() and w._queue is None and w._use_thread is False
        assert w._worker is worker and (worker is None or not worker.is_alive()) and w._redis_client is client
    assert w._write_({"a": 1}, "after-stop") is True  # a stopped instance stays usable
    assert raw.get("after-stop") == b'{"a":1}'


class FakeWorker:
    def __init__(self, w, raises=None):
        self.w, self.raises, self.joins = w, raises, []

    def join(self, *args, **kwargs):
        self.joins.append((args, kwargs, self.w._stop_evt.is_set(), self.w._queue))
        if self.raises:
            raise self.raises


@pytest.mark.parametrize("breakage", ["no-stop-event", "join-raises", "worker-without-join", "ok",
                                      "join-interrupted"])
def test_shutdown_steps_and_swallowed_errors(make_wrapper, dead_port, breakage):
    w = make_wrapper(thread=False, host="127.0.0.1", port=dead_port)
    w._queue, w._use_thread = "the-queue", "on"
    error = {"join-raises": RuntimeError("join failed"), "join-interrupted": KeyboardInterrupt()}.get(breakage)
    worker = w._worker = FakeWorker(w, error)
    event = w._stop_evt
    if breakage == "no-stop-event":
        del w._stop_evt
    if breakage == "worker-without-join":
        w._worker = 5
    if breakage == "join-interrupted":  # only ordinary exceptions are swallowed
        with pytest.raises(KeyboardInterrupt):
            w._shutdown_executor()
    else:
        assert w._shutdown_executor() is None
    completed = breakage == "ok"
    assert (w._queue, w._use_thread) == ((None, False) if completed else ("the-queue", "on"))
    assert event.is_set() == (breakage != "no-stop-event")
    if breakage in ("ok", "join-raises", "join-interrupted"):
        assert worker.joins == [((), {"timeout": 0.5}, True, "the-queue")]
    w._stop_evt, w._worker = event, None

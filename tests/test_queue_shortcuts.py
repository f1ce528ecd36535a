"""The calls on the standard queue.Queue and threading.Event that every record makes (the
frame write's put_nowait, get_nowait and task_done; the worker's get, task_done and
is_set): they must act as those methods do, and the methods must really be called as soon
as any of them, or what they call, is not the standard library's own."""

import functools
import queue
import textwrap
import threading
import time

import orjson
import pytest

from conftest import drained

ITEMS = [({"i": i}, f"sync:{i}", None) for i in range(8)]


def run_worker_over(w, q, items=ITEMS):
    """Runs w's worker loop on its own thread over q, holding `items` from the start (so
    the worker meets a burst), until every item is done; then stops it."""
    for item in items:
        q.put(item)
    w._queue = q
    t = threading.Thread(target=w._worker_loop, daemon=True)
    t.start()
    assert drained(q, 10), "the worker did not mark every item done"
    w._stop_evt.set()
    t.join(5)
    assert not t.is_alive()


def stored(raw, items=ITEMS):
    return [raw.get(key) for _, key, _ in items] == [orjson.dumps(data) for data, _, _ in items]


def test_burst_and_blocked_producers(make_wrapper, server, raw):
    # A producer blocked in put() on the full queue is woken by each take; the count of
    # unfinished tasks comes down to zero exactly.
    w = make_wrapper(host=server.host, port=server.port, workers=1)
    items = [({"i": i}, f"put:{i}", None) for i in range(300)]
    producer = threading.Thread(target=lambda: [w._queue.put(it) for it in items], daemon=True)
    producer.start()
    producer.join(30)
    assert not producer.is_alive(), "a producer blocked in put() was never woken"
    assert drained(w._queue) and w._queue.unfinished_tasks == 0
    assert stored(raw, items)


def test_a_waiting_consumer_is_woken_by_each_queued_write(direct):
    direct._use_thread, direct._queue = True, queue.Queue(maxsize=4)
    got = []
    consumer = threading.Thread(target=lambda: [got.append(direct._queue.get()) for _ in range(50)],
                                daemon=True)
    consumer.start()
    for i in range(50):
        assert direct.write_zarn_data({"i": i}, f"woken:{i}") is True
        while direct._queue.full() and consumer.is_alive():
            time.sleep(0.001)
    consumer.join(10)
    assert not consumer.is_alive(), "a consumer waiting in get() was never woken"
    assert [key for _, key, _ in got] == [f"woken:{i}" for i in range(50)]


def counting(calls, original):
    @functools.wraps(original)
    def method(self, *args, **kwargs):
        calls.append(self)
        return original(self, *args, **kwargs)
    return method


# (class, method, the object whose calls are counted, fewest calls for the eight items;
# notify_all: once, when the count of unfinished tasks reaches zero)
PATCHED = [
    (queue.Queue, "get", lambda w, q: q, 8),
    (queue.Queue, "_qsize", lambda w, q: q, 8),
    (queue.Queue, "_get", lambda w, q: q, 8),
    (queue.Queue, "task_done", lambda w, q: q, 8),
    (threading.Condition, "__enter__", lambda w, q: q.not_empty, 8),
    (threading.Condition, "__exit__", lambda w, q: q.all_tasks_done, 8),
    (threading.Condition, "notify", lambda w, q: q.not_full, 8),
    (threading.Condition, "_is_owned", lambda w, q: q.not_full, 8),
    (threading.Condition, "notify_all", lambda w, q: q.all_tasks_done, 1),
    (threading.Event, "is_set", lambda w, q: w._stop_evt, 9),
]


# Replaced on the class, or shadowed on the instance (special methods are looked up on the
# type only).
REPLACED = [(where, *p) for p in PATCHED for where in ("class", "instance")
            if where == "class" or not p[1].startswith("__")]


@pytest.mark.parametrize("where, cls, name, subject, least", REPLACED,
                         ids=[f"{w}-{c.__name__}.{n}" for w, c, n, _, _ in REPLACED])
def test_a_replaced_standard_method_is_called(direct, raw, monkeypatch, where, cls, name, subject,
                                              least):
    q = queue.Queue()
    target = subject(direct, q)
    calls = []
    method = counting(calls, getattr(cls, name))
    if where == "class":
        monkeypatch.setattr(cls, name, method)
    else:
        setattr(target, name, functools.partial(method, target))
    run_worker_over(direct, q)
    assert sum(1 for s in calls if s is target) >= least
    assert stored(raw)


# The frame write on a queue of two kept full: six writes, of which four drop the oldest.
# (class, method, fewest calls on the queue)
PRODUCER_PATCHED = [
    (queue.Queue, "put_nowait", 10),
    (queue.Queue, "put", 10),
    (queue.Queue, "_put", 6),
    (queue.Queue, "get_nowait", 4),
    (queue.Queue, "_get", 4),
    (queue.Queue, "task_done", 4),
    (threading.Condition, "__enter__", 10),
]
PRODUCER_REPLACED = [(where, *p) for p in PRODUCER_PATCHED for where in ("class", "instance")
                     if where == "class" or not p[1].startswith("__")]


@pytest.mark.parametrize("where, cls, name, least", PRODUCER_REPLACED,
                         ids=[f"{w}-{c.__name__}.{n}" for w, c, n, _ in PRODUCER_REPLACED])
def test_a_replaced_standard_method_is_called_by_the_frame_write(direct, monkeypatch, where, cls,
                                                                 name, least):
    q = queue.Queue(maxsize=2)
    direct._use_thread, direct._queue = True, q
    calls = []
    method = counting(calls, getattr(cls, name))
    target = q.not_full if name == "__enter__" else q
    if where == "class":
        monkeypatch.setattr(cls, name, method)
    else:
        setattr(q, name, functools.partial(method, q))
    for i in range(6):
        assert direct.write_zarn_data({"i": i}, f"full:{i}") is True
    assert sum(1 for s in calls if s is target) >= least
    assert [key for _, key, _ in q.queue] == ["full:4", "full:5"] and q.unfinished_tasks == 2


def test_a_method_replaced_before_import_is_called(run_python, server):
    code = textwrap.dedent(f"""
        import queue, threading
        calls = []
        original = queue.Queue.get
        def get(self, *args, **kwargs):
            item = original(self, *args, **kwargs)
            calls.append(item)
            return item
        queue.Queue.get = get
        from zarn_sdk.redis.redis_wrapper import RedisWrapper
        w = RedisWrapper(thread=False, host={server.host!r}, port={server.port})
        w._queue = q = queue.Queue()
        for i in range(5):
            q.put(({{"i": i}}, f"early:{{i}}", None))
        t = threading.Thread(target=w._worker_loop)
        t.start()
        q.join()
        w._stop_evt.set()
        t.join()
        print(len(calls))
    """)
    result = run_python(code)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split()[-1] == "5"

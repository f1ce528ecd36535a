"""The record write _write_ (the store's reply, logged store failures, encoder errors) and
the worker loop that drains the write queue, against the real server."""

import queue
import sys
import threading
import time
import types

import orjson
import pytest
import redis

import zarn_sdk.redis.redis_wrapper as rw

from helpers import Halt, Undecided, drained, error_text

PREFIX = "Failed to write data to redis`"


# ---- _write_ ------------------------------------------------------------------------------

class FakeClient:
    def __init__(self, behaviour):
        self.behaviour, self.calls = behaviour, []

    def set(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.behaviour()


def _raise(exc):
    raise exc


@pytest.mark.parametrize("behaviour, result, line", [
    (lambda: "OK", True, None),
    (lambda: None, False, None),
    (lambda: _raise(Exception()), False, f"{PREFIX}key` - "),
    (lambda: _raise(KeyError("x")), False, f"{PREFIX}key` - 'x'"),
    (lambda: Undecided(), False, f"{PREFIX}key` - reply has no truth"),
], ids=["ok", "none", "empty-error-text", "keyerror", "reply-truth-raises"])
def test_reply_truth_and_store_failures(direct, log, behaviour, result, line):
    direct._redis_client = FakeClient(behaviour)
    assert direct._write_({"x": 1}, "key", 9) is result
    assert direct._write_({}, "key") is result  # ex is passed even when it is None
    assert direct._redis_client.calls == [(("key", b'{"x":1}'), {"ex": 9}), (("key", b"{}"), {"ex": None})]
    assert log.lines == ([("error", line)] * 2 if line else [])


@pytest.mark.parametrize("method", ["_write_", "write_zarn_data"])
@pytest.mark.parametrize("data", [{1: "int key"}, {"a": object()}, {"a": 2**70}])
def test_encoder_error_reaches_a_direct_caller_unlogged(direct, raw, log, method, data):
    with pytest.raises(orjson.JSONEncodeError) as excinfo:
        getattr(direct, method)(data, "k")
    expected = error_text(lambda: orjson.dumps(data))
    assert str(excinfo.value) == expected
    assert log.lines == [] and raw.dbsize() == 0


def test_encoder_is_looked_up_at_each_call(direct, raw, monkeypatch):
    monkeypatch.setattr(rw, "orjson", types.SimpleNamespace(dumps=lambda d: b"custom:" + bytes(len(d))))
    assert direct._write_({"a": 1, "b": 2}, "k") is True
    assert raw.get("k") == b"custom:\x00\x00"


def test_failing_log_call_replaces_the_result(make_wrapper, dead_port, monkeypatch):
    class Broken:
        def error(self, message):
            raise LookupError("log sink gone")

    monkeypatch.setattr(rw, "logger", Broken())
    w = make_wrapper(thread=False, host="127.0.0.1", port=dead_port)
    with pytest.raises(LookupError, match="log sink gone") as excinfo:
        w._write_({"a": 1}, "k")
    assert isinstance(excinfo.value.__context__, redis.ConnectionError)


# ---- the worker ---------------------------------------------------------------------------

def test_queued_items_reach_the_server_in_order(background, raw, log):
    q = background._queue
    q.put(({"n": 1}, "ordered", 100))
    for n in range(2, 8):
        q.put(({"n": n}, f"other{n}", None))
    q.put(({"n": 8}, "ordered", None))
    q.put(({"n": 9}, "expiring", 5))
    assert drained(q)
    assert raw.get("ordered") == b'{"n":8}' and raw.ttl("ordered") == -1
    assert [raw.get(f"other{n}") for n in range(2, 8)] == [orjson.dumps({"n": n}) for n in range(2, 8)]
    assert 4 <= raw.ttl("expiring") <= 5
    assert log.lines == [] and background._worker.is_alive()


def test_idle_worker_keeps_running(background, raw, thread_errors):
    # Clearing the interpreter's attribute cache makes every lookup the slow way, as the
    # first lookups in a fresh process are; the idle worker must go on waiting regardless.
    # (3.13 renamed the call and deprecated the old name.)
    clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
    deadline = time.monotonic() + 0.7
    while time.monotonic() < deadline:
        clear_caches()
        time.sleep(0.002)
    assert thread_errors == [] and background._worker.is_alive()
    background._queue.put(({"a": 1}, "late", None))
    assert drained(background._queue, timeout=2)
    assert raw.get("late") == b'{"a":1}'


def _bad_items():
    two = ({"a": 1}, "k")
    four = [{"a": 1}, "k", None, 4]
    return [
        (two, repr(two), "need more than 2 values to unpack"),
        ([{"a": 1}], repr([{"a": 1}]), "need more than 1 value to unpack"),
        ((), "()", "need more than 0 values to unpack"),
        (four, repr(four), "too many values to unpack (expected 3)"),
        # The host's TypeError for an item that cannot be iterated: either wording it uses.
        (5, "5", ("'int' object is not iterable", "cannot unpack non-iterable int object")),
        (({"a": 1}, 5, None), repr(({"a": 1}, 5, None)),
         "Argument 'redis_key' has incorrect type (expected str, got int)"),
        ((None, "bad", None), "bad", "Argument 'data' has incorrect type (expected dict, got NoneType)"),
        (({1: "x"}, "bad", None), "bad", error_text(lambda: orjson.dumps({1: "x"}))),
    ]


@pytest.mark.parametrize("item, shown, text", _bad_items(),
                         ids=["two", "one", "empty", "four", "non-iterable", "int-key",
                              "none-data", "unencodable"])
def test_worker_logs_a_bad_item_and_goes_on(background, raw, log, thread_errors, item, shown, text):
    q = background._queue
    q.put(item)
    q.put(({"ok": True}, "next", None))
    assert drained(q)
    texts = text if isinstance(text, tuple) else (text,)
    assert len(log.lines) == 1 and log.lines[0] in [("error", f"{PREFIX}{shown}` - {t}") for t in texts]
    assert raw.get("next") == b'{"ok":true}' and raw.dbsize() == 1
    assert background._worker.is_alive() and thread_errors == []


def test_items_queued_at_shutdown_are_not_written(background, raw):
    entered, release = threading.Event(), threading.Event()
    real_write = background._write_

    def held_write(*args):
        entered.set()
        release.wait(5)
        return real_write(*args)

    background._write_ = held_write  # looked up on the instance for every item
    q, worker = background._queue, background._worker
    q.put(({"n": 1}, "first", None))
    assert entered.wait(5)
    q.put(({"n": 2}, "second", None))
    q.put(({"n": 3}, "third", None))
    background._shutdown_executor()  # the join times out: the worker is held inside a write
    assert background._queue is None and worker.is_alive()
    release.set()
    worker.join(2)
    assert not worker.is_alive()
    assert raw.get("first") == b'{"n":1}' and raw.dbsize() == 1
    assert q.qsize() == 2


def test_loop_returns_at_once_when_the_stop_event_is_already_set(direct):
    q = queue.Queue()
    q.put(({"a": 1}, "k", None))
    direct._queue = q
    direct._stop_evt.set()
    assert direct._worker_loop() is None
    assert q.qsize() == 1 and q.unfinished_tasks == 1


class ScriptedQueue:
    """A queue whose get follows a script: an exception to raise or an item to return.
    When the script runs out it sets the owner's stop event and reports Empty."""

    def __init__(self, owner, script, empty=queue.Empty):
        self.owner, self.script, self.empty, self.gets, self.done = owner, list(script), empty, [], 0

    def get(self, *args, **kwargs):
        self.gets.append((args, kwargs))
        if not self.script:
            self.owner._stop_evt.set()
            raise self.empty()
        step = self.script.pop(0)
        if isinstance(step, BaseException):
            raise step
        return step

    def task_done(self):
        self.done += 1
        raise ValueError("task_done() called too many times")


def test_loop_waits_in_short_takes_and_ignores_task_done_errors(direct, raw, log):
    q = direct._queue = ScriptedQueue(direct, [queue.Empty(), ({"a": 1}, "k1", None), queue.Empty(),
                                               ({"b": 2}, "k2", 7)])
    assert direct._worker_loop() is None
    assert q.gets == [((), {"timeout": 0.2})] * 5
    assert q.done == 2 and log.lines == []
    assert raw.get("k1") == b'{"a":1}' and raw.get("k2") == b'{"b":2}'


def test_queue_empty_is_looked_up_in_the_module_namespace(direct, monkeypatch):
    class OtherEmpty(Exception):
        pass

    monkeypatch.setattr(rw, "queue", types.SimpleNamespace(Empty=OtherEmpty, Full=queue.Full))
    direct._queue = ScriptedQueue(direct, [OtherEmpty(), OtherEmpty()], empty=OtherEmpty)
    assert direct._worker_loop() is None
    direct._stop_evt.clear()
    direct._queue = ScriptedQueue(direct, [queue.Empty()])
    with pytest.raises(queue.Empty):
        direct._worker_loop()


def test_base_exception_from_write_ends_the_worker_after_the_mark(background, thread_errors):
    halt = Halt("stop now")

    def halting_write(*args):
        raise halt

    background._write_ = halting_write
    q = background._queue
    q.put(({"a": 1}, "k1", None))
    q.put(({"a": 2}, "k2", None))
    background._worker.join(2)
    assert not background._worker.is_alive()
    assert thread_errors == [halt]
    assert q.qsize() == 1 and q.unfinished_tasks == 1  # the first item was marked done

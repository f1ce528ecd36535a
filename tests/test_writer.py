"""The record write _write_ (compact JSON, expiry, logged store failures) and the worker
loop that drains the write queue, against the real server."""

import queue
import sys
import threading
import time
import types

import orjson
import pytest
import redis

import zarn_sdk.redis.redis_wrapper as rw

PREFIX = "Failed to write data to redis`"


class Halt(BaseException):
    pass


@pytest.fixture
def background(make_wrapper, server):
    return make_wrapper(host=server.host, port=server.port, workers=10)


@pytest.fixture
def thread_errors(monkeypatch):
    """Exceptions that end a thread, as threading reports them."""
    seen = []
    monkeypatch.setattr(threading, "excepthook", lambda args: seen.append(args.exc_value))
    return seen


def drain(q, timeout=5.0):
    """Waits until every item put on q is marked done (Queue.join with a time limit)."""
    deadline = time.monotonic() + timeout
    while q.unfinished_tasks and time.monotonic() < deadline:
        time.sleep(0.005)
    assert q.unfinished_tasks == 0, "the worker did not mark every item done"


def redis_error(client_call):
    try:
        client_call()
    except Exception as e:
        return str(e)
    raise AssertionError("expected the client to fail")


# ---- _write_ ------------------------------------------------------------------------------

@pytest.mark.parametrize("data, stored", [
    ({"a": 1}, b'{"a":1}'),
    ({"z": [1, 2.5, None], "a": {"b": True}}, b'{"z":[1,2.5,null],"a":{"b":true}}'),
    ({"caf\u00e9": "\u2603 \U0001f600"}, '{"caf\u00e9":"\u2603 \U0001f600"}'.encode()),
    ({}, b"{}"),
])
def test_record_is_stored_as_compact_json(direct, raw, log, data, stored):
    assert direct._write_(data, "frame:1") is True
    assert raw.get("frame:1") == stored == orjson.dumps(data)
    assert raw.ttl("frame:1") == -1 and log.lines == []


def test_ttl_sets_and_none_removes_the_expiry(direct, raw):
    assert direct._write_({"a": 1}, "k", 5) is True
    assert 4 <= raw.ttl("k") <= 5
    assert direct._write_({"a": 2}, "k", None) is True
    assert raw.ttl("k") == -1 and raw.get("k") == b'{"a":2}'
    raw.set("plain", "v", ex=100)
    assert direct._write_(data={"b": 1}, redis_key="plain") is True and raw.ttl("plain") == -1


@pytest.mark.parametrize("ttl", [0, -1, 10**30])
def test_refused_expiry_logs_one_line_and_gives_false(direct, raw, log, ttl):
    expected = redis_error(lambda: raw.set("k", b'{"a":1}', ex=ttl))
    assert direct._write_({"a": 1}, "k", ttl) is False
    assert log.lines == [("error", f"{PREFIX}k` - {expected}")]
    assert raw.exists("k") == 0


def test_unreachable_server_logs_one_line_and_gives_false(make_wrapper, dead_port, log):
    w = make_wrapper(thread=False, host="127.0.0.1", port=dead_port)
    expected = redis_error(lambda: w._redis_client.set("k", b"{}"))
    assert w._write_({"a": 1}, "cam:7", 3) is False
    assert log.lines == [("error", f"{PREFIX}cam:7` - {expected}")]


class FakeClient:
    def __init__(self, behaviour):
        self.behaviour, self.calls = behaviour, []

    def set(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.behaviour()


class Undecided:
    def __bool__(self):
        raise ValueError("reply has no truth")


def _raise(exc):
    raise exc


@pytest.mark.parametrize("behaviour, result, line", [
    (lambda: "OK", True, None),
    (lambda: b"OK", True, None),
    (lambda: 0, False, None),
    (lambda: None, False, None),
    (lambda: _raise(Exception()), False, f"{PREFIX}key` - "),
    (lambda: _raise(KeyError("x")), False, f"{PREFIX}key` - 'x'"),
    (lambda: Undecided(), False, f"{PREFIX}key` - reply has no truth"),
], ids=["ok", "bytes-ok", "zero", "none", "empty-error-text", "keyerror", "reply-truth-raises"])
def test_reply_truth_and_store_failures(direct, log, behaviour, result, line):
    direct._redis_client = FakeClient(behaviour)
    assert direct._write_({"x": 1}, "key", 9) is result
    assert direct._write_({}, "key") is result  # ex is passed even when it is None
    assert direct._redis_client.calls == [(("key", b'{"x":1}'), {"ex": 9}), (("key", b"{}"), {"ex": None})]
    assert log.lines == ([("error", line)] * 2 if line else [])


def test_missing_client_is_a_logged_store_failure(direct, log):
    del direct._redis_client
    assert direct._write_({}, "k") is False
    assert len(log.lines) == 1 and log.lines[0][1].startswith(f"{PREFIX}k` - ")
    assert "_redis_client" in log.lines[0][1]


@pytest.mark.parametrize("data", [{1: "int key"}, {"a": object()}, {"a": 2**70}])
def test_encoder_error_reaches_a_direct_caller_unlogged(direct, raw, log, data):
    with pytest.raises(orjson.JSONEncodeError) as excinfo:
        direct._write_(data, "k")
    expected = redis_error(lambda: orjson.dumps(data))
    assert str(excinfo.value) == expected
    assert log.lines == [] and raw.dbsize() == 0


def test_encoder_is_looked_up_at_each_call(direct, raw, monkeypatch):
    monkeypatch.setattr(rw, "orjson", types.SimpleNamespace(dumps=lambda d: b"custom:" + bytes(len(d))))
    assert direct._write_({"a": 1, "b": 2}, "k") is True
    assert raw.get("k") == b"custom:\x00\x00"


@pytest.mark.parametrize("args", [
    (None, "k"), ({"a": 1}, None), ({"a": 1}, "k", True), ({"a": 1}, b"k"), ({"a": 1}, "k", 5.0),
])
def test_refused_arguments_send_and_log_nothing(direct, raw, log, args):
    with pytest.raises(TypeError, match="^Argument '"):
        direct._write_(*args)
    assert raw.dbsize() == 0 and log.lines == []


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
    drain(q)
    assert raw.get("ordered") == b'{"n":8}' and raw.ttl("ordered") == -1
    assert [raw.get(f"other{n}") for n in range(2, 8)] == [orjson.dumps({"n": n}) for n in range(2, 8)]
    assert 4 <= raw.ttl("expiring") <= 5
    assert log.lines == [] and background._worker.is_alive()


def test_idle_worker_keeps_running(background, raw, thread_errors):
    # Clearing the interpreter's attribute cache makes every lookup the slow way, as the
    # first lookups in a fresh process are; the idle worker must go on waiting regardless.
    deadline = time.monotonic() + 0.7
    while time.monotonic() < deadline:
        sys._clear_type_cache()
        time.sleep(0.002)
    assert thread_errors == [] and background._worker.is_alive()
    background._queue.put(({"a": 1}, "late", None))
    drain(background._queue, timeout=2)
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
        (({"a": 1}, "bad", True), "bad", "Argument 'ttl' has incorrect type (expected int, got bool)"),
        (({1: "x"}, "bad", None), "bad", redis_error(lambda: orjson.dumps({1: "x"}))),
    ]


@pytest.mark.parametrize("item, shown, text", _bad_items(),
                         ids=["two", "one", "empty", "four", "non-iterable", "int-key",
                              "none-data", "bool-ttl", "unencodable"])
def test_worker_logs_a_bad_item_and_goes_on(background, raw, log, thread_errors, item, shown, text):
    q = background._queue
    q.put(item)
    q.put(({"ok": True}, "next", None))
    drain(q)
    texts = text if isinstance(text, tuple) else (text,)
    assert len(log.lines) == 1 and log.lines[0] in [("error", f"{PREFIX}{shown}` - {t}") for t in texts]
    assert raw.get("next") == b'{"ok":true}' and raw.dbsize() == 1
    assert background._worker.is_alive() and thread_errors == []


def test_worker_goes_on_when_the_log_call_fails(background, raw, monkeypatch):
    class Broken:
        def error(self, message):
            raise LookupError("log sink gone")

    unraisable = []
    monkeypatch.setattr(rw, "logger", Broken())
    monkeypatch.setattr(sys, "unraisablehook", lambda u: unraisable.append(u.exc_value))
    q = background._queue
    q.put(({1: "unencodable"}, "bad", None))
    q.put(({"ok": 1}, "next", None))
    drain(q)
    assert raw.get("next") == b'{"ok":1}' and background._worker.is_alive()
    assert [type(e) for e in unraisable] == [LookupError]


def test_worker_goes_on_while_the_server_is_unreachable(make_wrapper, dead_port, log):
    w = make_wrapper(host="127.0.0.1", port=dead_port, workers=5)
    for n in range(3):
        w._queue.put(({"n": n}, f"k{n}", None))
    drain(w._queue)
    assert [line[1].split("` - ")[0] for line in log.wait_for(3)] == [f"{PREFIX}k{n}" for n in range(3)]
    assert w._worker.is_alive()


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


def test_other_take_errors_end_the_loop(direct):
    direct._queue = ScriptedQueue(direct, [queue.Empty(), OSError("queue broke")])
    with pytest.raises(OSError, match="queue broke"):
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

"""Frame records: write_zarn_data (delete, queue with drop-oldest, synchronous write) and
read_zarn_data (JSON decoding, failures logged as warnings and turned into None)."""

import queue
import sys
import threading
import time

import orjson
import pytest
import redis

import zarn_sdk.redis.redis_wrapper as rw

from helpers import BytesSub, drained, error_text

FRAME = {"id": 7, "cam": "north", "ts": 1717000000.25, "boxes": [[1, 2, 30, 40]],
         "ok": True, "label": "\u00e9"}
FRAME_JSON = (b'{"id":7,"cam":"north","ts":1717000000.25,"boxes":[[1,2,30,40]],'
              b'"ok":true,"label":"\xc3\xa9"}')


def refused_text(port):
    """What the client says when nothing listens on port (a pool client, which does not retry)."""
    pool = redis.ConnectionPool(host="127.0.0.1", port=port)
    return error_text(lambda: redis.StrictRedis(connection_pool=pool).get("x"))


@pytest.fixture
def held(make_wrapper, server):
    """A background-writer instance (queue capacity 4) whose worker has been stopped, so
    writes stay queued; held.resume() runs the instance's own worker loop on a new thread."""
    w = make_wrapper(host=server.host, port=server.port, workers=4)
    w._stop_evt.set()
    w._worker.join(10)
    assert not w._worker.is_alive()
    w._stop_evt.clear()
    threads = []

    def resume():
        t = threading.Thread(target=w._worker_loop, daemon=True)
        t.start()
        threads.append(t)

    w.resume = resume
    yield w
    w._stop_evt.set()
    for t in threads:
        t.join(10)


class FakeQueue:
    """A queue whose operations follow a script: per operation, a list of outcomes, each an
    exception to raise or a value to return."""

    def __init__(self, put_nowait=(), get_nowait=(), task_done=()):
        self.script = {"put_nowait": list(put_nowait), "get_nowait": list(get_nowait),
                       "task_done": list(task_done)}
        self.calls = []

    def _do(self, name, *args):
        self.calls.append((name, *args))
        outcome = self.script[name].pop(0)
        if isinstance(outcome, BaseException):
            raise outcome.with_traceback(None)  # shared instances: keep no old frames alive
        return outcome

    def put_nowait(self, item):
        return self._do("put_nowait", item)

    def get_nowait(self):
        return self._do("get_nowait")

    def task_done(self):
        return self._do("task_done")


# ---------------------------------------------------------------- write_zarn_data


@pytest.mark.parametrize("mode", ["direct", "background"])
def test_frames_stored_as_compact_json_with_ttl_and_read_back(request, raw, log, mode):
    w = request.getfixturevalue(mode)
    assert w.write_zarn_data(FRAME, "f", 30) is True
    assert w.write_zarn_data(data={}, redis_key="empty") is True
    assert w.write_zarn_data({"n": 1}, "far", ttl=2**40) is True
    assert w._queue is None or drained(w._queue)
    assert raw.get("f") == FRAME_JSON and 20 < raw.ttl("f") <= 30
    assert raw.get("empty") == b"{}" and raw.ttl("empty") == -1
    assert raw.ttl("far") in (2**40, 2**40 - 1)
    assert w.read_zarn_data("f") == FRAME and w.read_zarn_data(redis_key="missing") is None
    assert w.write_zarn_data({"n": 2}, "f") is True
    assert w._queue is None or drained(w._queue)
    assert raw.get("f") == b'{"n":2}' and raw.ttl("f") == -1
    assert log.lines == []


@pytest.mark.parametrize("mode", ["direct", "held"])
def test_none_deletes_the_key_and_leaves_the_queue_alone(request, raw, mode):
    w = request.getfixturevalue(mode)
    waiting = {"q": 1}
    if w._queue is not None:
        assert w.write_zarn_data(waiting, "queued") is True
    raw.set("k", "v")
    assert w.write_zarn_data(None, "k", 5) is True
    assert raw.exists("k") == 0
    assert w.write_zarn_data(data=None, redis_key="k") is False
    if w._queue is not None:
        assert list(w._queue.queue) == [(waiting, "queued", None)]
        assert w._queue.unfinished_tasks == 1


def test_delete_does_not_cancel_a_queued_write_and_reads_see_the_old_value(held, raw):
    raw.set("k", b'{"v":1}')
    assert held.write_zarn_data({"v": 2}, "k") is True
    assert held.read_zarn_data("k") == {"v": 1}
    assert held.write_zarn_data(None, "k") is True
    assert raw.exists("k") == 0
    held.resume()
    assert drained(held._queue)
    assert raw.get("k") == b'{"v":2}'


FULL, EMPTY, INTERRUPT = queue.Full(), queue.Empty(), KeyboardInterrupt()
RACES = {
    # first put fails with Full; the worker emptied the queue before the take: nothing dropped
    "take-finds-queue-empty": ([FULL, None], [EMPTY], [], "put get put", "queued"),
    "oldest-dropped": ([FULL, None], ["old"], [None], "put get done put", "queued"),
    "take-error-swallowed": ([FULL, None], [RuntimeError()], [], "put get put", "queued"),
    "done-error-swallowed": ([FULL, None], ["old"], [ValueError()], "put get done put", "queued"),
    # other callers refilled the queue before the second put: written on the caller's thread
    "refilled-before-second-put": ([FULL, FULL], ["old"], [None], "put get done put", "written"),
    "second-put-error": ([FULL, RuntimeError()], [EMPTY], [], "put get put", "written"),
    "first-put-error": ([RuntimeError()], [], [], "put", RuntimeError),
    "first-put-not-full": ([EMPTY], [], [], "put", queue.Empty),
    "second-put-interrupted": ([FULL, INTERRUPT], [EMPTY], [], "put get put", KeyboardInterrupt),
    "take-interrupted": ([FULL], [INTERRUPT], [], "put get", KeyboardInterrupt),
}


@pytest.mark.parametrize("puts, gets, dones, calls, outcome", RACES.values(), ids=RACES)
def test_full_queue_races(direct, raw, log, puts, gets, dones, calls, outcome):
    fake = FakeQueue(put_nowait=puts, get_nowait=gets, task_done=dones)
    direct._use_thread, direct._queue = True, fake
    frame = {"n": 1}
    if isinstance(outcome, str):
        assert direct.write_zarn_data(frame, "k", 60) is True
    else:
        with pytest.raises(outcome):
            direct.write_zarn_data(frame, "k", 60)
    names = {"put_nowait": "put", "get_nowait": "get", "task_done": "done"}
    assert " ".join(names[c[0]] for c in fake.calls) == calls
    for call in fake.calls:
        if call[0] == "put_nowait":
            assert call[1] == (frame, "k", 60) and call[1][0] is frame
    assert all(not left for left in fake.script.values())
    assert raw.get("k") == (b'{"n":1}' if outcome == "written" else None)
    assert log.lines == []


def test_full_is_looked_up_on_the_module_at_use(direct, monkeypatch):
    class OtherFull(Exception):
        pass

    monkeypatch.setattr(rw, "queue", type("Q", (), {"Full": OtherFull, "Empty": queue.Empty}))
    direct._use_thread = True
    direct._queue = fake = FakeQueue(put_nowait=[OtherFull(), None], get_nowait=["old"],
                                     task_done=[None])
    assert direct.write_zarn_data({}, "k") is True
    assert len(fake.calls) == 4
    direct._queue = FakeQueue(put_nowait=[FULL])
    with pytest.raises(queue.Full):
        direct.write_zarn_data({}, "k")


@pytest.mark.parametrize("road", ["direct", "queue-is-none", "after-shutdown", "fallback"])
def test_synchronous_roads_return_the_store_result(make_wrapper, server, raw, log, road):
    w = make_wrapper(thread=road == "after-shutdown", host=server.host, port=server.port)
    if road == "queue-is-none":
        w._use_thread = True
    elif road == "after-shutdown":
        w._shutdown_executor()
        assert w._use_thread is False and w._queue is None
    elif road == "fallback":
        w._use_thread = True
        w._queue = FakeQueue(put_nowait=[FULL] * 4, get_nowait=[EMPTY] * 2)
    assert w.write_zarn_data({"a": 1}, "k", 60) is True
    # Stored before the call returned: no worker is left to write it later.
    assert raw.get("k") == b'{"a":1}' and 50 < raw.ttl("k") <= 60
    assert w.write_zarn_data({"a": 2}, "k", 0) is False
    assert raw.get("k") == b'{"a":1}'
    refused = error_text(lambda: raw.set("x", "y", ex=0))
    assert log.lines == [("error", f"Failed to write data to redis`k` - {refused}")]


class Answer:
    """A result whose truth is `truth`, or whose truth test raises it."""

    def __init__(self, truth):
        self.truth = truth

    def __bool__(self):
        if isinstance(self.truth, BaseException):
            raise self.truth
        return self.truth


class Overriding(rw.RedisWrapper):
    """Overrides the two methods that write_zarn_data calls, answering with `answer`."""

    answer = None

    def delete_data(self, redis_key, /):
        return self.answer

    def _write_(self, data, redis_key, ttl=None, /):
        return self.answer


@pytest.mark.parametrize("road", ["delete", "direct", "fallback"])
@pytest.mark.parametrize("answer, result", [(1, True), ("stored", True), (0, False),
                                            (Answer(True), True), (Answer(False), False)])
def test_results_of_overriding_methods_become_exact_bools(road, answer, result):
    w = Overriding(False)
    w.answer = answer
    if road == "fallback":
        w._use_thread = True
        w._queue = FakeQueue(put_nowait=[FULL] * 2, get_nowait=[EMPTY])
    assert w.write_zarn_data(None if road == "delete" else {"a": 1}, "k") is result


def test_a_failing_truth_test_of_a_result_reaches_the_caller():
    w = Overriding(False)
    w.answer = Answer(ZeroDivisionError("no truth"))
    with pytest.raises(ZeroDivisionError, match="no truth"):
        w.write_zarn_data({"a": 1}, "k")


def test_background_write_to_unreachable_server_is_logged_later(make_wrapper, dead_port, log):
    w = make_wrapper(host="127.0.0.1", port=dead_port, workers=4)
    for i in range(3):
        assert w.write_zarn_data({"i": i}, f"k{i}") is True
    assert drained(w._queue)
    refused = refused_text(dead_port)
    assert log.wait_for(3) == [
        ("error", f"Failed to write data to redis`k{i}` - {refused}") for i in range(3)
    ]
    assert w._worker.is_alive()


def test_writers_survive_a_concurrent_shutdown(make_wrapper, server, raw, log):
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)  # many more thread switches inside the queue operations
    try:
        for _ in range(3):
            w = make_wrapper(host=server.host, port=server.port, workers=1)
            errors, results = [], []
            calls = [0] * 6
            stopped = threading.Event()

            def writer(n):
                try:
                    while not stopped.is_set():
                        results.append(w.write_zarn_data({"n": n, "i": calls[n]}, f"w{n}"))
                        calls[n] += 1
                    # The shutdown is over and the worker has ended: this write is synchronous.
                    results.append(w.write_zarn_data({"n": n, "final": True}, f"w{n}"))
                except BaseException as err:
                    errors.append(err)

            threads = [threading.Thread(target=writer, args=(n,)) for n in range(6)]
            for t in threads:
                t.start()
            deadline = time.monotonic() + 20
            while min(calls) < 20 and time.monotonic() < deadline and not errors:
                time.sleep(0.005)
            w._shutdown_executor()
            w._worker.join(10)
            stopped.set()
            for t in threads:
                t.join(30)
            assert not any(t.is_alive() for t in threads)
            assert errors == [] and len(results) > 6 and all(r is True for r in results)
            assert w._queue is None and w._use_thread is False and not w._worker.is_alive()
            for n in range(6):
                assert raw.get(f"w{n}") == orjson.dumps({"n": n, "final": True})
        assert log.lines == []
    finally:
        sys.setswitchinterval(old_interval)


# ---------------------------------------------------------------- read_zarn_data


@pytest.mark.parametrize(
    "stored, expected",
    [(b"-1.5e3", -1500.0), (b"[1,[2],{}]", [1, [2], {}]), (b'"s"', "s"), (b"null", None)],
)
def test_any_json_value_is_returned_decoded(direct, raw, log, stored, expected):
    raw.set("k", stored)
    result = direct.read_zarn_data("k")
    assert result == expected and type(result) is type(expected)
    assert log.lines == []


@pytest.mark.parametrize("stored", [b"abc", b"", b'{"a":', b"\xff\xfe", ["a list"]])
def test_unreadable_value_logs_one_warning(direct, raw, log, stored):
    if isinstance(stored, list):  # the server refuses GET on a list: WRONGTYPE
        raw.rpush("cam7", *stored)
        text = error_text(lambda: raw.get("cam7"))
    else:
        raw.set("cam7", stored)
        text = error_text(lambda: orjson.loads(stored))
    assert direct.read_zarn_data("cam7") is None
    assert log.lines == [("warning", f"Failed to get redis frame from cam7 - {text}")]


def test_unreachable_server_logs_one_warning_per_call(make_wrapper, dead_port, log):
    w = make_wrapper(thread=False, host="127.0.0.1", port=dead_port)
    assert [w.read_zarn_data("k") for _ in range(3)] == [None, None, None]
    refused = refused_text(dead_port)
    assert log.lines == [("warning", f"Failed to get redis frame from k - {refused}")] * 3


def test_reads_go_through_the_instance_read_data(direct, log):
    marker = object()
    replies = iter([b'{"x":1}', BytesSub(b"[2]"), "[1]", marker, None])
    calls = []

    def fake_read_data(*args, **kwargs):
        calls.append((args, kwargs))
        return next(replies)

    direct.read_data = fake_read_data
    results = [direct.read_zarn_data("cam7") for _ in range(5)]
    # Only byte strings are decoded; a bytes subclass goes to orjson too, which refuses it.
    assert results[:3] == [{"x": 1}, None, "[1]"]
    assert results[3] is marker and results[4] is None
    assert calls == [((), {"redis_key": "cam7"})] * 5
    text = error_text(lambda: orjson.loads(BytesSub(b"[2]")))
    assert log.lines == [("warning", f"Failed to get redis frame from cam7 - {text}")]


@pytest.mark.parametrize(
    "error, line",
    [(RuntimeError("boom"), "Failed to get redis frame from cam7 - boom"),
     (ValueError(), "Failed to get redis frame from cam7 - "),
     (KeyboardInterrupt(), None)],
)
def test_read_data_errors(direct, log, error, line):
    def failing_read_data(redis_key):
        raise error

    direct.read_data = failing_read_data
    if line is None:
        with pytest.raises(KeyboardInterrupt):
            direct.read_zarn_data("cam7")
        assert log.lines == []
    else:
        assert direct.read_zarn_data("cam7") is None
        assert log.lines == [("warning", line)]

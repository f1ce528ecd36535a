"""Reference counts and memory. Every method, on its success path and on each failure path,
leaves the reference counts of its arguments (and of the instance) as they were over many
calls; queued items give their objects back once written; memory stays flat while a stalled
server makes the queue drop records. The bulk runs on fakes without I/O. The count of the
interpreter's memory blocks also catches a temporary that is kept per call."""

import gc
import os
import queue
import sys
import time
import types
from pathlib import Path

import pytest
import redis

import zarn_sdk.redis.redis_wrapper as rw

from helpers import BytesSub, DictSub, Halt, IntSub, ListSub, StrSub, Undecided, drained

N = 100_000
# A call to the port where nothing listens costs ~65 us of redis-py work. The comparison is
# exact, so a leak of even one reference per call shows after a few thousand calls.
N_DEAD = 3_000
SANITIZED = "libasan" in Path("/proc/self/maps").read_text()


class BadStr(Exception):
    """An error whose text cannot be made."""

    def __str__(self):
        raise ValueError("no text")


def raiser(make):
    def op(*args, **kwargs):
        raise make()
    return op


# Replies are made anew at each call, so that a reply kept by mistake shows as memory blocks.
REPLIES = {"set": lambda *a, **k: True, "get": lambda key: b'{"seq":%d}' % 7, "delete": lambda *keys: len(keys),
           "scan_iter": lambda match: iter([b"a", "b", BytesSub(b"c")])}
ERRORS = {"fail": lambda: redis.ConnectionError("refused"), "badlog": lambda: redis.ConnectionError("refused"),
          "badstr": BadStr, "halt": Halt}
ODD_REPLIES = {"badreply": {"delete": lambda *keys: "two"}, "nokey": {"get": lambda key: None},
               "badkey": {"scan_iter": lambda match: iter([b"a", b"\xff"]), "get": lambda key: bytes([255, 255])}}


class Counter:
    """Stands in for the logger (error, warning) and for sys.unraisablehook; keeps nothing."""

    def __init__(self, broken=False):
        self.count, self.broken = 0, broken

    def __call__(self, *args):
        if self.broken:
            raise LookupError("log sink gone")
        self.count += 1

    error = warning = __call__


def objects():
    """Fresh objects that nothing else refers to, so their counts are ours alone."""
    o = types.SimpleNamespace(key="".join(["cam", ":7"]), data={"seq": int("7007")}, ttl=int("90061"),
                              host="".join(["127.0.", "0.1"]), port=int("6380"), workers=int("3000"),
                              off=[], on=[1], undecided=Undecided(), bad_key=StrSub("k"), bad_int=IntSub(5),
                              bad_dict=DictSub(a=1), bad_list=ListSub(), bad_float=float("2.5"),
                              unencodable={1: "int key"})
    o.keys, o.empty, o.kwargs = [o.key, "".join(["b", "2"])], [], {"redis_key": o.key}
    o.item, o.pair, o.bad_item = (o.data, o.key, o.ttl), (o.data, o.key), (o.unencodable, o.key, None)
    o.long, o.worker = [o.data, o.key, o.ttl, o.ttl], types.SimpleNamespace(join=lambda timeout: None)
    return o


def broken_iterator(o):
    yield o.data
    raise ValueError("iteration broke")


def loop(item_of, get=None, done=None, stop=(False, True)):
    """_worker_loop over one item, with fakes for the stop event and the queue."""
    def call(w, o):
        item = item_of(o)
        w._stop_evt = types.SimpleNamespace(is_set=iter(stop).__next__)
        w._queue = types.SimpleNamespace(get=get or (lambda timeout: item), task_done=done or (lambda: None))
        return w._worker_loop()
    return call


class AlwaysFull:
    """A queue that is full and has nothing to give: the synchronous fallback write."""
    put_nowait = staticmethod(raiser(queue.Full))
    get_nowait = staticmethod(raiser(queue.Empty))


def queued(make_queue):
    def call(w, o):
        w._use_thread, w._queue = o.on, make_queue()
        return w.write_zarn_data(o.data, o.key, o.ttl)
    return call


TE, CE, AE = TypeError, redis.ConnectionError, AttributeError
LOG, UNRAISABLE = "one log line", "one unraisable"
# id: (environment, call, outcome). Environments: a fake client that answers ("ok", and the
# odd replies "badreply", "nokey", "badkey"), or raises ("fail"; "badstr": its str() raises; "halt":
# not an Exception; "badlog": the logger raises too); "dead": the real client on the port
# where nothing listens; "gone": no _redis_client and no _worker; "modules": fakes of
# redis, threading, queue and atexit for the constructor. Outcome: the exception each call
# raises, None, or one log line / one unraisable report per call.
# The argument binding and checks run before any method's body, the same for all: a refused
# argument of each checked type and a call of each shape that does not fit stand for all.
CASES = {
    "init-direct": ("modules", lambda w, o: w.__init__(o.off, o.host, o.port, o.workers), None),
    "init-background": ("modules", lambda w, o: w.__init__(o.on, o.host, port=o.port, workers=o.workers), None),
    "init-thread-truth-raises": ("modules", lambda w, o: w.__init__(o.undecided, o.host), ValueError),
    "init-refused": ("modules", lambda w, o: w.__init__(o.off, o.host, o.bad_int, o.workers), TE),
    "shutdown": ("ok", lambda w, o: w._shutdown_executor(), None),
    "shutdown-join": ("ok", lambda w, o: (setattr(w, "_worker", o.worker), w._shutdown_executor()), None),
    "shutdown-no-worker": ("gone", lambda w, o: w._shutdown_executor(), None),
    "loop-item": ("ok", loop(lambda o: o.item), None),
    "loop-store-failure": ("fail", loop(lambda o: o.item), LOG),
    "loop-list-item": ("ok", loop(lambda o: list(o.item)), None),
    "loop-iterator-item": ("ok", loop(lambda o: iter(o.item)), None),
    "loop-short-item": ("ok", loop(lambda o: o.pair), LOG),
    "loop-short-iterator": ("ok", loop(lambda o: iter(o.pair)), LOG),
    "loop-long-item": ("ok", loop(lambda o: o.long), LOG),
    "loop-long-iterator": ("ok", loop(lambda o: iter(o.long)), LOG),
    "loop-iterator-raises": ("ok", loop(broken_iterator), LOG),
    "loop-not-iterable": ("ok", loop(lambda o: o.ttl), LOG),
    "loop-unencodable": ("ok", loop(lambda o: o.bad_item), LOG),
    "loop-unprintable-error": ("badstr", loop(lambda o: o.item), LOG),
    "loop-log-fails": ("badlog", loop(lambda o: o.item), UNRAISABLE),
    "loop-task-done-fails": ("ok", loop(lambda o: o.item, done=raiser(ValueError)), None),
    "loop-take-fails": ("ok", loop(lambda o: o.item, get=raiser(OSError), stop=(False,)), OSError),
    "loop-halt": ("halt", loop(lambda o: o.item), Halt),
    "loop-shape": ("ok", lambda w, o: w._worker_loop(o.key), TE),
    "write": ("ok", lambda w, o: w._write_(o.data, o.key, o.ttl), None),
    "write-store-failure": ("fail", lambda w, o: w._write_(o.data, redis_key=o.key), LOG),
    "write-no-client": ("gone", lambda w, o: w._write_(o.data, o.key, o.ttl), LOG),
    "write-log-fails": ("badlog", lambda w, o: w._write_(o.data, o.key, o.ttl), LookupError),
    "write-unprintable-error": ("badstr", lambda w, o: w._write_(o.data, o.key, o.ttl), ValueError),
    "write-unencodable": ("ok", lambda w, o: w._write_(o.unencodable, o.key), TE),
    "write-refused-ttl": ("ok", lambda w, o: w._write_(o.data, o.key, o.bad_int), TE),
    "write-shape": ("ok", lambda w, o: w._write_(o.data, o.key, o.ttl, redis_key=o.key), TE),
    "write-dead": ("dead", lambda w, o: w._write_(o.data, o.key, o.ttl), LOG),
    "frame-direct": ("ok", lambda w, o: w.write_zarn_data(o.data, o.key, o.ttl), None),
    "frame-drop-oldest": ("ok", queued(lambda: queue.Queue(1)), None),
    "frame-fallback": ("ok", queued(AlwaysFull), None),
    "frame-put-fails": ("ok", queued(lambda: types.SimpleNamespace(put_nowait=raiser(OSError))), OSError),
    "frame-delete": ("ok", lambda w, o: w.write_zarn_data(None, o.key), None),
    "frame-mode-truth-raises": ("ok", lambda w, o: (setattr(w, "_use_thread", o.undecided),
                                                     w.write_zarn_data(o.data, o.key)), ValueError),
    "frame-refused": ("ok", lambda w, o: w.write_zarn_data(o.bad_dict, o.key, o.ttl), TE),
    "frame-shape": ("ok", lambda w, o: w.write_zarn_data(o.data, o.key, o.ttl, o.key), TE),
    "frame-dead": ("dead", lambda w, o: w.write_zarn_data(o.data, o.key), LOG),
    "read": ("ok", lambda w, o: w.read_zarn_data(o.key), None),
    "read-missing-key": ("nokey", lambda w, o: w.read_zarn_data(o.key), None),
    "read-fetch-failure": ("fail", lambda w, o: w.read_zarn_data(redis_key=o.key), LOG),
    "read-not-json": ("badkey", lambda w, o: w.read_zarn_data(o.key), LOG),
    "read-no-client": ("gone", lambda w, o: w.read_zarn_data(o.key), LOG),
    "read-log-fails": ("badlog", lambda w, o: w.read_zarn_data(o.key), LookupError),
    "read-unprintable-error": ("badstr", lambda w, o: w.read_zarn_data(o.key), ValueError),
    "read-refused": ("ok", lambda w, o: w.read_zarn_data(redis_key=o.bad_key), TE),
    "read-shape": ("ok", lambda w, o: w.read_zarn_data(o.key, key=o.key), TE),
    "read-dead": ("dead", lambda w, o: w.read_zarn_data(o.key), LOG),
    "write_data-dict": ("ok", lambda w, o: w.write_data(o.key, o.data, o.ttl), None),
    "write_data-other": ("ok", lambda w, o: w.write_data(o.key, o.keys), None),
    "write_data-failure": ("fail", lambda w, o: w.write_data(o.key, o.data, o.ttl), CE),
    "write_data-unencodable": ("ok", lambda w, o: w.write_data(o.key, o.unencodable), TE),
    "write_data-no-client": ("gone", lambda w, o: w.write_data(o.key, o.data), AE),
    "write_data-refused": ("ok", lambda w, o: w.write_data(o.key, o.data, o.bad_float), TE),
    "write_data-shape": ("ok", lambda w, o: w.write_data(o.key), TE),
    "write_data-dead": ("dead", lambda w, o: w.write_data(o.key, o.data), CE),
    "read_data": ("ok", lambda w, o: w.read_data(o.key), None),
    "read_data-class-kwargs": ("ok", lambda w, o: rw.RedisWrapper.read_data(w, **o.kwargs), None),
    "read_data-failure": ("fail", lambda w, o: w.read_data(o.key), CE),
    "read_data-no-client": ("gone", lambda w, o: w.read_data(o.key), AE),
    "read_data-dead": ("dead", lambda w, o: w.read_data(o.key), CE),
    "delete": ("ok", lambda w, o: w.delete_data(o.key), None),
    "delete-failure": ("fail", lambda w, o: w.delete_data(o.key), CE),
    "delete-no-client": ("gone", lambda w, o: w.delete_data(o.key), AE),
    "delete-dead": ("dead", lambda w, o: w.delete_data(o.key), CE),
    "delete_many": ("ok", lambda w, o: w.delete_many(o.keys), None),
    "delete_many-empty": ("gone", lambda w, o: w.delete_many(o.empty), None),
    "delete_many-bad-reply": ("badreply", lambda w, o: w.delete_many(o.keys), TE),
    "delete_many-failure": ("fail", lambda w, o: w.delete_many(o.keys), CE),
    "delete_many-refused": ("ok", lambda w, o: w.delete_many(o.bad_list), TE),
    "delete_many-dead": ("dead", lambda w, o: w.delete_many(o.keys), CE),
    "scan": ("ok", lambda w, o: w.scan_keys(o.key), None),
    "scan-not-utf8": ("badkey", lambda w, o: w.scan_keys(o.key), UnicodeDecodeError),
    "scan-failure": ("fail", lambda w, o: w.scan_keys(o.key), CE),
    "scan-no-client": ("gone", lambda w, o: w.scan_keys(o.key), AE),
    "scan-dead": ("dead", lambda w, o: w.scan_keys(o.key), CE),
}


@pytest.fixture
def env(monkeypatch, make_wrapper, dead_port):
    """Builds an instance in one of the environments of CASES; returns it with the logger
    and the unraisable hook, both counting."""

    def setup(kind, thread=False):
        logger, unraisable = Counter(broken=kind == "badlog"), Counter()
        monkeypatch.setattr(rw, "logger", logger)
        monkeypatch.setattr(sys, "unraisablehook", unraisable)
        w = make_wrapper(thread=thread, host="127.0.0.1", port=dead_port)
        if kind == "gone":
            del w._redis_client, w._worker
        elif kind == "modules":
            monkeypatch.setattr(rw, "redis", types.SimpleNamespace(ConnectionPool=dict, StrictRedis=dict))
            monkeypatch.setattr(rw, "queue", types.SimpleNamespace(Queue=dict))
            monkeypatch.setattr(rw, "atexit", types.SimpleNamespace(register=id))
            monkeypatch.setattr(rw, "threading", types.SimpleNamespace(
                Event=types.SimpleNamespace, Thread=lambda **kw: types.SimpleNamespace(start=int, **kw)))
        elif kind != "dead":
            error = ERRORS.get(kind)
            ops = {name: raiser(error) for name in REPLIES} if error else {**REPLIES, **ODD_REPLIES.get(kind, {})}
            w._redis_client = types.SimpleNamespace(**ops)
        return w, logger, unraisable

    return setup


def counts(watched):
    """Reference counts once garbage is collected: some redis-py releases leave a reference
    cycle (an error, its traceback, the frames) behind each failed command, which holds the
    arguments until the collector runs. What the module keeps is not collectable."""
    gc.collect()
    return {name: sys.getrefcount(obj) for name, obj in watched.items()}


# None, True and False are shared by the whole interpreter: their counts move a little with
# unrelated activity (garbage collected meanwhile is collected before each count), but one
# reference released (or kept) per call moves them by the number of calls. A release per
# call would end the interpreter once a count reaches zero (True has a few thousand), so a
# short round of calls is compared first, to name the failing path.
SINGLETONS = {"None": None, "True": True, "False": False}
SHORT, DRIFT = 500, 100


def shared_counts():
    return counts(SINGLETONS)


def repeat(call, w, o, n, exc):
    for _ in range(n):
        try:
            call(w, o)
        except exc:
            pass


def moved(before, after, tolerance=0):
    return {k: after[k] - before[k] for k in before if abs(after[k] - before[k]) > tolerance}


@pytest.mark.parametrize("case", CASES)
def test_reference_counts_are_unchanged(env, case):
    kind, call, outcome = CASES[case]
    (w, logger, unraisable), o = env(kind), objects()
    n = N_DEAD if kind == "dead" else N
    exc = outcome if isinstance(outcome, type) else ()
    if exc:  # the first call proves the path; it also fills the caches of first use
        with pytest.raises(exc):
            call(w, o)
    else:
        call(w, o)
    shared = shared_counts()
    repeat(call, w, o, SHORT, exc)
    assert moved(shared, shared_counts(), DRIFT) == {}, f"{case}: counts moved over {SHORT} calls"
    watched = {"instance": w, **vars(o)}
    before, blocks = counts(watched), sys.getallocatedblocks()
    repeat(call, w, o, n, exc)
    after, grown = counts(watched), sys.getallocatedblocks() - blocks
    assert moved(before, after) == {}
    assert moved(shared, shared_counts(), DRIFT) == {}, f"{case}: counts moved over {n + SHORT} calls"
    assert grown < 1000, f"{grown} more memory blocks: something is kept per call"
    if not exc:
        calls = n + SHORT + 1
        assert (logger.count, unraisable.count) == {LOG: (calls, 0), UNRAISABLE: (0, calls)}.get(outcome, (0, 0))


@pytest.mark.parametrize("kind", ["ok", "fail"])
def test_queued_writes_give_their_objects_back(env, kind):
    (w, logger, _), o = env(kind, thread=True), objects()
    watched = {"data": o.data, "key": o.key, "ttl": o.ttl}
    before, blocks = counts(watched), sys.getallocatedblocks()
    for _ in range(N):
        assert w.write_zarn_data(o.data, o.key, o.ttl) is True
    assert drained(w._queue)
    deadline = time.monotonic() + 10  # the worker lets go of its last item just after the mark
    while counts(watched) != before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert counts(watched) == before and sys.getallocatedblocks() - blocks < 1000
    assert w._worker.is_alive() and (logger.count > 0) == (kind == "fail")


def rss():
    return int(Path("/proc/self/statm").read_text().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.slow
def test_memory_stays_flat_over_a_million_writes_to_a_stalled_server(make_wrapper, server, raw, log):
    w = make_wrapper(host=server.host, port=server.port, workers=4)
    # The worker's SET waits (until redis-py's read timeout, which it logs, then the next one
    # waits): the queue stays full and every write drops the oldest record.
    raw.execute_command("CLIENT", "PAUSE", 300_000, "WRITE")
    try:
        for i in range(20_000):  # warm-up: the allocator's pools settle
            w.write_zarn_data({"seq": i}, "stalled", 30)
        start = rss()
        for i in range(1_000_000):
            w.write_zarn_data({"seq": i}, "stalled", 30)
        grown = rss() - start
    finally:
        raw.execute_command("CLIENT", "UNPAUSE")
    assert drained(w._queue) and w._worker.is_alive()
    if not SANITIZED:  # ASan's quarantine and shadow memory make RSS meaningless there
        assert grown < 4 << 20, f"RSS grew by {grown} bytes"

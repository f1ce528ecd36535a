"""The module's own cost per call: every case runs the same statement on a RedisWrapper and
on a PyWrapper over a client that does no I/O (on the failure paths it raises
redis.exceptions.ConnectionError). Instructions from callgrind decide; CPU time in paired
rounds is reported beside them. Run as a script, this is the callgrind child."""

from __future__ import annotations

import gc
import glob
import json
import logging
import os
import queue
import shutil
import subprocess
import sys
import tempfile
import textwrap
import time
import types
from typing import Callable, NamedTuple

import orjson
import redis

import pywrapper
import zarn_sdk.redis.redis_wrapper as rw
from harness import figure, side_by_side

RECORD = {"camera_id": "cam-01", "seq": 42, "ts": 1733680000.125,
          "detections": [{"label": "person", "score": 0.91, "bbox": [412, 218, 96, 240]}]}
KEY, TTL = "cam-01:frame:42", 30
STORED = {KEY: orjson.dumps(RECORD)}
KEYS100 = [f"cam-01:frame:{i}" for i in range(100)]
SCANNED = [k.encode() for k in KEYS100]


class FakeClient:
    """Answers like redis-py with decode_responses=False, without any I/O."""

    def set(self, name, value, ex=None):
        return True

    def get(self, name):
        return STORED.get(name)

    def delete(self, *names):
        return len(names)

    def scan_iter(self, match=None):
        return iter(SCANNED)


class FailingClient:
    """Every command fails as against an unreachable server."""

    def set(self, *args, **kwargs):
        raise redis.exceptions.ConnectionError("Error 111 connecting to 127.0.0.1:6379.")

    get = delete = scan_iter = set


FAKE_REDIS = types.SimpleNamespace(ConnectionPool=lambda **kwargs: kwargs,
                                   StrictRedis=lambda connection_pool: FakeClient())


class Countdown:
    """A stop event that reads as set after n checks: drives the worker loop for n records."""

    def __init__(self, n: int) -> None:
        self.left = n

    def is_set(self) -> bool:
        self.left -= 1
        return self.left < 0


class ListQueue:
    """What the worker uses of queue.Queue, over a prepared list: the worker's own work
    per record without the queue's locking."""

    def __init__(self, items: list) -> None:
        self.items, self.i = items, 0

    def get(self, timeout=None):
        self.i += 1
        return self.items[self.i - 1]

    def task_done(self) -> None:
        pass


class Case(NamedTuple):
    name: str
    stmt: str  # one call; with once=True, one run over n records
    prepare: Callable[[dict, int], object] | None = None  # untimed, before each loop
    once: bool = False


def fails(call: str) -> str:
    return f"try:\n    {call}\nexcept Failed:\n    pass"


def arm(w, n: int) -> None:
    w._queue, w._stop_evt = ListQueue([(RECORD, KEY, TTL)] * n), Countdown(n)


CASES = [
    Case("__init__ (direct mode)", "W(thread=False, host=host, port=6379)"),
    Case("write_zarn_data (direct)", "ok.write_zarn_data(rec, key, ttl)"),
    Case("write_zarn_data (direct, store fails)", "bad.write_zarn_data(rec, key, ttl)"),
    Case("write_zarn_data (queued, room)", "room.write_zarn_data(rec, key, ttl)",
         lambda ns, n: setattr(ns["room"], "_queue", queue.Queue())),
    Case("write_zarn_data (queued, full)", "full.write_zarn_data(rec, key, ttl)"),
    Case("write_zarn_data (None: delete)", "ok.write_zarn_data(None, key)"),
    Case("read_zarn_data", "ok.read_zarn_data(key)"),
    Case("read_zarn_data (missing key)", "ok.read_zarn_data('no-such-key')"),
    Case("read_zarn_data (read fails)", "bad.read_zarn_data(key)"),
    Case("read_data", "ok.read_data(key)"),
    Case("read_data (read fails)", fails("bad.read_data(key)")),
    Case("write_data (text)", "ok.write_data(key, '0.75', ttl)"),
    Case("write_data (dict)", "ok.write_data(key, rec, ttl)"),
    Case("write_data (store fails)", fails("bad.write_data(key, '0.75', ttl)")),
    Case("delete_data", "ok.delete_data(key)"),
    Case("delete_data (fails)", fails("bad.delete_data(key)")),
    Case("delete_many (100 keys)", "ok.delete_many(keys100)"),
    Case("delete_many (fails)", fails("bad.delete_many(keys100)")),
    Case("scan_keys (100 keys)", "ok.scan_keys('cam-01:frame:*')"),
    Case("scan_keys (fails)", fails("bad.scan_keys('cam-01:frame:*')")),
    Case("worker, per record", "wk._worker_loop()", lambda ns, n: arm(ns["wk"], n), once=True),
    Case("worker, per record (store fails)", "wkbad._worker_loop()",
         lambda ns, n: arm(ns["wkbad"], n), once=True),
]


def use_fakes() -> Callable[[], None]:
    """Both classes build FakeClient for redis-py's client, and the log lines stop at the
    logger's level check (the same call on both sides, without writing to stderr). Returns
    the undo."""
    saved = rw.redis, pywrapper.redis, {log: log.level for log in (rw.logger, pywrapper.logger)}
    rw.redis = pywrapper.redis = FAKE_REDIS
    for log in saved[2]:
        log.setLevel(logging.CRITICAL)

    def undo() -> None:
        rw.redis, pywrapper.redis = saved[:2]
        for log, level in saved[2].items():
            log.setLevel(level)
    return undo


def namespace(cls) -> dict:
    """The names the statements use, for one side: instances of `cls` on the fakes. The
    queued instances are built in direct mode and then given a queue, so that no worker
    thread drains it."""
    def make(client=None, queue_size=0):
        w = cls(thread=False, host="127.0.0.1", port=6379)
        if client:
            w._redis_client = client
        if queue_size:
            w._use_thread, w._queue = True, queue.Queue(maxsize=queue_size)
        return w

    full = make(queue_size=1)
    full._queue.put_nowait(None)
    return {"W": cls, "host": "127.0.0.1", "ok": make(), "bad": make(FailingClient()),
            "room": make(queue_size=1 << 30), "full": full, "wk": make(),
            "wkbad": make(FailingClient()), "rec": RECORD, "key": KEY, "ttl": TTL,
            "keys100": KEYS100, "Failed": redis.exceptions.ConnectionError}


def sides(cases: list[Case]) -> dict[str, list]:
    """Per side, per case: (prepare(n), run(n)), warmed up. run(n) runs the statement n times
    (once over n records for the worker), every name a local variable as in timeit."""
    out = {}
    for side, cls in (("module", rw.RedisWrapper), ("python", pywrapper.PyWrapper)):
        ns, out[side] = namespace(cls), []
        names = sorted(ns)
        for c in cases:
            body = c.stmt if c.once else "for _ in range(n):\n" + textwrap.indent(c.stmt, "    ")
            glb: dict = {}
            exec(compile(f"def run(n, {', '.join(names)}):\n{textwrap.indent(body, '    ')}\n",
                         c.name, "exec"), glb)
            out[side].append((lambda n, c=c, ns=ns: c.prepare and c.prepare(ns, n),
                              lambda n, run=glb["run"], args=[ns[k] for k in names]: run(n, *args)))
        for prep, run in out[side]:
            prep(200)
            run(200)
    return out


def icount_child(names: list[str], n: int) -> None:
    """Runs under callgrind: per case and side, [run(N)] and [run(2N)] between markers;
    what lies between two measured runs (the next prepare) is a dump of its own."""
    undo = use_fakes()
    loops = sides([c for c in CASES if c.name in names])
    gc.disable()
    for prep, run in (loop for pair in zip(loops["module"], loops["python"]) for loop in pair):
        for calls in (n, 2 * n):
            prep(calls)
            os.getppid()
            run(calls)
            os.getppid()
    undo()


def icounts(cases: list[Case], n: int) -> list[tuple[float, float]]:
    """(module, python) instructions per call, case by case."""
    if shutil.which("valgrind") is None:
        raise RuntimeError("valgrind is not installed (Debian: apt-get install valgrind)")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg")
        subprocess.run(["valgrind", "--tool=callgrind", "--dump-before=getppid",
                        f"--callgrind-out-file={out}", sys.executable, os.path.abspath(__file__),
                        json.dumps([c.name for c in cases]), str(n)],
                       env=dict(os.environ, PYTHONHASHSEED="0"), check=True,
                       capture_output=True, timeout=1800)
        totals = []
        for path in sorted(glob.glob(out + ".*"), key=lambda p: int(p.rsplit(".", 1)[1])):
            with open(path) as fh:
                totals.append(next(int(line.split()[1]) for line in fh
                                   if line.startswith(("totals:", "summary:"))))
    if len(totals) != 8 * len(cases):
        raise RuntimeError(f"callgrind wrote {len(totals)} dumps, not {8 * len(cases)}")
    runs = totals[1::2]  # dumps 2, 4, 6...: the measured runs, N and 2N by turns
    per_call = [(runs[i + 1] - runs[i]) / n for i in range(0, len(runs), 2)]
    return list(zip(per_call[0::2], per_call[1::2]))


def cpu_rounds(module, python, rounds: int) -> dict:
    """Paired rounds of one case; calls per block sized to some 10 ms of the Python side."""
    (mprep, mrun), (pprep, prun) = module, python
    pprep(1000)
    t0 = time.process_time()
    prun(1000)
    n = max(200, int(10 / max(time.process_time() - t0, 1e-6)))
    return side_by_side(n, lambda: mrun(n), lambda: prun(n), rounds,
                        prepare=lambda: (mprep(n), pprep(n)), cost=True)


@figure("own", "module's own cost per call against PyWrapper, clients without I/O",
        goal="<= 1.25")
def own_cost(b) -> list[dict]:
    cases = [c for c in CASES if not b.cases or any(c.name.startswith(p) for p in b.cases)]
    if not cases:
        sys.exit(f"bench: no own-cost case starts with {' or '.join(b.cases)}")
    undo = use_fakes()
    gc.disable()
    try:
        loops = sides(cases)
        cpu = [cpu_rounds(m, p, b.rounds) for m, p in zip(loops["module"], loops["python"])]
    finally:
        gc.enable()
        undo()
    return [{"key": c.name, "label": c.name, "vs": "PyWrapper", "checked": True,
             "ratio": im / ip, "module_instr": im, "python_instr": ip,
             "cpu_ratio": t["cpu_ratio"], "cpu_ci": t["cpu_ci"],
             "module_ns": t["a_cpu_us"] * 1e3, "python_ns": t["b_cpu_us"] * 1e3}
            for c, (im, ip), t in zip(cases, icounts(cases, b.icount_calls), cpu)]


if __name__ == "__main__":  # the callgrind child
    icount_child(json.loads(sys.argv[1]), int(sys.argv[2]))

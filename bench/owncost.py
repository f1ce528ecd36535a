"""The own cost per call: each case runs one statement on a RedisWrapper and on a PyWrapper over a
client without I/O (failing with ConnectionError on the failure paths): instructions from callgrind
decide, CPU time in paired rounds is reported beside them. As a script: the callgrind child."""

import contextlib
import gc
import json
import logging
import os
import queue
import subprocess
import sys
import tempfile
import types
from textwrap import indent

import orjson
import redis

import pywrapper
import zarn_sdk.redis.redis_wrapper as rw
from harness import figure, side_by_side, timed

RECORD = {"camera_id": "cam-01", "seq": 42, "ts": 1733680000.125,
          "detections": [{"label": "person", "score": 0.91, "bbox": [412, 218, 96, 240]}]}
KEY, TTL = "cam-01:frame:42", 30
ITEM = (RECORD, KEY, TTL)  # a queued write
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


class Feed:
    """The worker's queue and stop event for n records: get() returns the record without
    queue.Queue's locking, and is_set() reads as set after n checks."""

    def __init__(self, n: int) -> None:
        self.left = n

    def is_set(self) -> bool:
        self.left -= 1
        return self.left < 0

    def get(self, timeout=None):
        return ITEM

    def task_done(self) -> None:
        pass


def fails(call: str) -> str:
    return f"try:\n    {call}\nexcept Failed:\n    pass"


CASES = [  # name, one call, and what runs untimed before each loop of n calls (if anything)
    ("__init__ (direct mode)", "W(thread=False, host=host, port=6379)"),
    ("write_zarn_data (direct)", "ok.write_zarn_data(rec, key, ttl)"),
    ("write_zarn_data (direct, store fails)", "bad.write_zarn_data(rec, key, ttl)"),
    ("write_zarn_data (queued, room)", "room.write_zarn_data(rec, key, ttl)", "room._queue = Queue()"),
    ("write_zarn_data (queued, full)", "full.write_zarn_data(rec, key, ttl)"),
    ("write_zarn_data (None: delete)", "ok.write_zarn_data(None, key)"),
    ("read_zarn_data", "ok.read_zarn_data(key)"),
    ("read_zarn_data (missing key)", "ok.read_zarn_data('no-such-key')"),
    ("read_zarn_data (read fails)", "bad.read_zarn_data(key)"),
    ("read_data", "ok.read_data(key)"),
    ("read_data (read fails)", fails("bad.read_data(key)")),
    ("write_data (text)", "ok.write_data(key, '0.75', ttl)"),
    ("write_data (dict)", "ok.write_data(key, rec, ttl)"),
    ("write_data (store fails)", fails("bad.write_data(key, '0.75', ttl)")),
    ("delete_data", "ok.delete_data(key)"),
    ("delete_data (fails)", fails("bad.delete_data(key)")),
    ("delete_many (100 keys)", "ok.delete_many(keys100)"),
    ("delete_many (fails)", fails("bad.delete_many(keys100)")),
    ("scan_keys (100 keys)", "ok.scan_keys('cam-01:frame:*')"),
    ("scan_keys (fails)", fails("bad.scan_keys('cam-01:frame:*')")),
    ("worker, per record", "wk._worker_loop()", "wk._queue = wk._stop_evt = Feed(n)"),
    ("worker, per record (store fails)", "wkbad._worker_loop()", "wkbad._queue = wkbad._stop_evt = Feed(n)"),
]


# The instances that the statements use: client, queue size (0: none). A queued one is built
# in direct mode and then given its queue, so that no worker thread drains it.
INSTANCES = {"ok": (FakeClient, 0), "bad": (FailingClient, 0), "room": (FakeClient, 1 << 30),
             "full": (FakeClient, 1), "wk": (FakeClient, 0), "wkbad": (FailingClient, 0)}


@contextlib.contextmanager
def loops(cases: list[tuple]):
    """Per case, per side (module, python): (prepare(n), run(n)), warmed up; run(n) makes the call n
    times (the worker's loop once), every name a local as in timeit. Meanwhile both classes get
    FakeClient, log lines stop at the loggers' level check (the same call on both sides), gc is off."""
    saved = rw.redis, pywrapper.redis
    rw.redis = pywrapper.redis = FAKE_REDIS
    logging.disable(logging.CRITICAL)
    gc.disable()
    try:
        sides = []
        for cls in (rw.RedisWrapper, pywrapper.PyWrapper):
            ns = {"W": cls, "host": "127.0.0.1", "rec": RECORD, "key": KEY, "ttl": TTL, "keys100": KEYS100,
                  "Failed": redis.exceptions.ConnectionError, "Queue": queue.Queue, "Feed": Feed}
            for name, (client, size) in INSTANCES.items():
                ns[name] = w = cls(thread=False, host="127.0.0.1", port=6379)
                w._redis_client = client()
                if size:
                    w._use_thread, w._queue = True, queue.Queue(maxsize=size)
            ns["full"]._queue.put_nowait(None)
            names, side = ", ".join(sorted(ns)), []
            for name, stmt, *before in cases:
                body = stmt if "_worker_loop" in stmt else "for _ in range(n):\n" + indent(stmt, "    ")
                glb: dict = {}
                exec(compile(f"def run(n, {names}):\n{indent(body, '    ')}\n"
                             f"def prepare(n, {names}):\n    {''.join(before) or 'pass'}\n", name, "exec"), glb)
                side.append([lambda n, fn=glb[f], ns=ns: fn(n, **ns) for f in ("prepare", "run")])
            for prep, run in side:
                prep(200)
                run(200)
            sides.append(side)
        yield list(zip(*sides))
    finally:
        rw.redis, pywrapper.redis = saved
        logging.disable(logging.NOTSET)
        gc.enable()


def icounts(cases: list[tuple], n: int) -> list[tuple[float, float]]:
    """(module, python) instructions per call, case by case: (I(2N) - I(N)) / N."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg")
        subprocess.run(["valgrind", "--tool=callgrind", "--dump-before=getppid", "--combine-dumps=yes",
                        f"--callgrind-out-file={out}", sys.executable, os.path.abspath(__file__),
                        json.dumps([c[0] for c in cases]), str(n)],
                       env=dict(os.environ, PYTHONHASHSEED="0"), check=True, capture_output=True, timeout=1800)
        with open(out) as fh:  # one part per dump, the last one at the child's exit
            totals = [int(line.split()[1]) for line in fh if line.startswith("totals:")][:-1]
    if len(totals) != 8 * len(cases):
        raise RuntimeError(f"callgrind wrote {len(totals)} dumps, not {8 * len(cases)}")
    runs = totals[1::2]  # dumps 2, 4, 6...: the measured runs, N and 2N by turns
    per_call = [(runs[i + 1] - runs[i]) / n for i in range(0, len(runs), 2)]
    return list(zip(per_call[0::2], per_call[1::2]))


def icount_child(names: list[str], n: int) -> None:
    """Runs under callgrind: per case and side, run(N) and run(2N) between calls of os.getppid, on
    which callgrind dumps; what lies between two measured runs (the next prepare) is a dump too."""
    with loops([c for c in CASES if c[0] in names]) as pairs:
        for prep, run in (loop for pair in pairs for loop in pair):
            for calls in (n, 2 * n):
                prep(calls)
                os.getppid()
                run(calls)
                os.getppid()


@figure("own", "module's own cost per call against PyWrapper, clients without I/O", goal="<= 1.25")
def own_cost(b) -> list[dict]:
    cases = [c for c in CASES if not b.cases or any(c[0].startswith(p) for p in b.cases)]
    if not cases:
        sys.exit(f"bench: no own-cost case starts with {' or '.join(b.cases)}")
    rows = []
    with loops(cases) as pairs:
        for (mprep, mrun), (pprep, prun) in pairs:
            pprep(1000)  # paired rounds of blocks sized to some 10 ms of the Python side
            n = max(200, int(10 / max(timed(1000, lambda: prun(1000)).cpu, 1e-6)))
            rows.append(side_by_side(n, lambda: mrun(n), lambda: prun(n), b.rounds,
                                     prepare=lambda: (mprep(n), pprep(n)), cost=True))
    return [{"key": c[0], "label": c[0], "vs": "PyWrapper", "checked": True, "ratio": im / ip,
             "module_instr": im, "python_instr": ip, "cpu_ratio": t["cpu_ratio"], "cpu_ci": t["cpu_ci"],
             "module_ns": t["a_cpu_us"] * 1e3, "python_ns": t["b_cpu_us"] * 1e3}
            for c, (im, ip), t in zip(cases, icounts(cases, b.icount_calls), rows)]


if __name__ == "__main__":  # the callgrind child
    icount_child(json.loads(sys.argv[1]), int(sys.argv[2]))

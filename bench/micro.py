#!/usr/bin/env python3
"""The module's own cost per call, with a Redis client that does no I/O.

A fake client (set, get, delete, scan_iter that return at once) is injected through the
module's `redis` attribute, so that construction builds it; for the queued write, the
module's `threading` and `atexit` are faked during construction so that no worker thread
drains the queue. Each method is then timed against the same work done directly in
Python on the same fake (the "floor"): `overhead = method - floor` is what the module
adds by itself (the call, the argument binding and checks, the attribute and global
reads, the calls it makes).

    python bench/micro.py                          # every method, times and instructions
    python bench/micro.py --method read_zarn_data  # one method (a prefix selects several)
    python bench/micro.py --no-icount              # times only

Times are medians of paired rounds (method and floor back to back, order alternating,
with the garbage collector off). Instruction counts come from callgrind: one child process
runs each loop N and 2N times between markers (a call of os.getppid, on which callgrind
dumps its counters), so that (I(2N) - I(N)) / N is the cost of one call with everything
that is paid once taken out. They are steadier than times on a busy machine.
"""

from __future__ import annotations

import argparse
import gc
import glob
import json
import os
import queue
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import types
from dataclasses import dataclass

import orjson

import zarn_sdk.redis.redis_wrapper as rw

RECORD = {"camera_id": "cam-01", "seq": 42, "ts": 1733680000.125,
          "detections": [{"label": "person", "score": 0.91, "bbox": [412, 218, 96, 240]}]}
RECORD_JSON = orjson.dumps(RECORD)
TEXT = "0.75"
KEY = "cam-01:frame:42"
TTL = 30
KEYS100 = [f"cam-01:frame:{i}" for i in range(100)]
SCANNED = [k.encode() for k in KEYS100]


# --------------------------------------------------------------------------- the fakes


class FakeClient:
    """Answers like redis-py with decode_responses=False, without any I/O."""

    def set(self, name, value, ex=None):
        return True

    def get(self, name):
        return RECORD_JSON

    def delete(self, *names):
        return len(names)

    def scan_iter(self, match=None):
        return iter(SCANNED)


class FakePool:
    def __init__(self, **kwargs):
        self.kwargs = kwargs


def fake_strict_redis(connection_pool=None):
    return FakeClient()


FAKE_REDIS = types.SimpleNamespace(ConnectionPool=FakePool, StrictRedis=fake_strict_redis)


class FakeThread:
    """Stands for the worker thread: never started, so nothing drains the queue."""

    def __init__(self, target=None, name=None, daemon=None):
        self.target = target

    def start(self):
        pass

    def join(self, timeout=None):
        pass


class CountdownEvent:
    """A stop event that reads as set after `n` checks (drives _worker_loop for n items)."""

    def __init__(self, n):
        self.left = n

    def is_set(self):
        self.left -= 1
        return self.left < 0

    def set(self):
        self.left = 0


class ListQueue:
    """The part of queue.Queue that the worker uses, over a prepared list of items."""

    def __init__(self, items):
        self.items = items
        self.i = 0

    def get(self, timeout=None):
        item = self.items[self.i]
        self.i += 1
        return item

    def task_done(self):
        pass


def wrapper(thread=False, workers=2):
    """A RedisWrapper built on the fake client (and, in background-writer mode, with a
    thread that never starts and no exit hook)."""
    rw.redis = FAKE_REDIS  # for good: construction in the __init__ case uses it too
    saved = rw.threading, rw.atexit
    rw.threading = types.SimpleNamespace(Thread=FakeThread, Event=threading.Event)
    rw.atexit = types.SimpleNamespace(register=lambda fn: None)
    try:
        return rw.RedisWrapper(thread=thread, host="127.0.0.1", port=6379, workers=workers)
    finally:
        rw.threading, rw.atexit = saved


class Plain:
    """A plain Python object standing for an instance in the floors of __init__ and
    _shutdown_executor."""


# --------------------------------------------------------------------------- the cases


@dataclass
class Case:
    name: str
    method: str  # the method measured (for --method)
    stmt: str  # one call of the method
    floor: str  # the same work done directly in Python on the same fake
    setup: str = ""  # runs before each timed loop (both sides), untimed
    note: str = ""


CASES = [
    Case("__init__ (direct mode)", "__init__",
         "RW(thread=False, host=host, port=port, workers=2)",
         "o = Plain(); o._use_thread = False; "
         "o._redis_client = fake.StrictRedis(connection_pool=fake.ConnectionPool("
         "host=host, port=port, max_connections=10, decode_responses=False)); "
         "o._queue = None; o._worker = None; o._stop_evt = Event()",
         note="fake pool and client; floor builds the same objects on a plain object"),
    Case("write_zarn_data (direct)", "write_zarn_data",
         "w.write_zarn_data(rec, key, ttl)", "c.set(key, dumps(rec), ex=ttl)"),
    Case("write_zarn_data (queued, room)", "write_zarn_data",
         "wq.write_zarn_data(rec, key, ttl)", "q.put_nowait((rec, key, ttl))",
         setup="reset_queue(q); reset_queue(wq._queue)",
         note="queue.Queue with room; floor: put_nowait of the same tuple"),
    Case("write_zarn_data (queued, full)", "write_zarn_data",
         "wf.write_zarn_data(rec, key, ttl)",
         "try:\n    qf.put_nowait((rec, key, ttl))\nexcept Full:\n    try:\n"
         "        qf.get_nowait()\n        qf.task_done()\n    except Exception:\n"
         "        pass\n    qf.put_nowait((rec, key, ttl))",
         note="queue of 1, kept full: drop the oldest, put again"),
    Case("write_zarn_data (None: delete)", "write_zarn_data",
         "w.write_zarn_data(None, key)", "c.delete(key)"),
    Case("_write_", "_write_", "w._write_(rec, key, ttl)", "c.set(key, dumps(rec), ex=ttl)"),
    Case("_worker_loop (per item)", "_worker_loop",
         "ww._worker_loop()",
         "while not ev.is_set():\n    try:\n        item = lq.get(timeout=0.2)\n"
         "    except Empty:\n        continue\n    try:\n        data, k, t = item\n"
         "        c.set(k, dumps(data), ex=t)\n    finally:\n        lq.task_done()",
         setup="arm_worker(ww, n)",
         note="one loop over n items; floor: the same loop in Python with the write inlined"),
    Case("_worker_loop (per item, queue.Queue)", "_worker_loop",
         "wr._worker_loop()",
         "while not ev.is_set():\n    try:\n        item = lq.get(timeout=0.2)\n"
         "    except Empty:\n        continue\n    try:\n        data, k, t = item\n"
         "        c.set(k, dumps(data), ex=t)\n    finally:\n        lq.task_done()",
         setup="arm_worker_queue(wr, n)",
         note="the same over a real queue.Queue holding the n items: the floor minus the "
              "previous floor is what the queue's get and task_done cost"),
    Case("read_zarn_data", "read_zarn_data", "w.read_zarn_data(key)", "loads(c.get(key))"),
    Case("write_data (text)", "write_data", "w.write_data(key, text, ttl)",
         "c.set(key, text, ex=ttl)"),
    Case("write_data (dict)", "write_data", "w.write_data(key, rec, ttl)",
         "c.set(key, dumps(rec), ex=ttl)"),
    Case("read_data", "read_data", "w.read_data(key)", "c.get(key)"),
    Case("delete_data", "delete_data", "w.delete_data(key)", "c.delete(key)"),
    Case("delete_many (100 keys)", "delete_many", "w.delete_many(keys100)",
         "c.delete(*keys100)"),
    Case("scan_keys (100 keys)", "scan_keys", "w.scan_keys(pattern)",
         "[k.decode() for k in c.scan_iter(match=pattern)]"),
    Case("_shutdown_executor (direct)", "_shutdown_executor", "ws._shutdown_executor()",
         "o._stop_evt.set()\nif o._worker is not None:\n    o._worker.join(timeout=0.5)\n"
         "o._queue = None\no._use_thread = False"),
]

# The per-loop setups that need more than one statement.


def reset_queue(q: queue.Queue) -> None:
    with q.mutex:
        q.queue.clear()
        q.unfinished_tasks = 0


def arm_worker(w, n: int) -> None:
    items = [(RECORD, KEY, TTL)] * n
    w._stop_evt = CountdownEvent(n)
    w._queue = ListQueue(items)


def arm_worker_queue(w, n: int) -> None:
    q: queue.Queue = queue.Queue()
    q.queue.extend([(RECORD, KEY, TTL)] * n)
    q.unfinished_tasks = n
    w._stop_evt = CountdownEvent(n)
    w._queue = q


def namespace() -> dict:
    """Everything the statements use, built once (the instances share one fake client)."""
    w = wrapper(thread=False)
    wq = wrapper(thread=True, workers=1 << 30)
    wf = wrapper(thread=True, workers=1)
    wf._queue.put_nowait(None)
    ww = wrapper(thread=False)
    ws = wrapper(thread=False)
    wr = wrapper(thread=False)
    o = Plain()
    o._use_thread, o._queue, o._worker, o._stop_evt = False, None, None, threading.Event()
    return {
        "RW": rw.RedisWrapper, "fake": FAKE_REDIS, "Plain": Plain, "Event": threading.Event,
        "host": "127.0.0.1", "port": 6379, "w": w, "wq": wq, "wf": wf, "ww": ww, "ws": ws, "wr": wr, "o": o,
        "c": w._redis_client, "q": queue.Queue(maxsize=1 << 30), "qf": filled_queue(),
        "rec": RECORD, "key": KEY, "ttl": TTL, "text": TEXT, "keys100": KEYS100,
        "pattern": "cam-01:frame:*", "dumps": orjson.dumps, "loads": orjson.loads,
        "Full": queue.Full, "Empty": queue.Empty, "reset_queue": reset_queue,
        "arm_worker": arm_worker, "arm_worker_queue": arm_worker_queue,
    }


def filled_queue() -> queue.Queue:
    q: queue.Queue = queue.Queue(maxsize=1)
    q.put_nowait(None)
    return q


def compile_loop(case: Case, side: str, ns: dict):
    """A function run(n) that runs the case's statement n times (the worker loop: once,
    over n items) with every name a local variable, as timeit does."""
    stmt = case.stmt if side == "method" else case.floor
    names = sorted(k for k in ns if k.isidentifier())
    lines = [f"def run(n, {', '.join(names)}):"]
    if case.setup:
        lines.append(f"    {case.setup}")
    armed = "wr" if "wr." in case.stmt else "ww"
    if side == "method" and case.method == "_worker_loop":
        lines.append(f"    {stmt}")
    elif case.method == "_worker_loop":
        lines.append(f"    ev = {armed}._stop_evt; lq = {armed}._queue")
        lines += ["    " + line for line in stmt.splitlines()]
    else:
        lines.append("    for _ in range(n):")
        lines += ["        " + line for line in stmt.splitlines()]
    src = "\n".join(lines)
    glb: dict = {}
    exec(compile(src, f"<{case.name}: {side}>", "exec"), glb)
    run = glb["run"]
    args = [ns[k] for k in names]
    return lambda n: run(n, *args)


# --------------------------------------------------------------------------- timing


def time_case(case: Case, ns: dict, calls: int, rounds: int) -> dict:
    method = compile_loop(case, "method", ns)
    floor = compile_loop(case, "floor", ns)
    method(calls)  # warm-up: the adaptive interpreter, caches
    floor(calls)
    per = {"method": [], "floor": []}
    diffs = []
    gc_was = gc.isenabled()
    gc.disable()
    try:
        for r in range(rounds):
            got = {}
            for side, fn in ((("method", method), ("floor", floor)) if r % 2 == 0
                             else (("floor", floor), ("method", method))):
                t0 = time.perf_counter_ns()
                fn(calls)
                got[side] = (time.perf_counter_ns() - t0) / calls
            per["method"].append(got["method"])
            per["floor"].append(got["floor"])
            diffs.append(got["method"] - got["floor"])
    finally:
        if gc_was:
            gc.enable()
    return {
        "method_ns": statistics.median(per["method"]),
        "floor_ns": statistics.median(per["floor"]),
        "overhead_ns": statistics.median(diffs),
        "overhead_spread_ns": (statistics.quantiles(diffs, n=4)[0], statistics.quantiles(diffs, n=4)[2])
        if len(diffs) >= 4 else (min(diffs), max(diffs)),
    }


# --------------------------------------------------------------------------- instructions


def icount_child(names: list[str], calls: int) -> None:
    """Runs under callgrind: for each case and side, marker, N calls, marker, 2N calls."""
    ns = namespace()
    cases = [c for c in CASES if c.name in names]
    loops = [(compile_loop(c, "method", ns), compile_loop(c, "floor", ns)) for c in cases]
    for m, f in loops:  # warm-up outside the measured segments
        m(200)
        f(200)
    gc.disable()
    for m, f in loops:
        for fn in (m, f):
            os.getppid()
            fn(calls)
            os.getppid()
            fn(2 * calls)
    os.getppid()


def icounts(cases: list[Case], calls: int) -> dict[str, dict]:
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        return {}
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg")
        env = dict(os.environ, PYTHONHASHSEED="0")
        cmd = [valgrind, "--tool=callgrind", "--dump-before=getppid",
               f"--callgrind-out-file={out}", sys.executable, os.path.abspath(__file__),
               "--icount-child", json.dumps([c.name for c in cases]), "--icount-calls", str(calls)]
        proc = subprocess.run(cmd, env=env, capture_output=True, text=True, timeout=1800)
        if proc.returncode != 0:
            print(proc.stderr[-2000:], file=sys.stderr)
            raise RuntimeError("callgrind run failed")
        files = sorted(glob.glob(out + ".*"), key=lambda p: int(p.rsplit(".", 1)[1]))
        totals = []
        for path in files:
            with open(path) as fh:
                for line in fh:
                    if line.startswith(("totals:", "summary:")):
                        totals.append(int(line.split()[1]))
                        break
    # Dump 1 is the start-up; then per case and side: [N calls], [2N calls].
    segs = totals[1:]
    result = {}
    for i, case in enumerate(cases):
        m1, m2, f1, f2 = segs[4 * i: 4 * i + 4]
        method = (m2 - m1) / calls
        floor = (f2 - f1) / calls
        result[case.name] = {"method_instr": method, "floor_instr": floor,
                             "overhead_instr": method - floor}
    return result


def profile_child(name: str, side: str, calls: int) -> None:
    ns = namespace()
    case = next(c for c in CASES if c.name == name)
    fn = compile_loop(case, side, ns)
    fn(200)
    gc.disable()
    os.getppid()
    fn(calls)
    os.getppid()


def profile(case: Case, side: str, calls: int, top: int) -> None:
    """Where one case's instructions go: callgrind over `calls` calls, inclusive cost per
    function per call (the module's own functions by name where the module keeps its
    symbols: build it with -C install.strip=false, as scripts/bench.sh does)."""
    valgrind, annotate = shutil.which("valgrind"), shutil.which("callgrind_annotate")
    if not valgrind or not annotate:
        sys.exit("micro: --profile needs valgrind (callgrind and callgrind_annotate)")
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "cg")
        subprocess.run([valgrind, "--tool=callgrind", "--dump-before=getppid",
                        f"--callgrind-out-file={out}", sys.executable, os.path.abspath(__file__),
                        "--profile-child", json.dumps([case.name, side]),
                        "--icount-calls", str(calls)],
                       env=dict(os.environ, PYTHONHASHSEED="0"), check=True,
                       capture_output=True, timeout=1800)
        text = subprocess.run([annotate, "--inclusive=yes", f"{out}.2"], check=True,
                              capture_output=True, text=True).stdout
    print(f"{case.name}, {side}: inclusive instructions per call over {calls} calls "
          f"(the first lines are the loop's own frames)")
    shown = 0
    total = None
    seen = set()
    for line in text.splitlines():
        parts = line.strip().split(None, 2)
        if len(parts) < 3 or not parts[0].replace(",", "").isdigit() or "PROGRAM" in line:
            continue
        count = int(parts[0].replace(",", "")) / calls
        where = parts[2]
        func = where.split(":", 1)[1] if ":" in where else where
        lib = ""
        if " [" in func:
            func, lib = func.rsplit(" [", 1)
            lib = os.path.basename(lib.rstrip("]"))
        if func.startswith(("0x", "(below main)")) or "'" in func.split("(")[0]:
            continue  # unnamed frames and recursion duplicates
        func = func.replace("zarn::", "").replace("(anonymous namespace)::", "")
        total = total or count
        if count > 0.97 * total and "vectorcall(" not in func:
            continue  # the harness: interpreter start-up and the loop's own frames
        if func in seen:
            continue  # the same function under another file name (inlined headers)
        seen.add(func)
        print(f"{count:10.0f}  {func[:110]}  {lib}")
        shown += 1
        if shown >= top:
            break


# --------------------------------------------------------------------------- main


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--method", help="only the cases of this method (a name or a prefix, "
                                    "comma-separated for several)")
    p.add_argument("--calls", type=int, default=20_000, help="calls per timed loop")
    p.add_argument("--rounds", type=int, default=15, help="paired rounds per case")
    p.add_argument("--no-icount", action="store_true", help="skip the callgrind counts")
    p.add_argument("--icount-calls", type=int, default=2000, help="N for the callgrind runs")
    p.add_argument("--json", help="also write the figures to this file")
    p.add_argument("--profile", action="store_true",
                   help="with --method: where the instructions of its (first) case go, by "
                        "function (callgrind); --side floor profiles the floor instead")
    p.add_argument("--side", choices=["method", "floor"], default="method")
    p.add_argument("--top", type=int, default=45, help="lines of --profile output")
    p.add_argument("--icount-child", help=argparse.SUPPRESS)
    p.add_argument("--profile-child", help=argparse.SUPPRESS)
    args = p.parse_args()

    if args.icount_child:
        icount_child(json.loads(args.icount_child), args.icount_calls)
        return 0
    if args.profile_child:
        name, side = json.loads(args.profile_child)
        profile_child(name, side, args.icount_calls)
        return 0

    cases = CASES
    if args.method and any(c.name == args.method for c in CASES):
        cases = [c for c in CASES if c.name == args.method]
    elif args.method:
        wanted = args.method.split(",")
        cases = [c for c in CASES if any(c.method.startswith(m) or c.name.startswith(m)
                                         for m in wanted)]
        if not cases:
            sys.exit(f"micro: no case matches {args.method!r}; methods: "
                     f"{', '.join(sorted({c.method for c in CASES}))}")
    if args.profile:
        profile(cases[0], args.side, args.icount_calls, args.top)
        return 0
    ns = namespace()
    results = {}
    for case in cases:
        results[case.name] = time_case(case, ns, args.calls, args.rounds)
    icount_note = ""
    if not args.no_icount:
        try:
            for name, fig in icounts(cases, args.icount_calls).items():
                results[name].update(fig)
        except (RuntimeError, subprocess.TimeoutExpired) as e:
            icount_note = f"(no instruction counts: {e})"
        if shutil.which("valgrind") is None:
            icount_note = "(no instruction counts: valgrind is not installed)"

    print(f"Module's own cost per call, fake client without I/O; {args.rounds} paired rounds of "
          f"{args.calls} calls, medians; instructions from callgrind, N={args.icount_calls} "
          f"{icount_note}")
    print(f"{'case':38} {'method ns':>10} {'floor ns':>9} {'overhead ns':>12} {'[IQR]':>13} "
          f"{'method ins':>11} {'floor ins':>10} {'overhead ins':>13}")
    for case in cases:
        r = results[case.name]
        lo, hi = r["overhead_spread_ns"]
        line = (f"{case.name:38} {r['method_ns']:10.0f} {r['floor_ns']:9.0f} "
                f"{r['overhead_ns']:12.0f} {f'[{lo:.0f}..{hi:.0f}]':>13}")
        if "method_instr" in r:
            line += (f" {r['method_instr']:11.0f} {r['floor_instr']:10.0f} "
                     f"{r['overhead_instr']:13.0f}")
        print(line)
    notes = [c for c in cases if c.note]
    if notes:
        print()
        for c in notes:
            print(f"  {c.name}: {c.note}")
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(results, fh, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())

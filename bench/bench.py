#!/usr/bin/env python3
"""Side-by-side benchmark of RedisWrapper against redis-py and orjson used directly.

Starts a throwaway redis-server on a free loopback port, measures each figure as paired
rounds (module and peer back to back, in alternating order), and reports the median of
the rounds' ratios, with wall-clock rates and the process's CPU time per call beside them.
Prints a table and writes a PNG plot, a Markdown table and the raw figures (JSON) under
bench/results/.

    python bench/bench.py                 # default run, a few minutes
    python bench/bench.py --quick         # about a minute, fewer and shorter rounds
    python bench/bench.py --only 1,5,8    # some figures only
    python bench/bench.py --parser hiredis

Ratios are "module / peer" in calls (or records) per second, so 1.0 means the module
costs nothing beyond what redis-py and orjson cost; for figure 5 the ratio is of per-call
times, so lower is better there.
"""

from __future__ import annotations

import argparse
import ctypes
import datetime
import gc
import hashlib
import json
import math
import os
import platform
import queue
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"

SIZES = [100, 1_000, 10_000, 100_000, 1_000_000]
SIZE_LABELS = {100: "100 B", 1_000: "1 KB", 10_000: "10 KB", 100_000: "100 KB", 1_000_000: "1 MB"}
TTL = 60


# --------------------------------------------------------------------------- options


# A round is one short block of each side, back to back, the order alternating from round
# to round, so that both sides of a round see the same machine; the figure is the median
# of many rounds' ratios, which shrugs off the rounds that another process disturbed.
# (`blocks` > 1 sums several interleaved blocks per round instead.) The sizes below are
# per block, chosen to last some 5-20 ms each on a loopback server.
@dataclass
class Plan:
    rounds: int
    blocks: int
    n_write: int  # calls per block for the simple request loops
    n_scan: int  # scan_keys calls per block
    n_delete_many: int  # delete_many calls per block
    n_queue: int  # figure 5 calls per block
    burst: dict[int, int]  # figure 1/6 records per burst (one burst per block), by size
    threads_total: int  # figure 7 calls per block, split over the threads
    busy_seconds: float  # figure 8 producer run per round
    busy_rounds: int  # figure 8 rounds
    bench_requests: int  # redis-benchmark -n


BURST = {100: 200, 1_000: 200, 10_000: 100, 100_000: 25, 1_000_000: 4}
PLANS = {
    "quick": Plan(15, 1, 200, 1, 20, 1000, BURST, 800, 0.25, 3, 10_000),
    "default": Plan(41, 1, 200, 1, 20, 1000, BURST, 800, 0.4, 7, 20_000),
    "long": Plan(101, 1, 200, 1, 20, 1000, BURST, 800, 0.5, 15, 50_000),
}


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    size = p.add_mutually_exclusive_group()
    size.add_argument("--quick", action="store_true", help="fewer, shorter rounds (about a minute)")
    size.add_argument("--long", action="store_true", help="more, longer rounds (steadier medians)")
    p.add_argument("--rounds", type=int, help="paired rounds per figure (overrides the plan)")
    p.add_argument("--only", help="comma-separated figure numbers to run, e.g. 1,5,8")
    p.add_argument("--parser", choices=["auto", "python", "hiredis"], default="auto",
                   help="redis-py's reply parser: python hides hiredis from redis-py even when it "
                        "is installed; hiredis requires it; auto takes what is installed")
    p.add_argument("--busy-us", type=float, default=20.0,
                   help="figure 8: CPU work the producer does between two writes, in microseconds")
    p.add_argument("--out", default=str(RESULTS), help="folder for the plot, table and JSON")
    p.add_argument("--tag", help="name stem of the output files (default: bench-<parser>)")
    p.add_argument("--no-plot", action="store_true", help="skip the PNG")
    p.add_argument("--compare", nargs=2, metavar="JSON",
                   help="print the absolute figures of two earlier runs side by side "
                        "(e.g. without and with hiredis) and exit")
    p.add_argument("--replot", metavar="JSON", help="plot a saved run again (PNG beside it) and exit")
    p.add_argument("--time-limit", type=float, default=1200.0,
                   help="abort the whole run after this many seconds (a safety net)")
    return p.parse_args(argv)


# --------------------------------------------------------------------------- server


def _die_with_parent() -> None:
    """Runs in the redis-server child before exec: it gets SIGTERM if this process dies."""
    try:
        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except Exception:
        pass


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# (client cores, server cores) once pin_cores() has run; None when not pinned.
PINNED: tuple[set[int], set[int]] | None = None


def pin_cores() -> None:
    """Pins this process, and so every thread it starts later (the module's worker, the
    peers' threads), to one core and the server to another. The machine's cores are not
    alike from one moment to the next (a neighbour's load lands on one of them), and a
    worker thread on one core timed against a main thread on the other measured the cores,
    not the code: ratios swung between 0.4 and 1.9 from run to run."""
    global PINNED
    cores = sorted(os.sched_getaffinity(0))
    if len(cores) < 2:
        return
    PINNED = ({cores[0]}, set(cores[1:]))
    os.sched_setaffinity(0, PINNED[0])


class Server:
    """A throwaway redis-server on 127.0.0.1, without persistence, stopped by its PID."""

    def __init__(self) -> None:
        binary = shutil.which("redis-server")
        if binary is None:
            sys.exit("bench: redis-server not found (Debian: apt-get install redis-server)")
        self.host = "127.0.0.1"
        self.port = free_port()
        self.proc = subprocess.Popen(
            [binary, "--port", str(self.port), "--bind", self.host, "--save", "",
             "--appendonly", "no", "--loglevel", "warning"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, preexec_fn=_die_with_parent)
        if PINNED:
            os.sched_setaffinity(self.proc.pid, PINNED[1])
        import redis

        deadline = time.monotonic() + 10
        while True:
            try:
                redis.Redis(host=self.host, port=self.port, socket_timeout=1).ping()
                break
            except redis.exceptions.ConnectionError:
                if self.proc.poll() is not None or time.monotonic() > deadline:
                    self.stop()
                    sys.exit("bench: redis-server did not start")
                time.sleep(0.05)
        self.admin = redis.Redis(host=self.host, port=self.port, socket_timeout=30)
        self.version = self.admin.info("server")["redis_version"]

    def stop(self) -> None:
        if self.proc.poll() is None:
            os.kill(self.proc.pid, signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()


# --------------------------------------------------------------------------- measuring


@dataclass
class Side:
    ops: int
    wall: float
    cpu: float

    @property
    def rate(self) -> float:
        return self.ops / self.wall

    @property
    def cpu_us(self) -> float:
        return self.cpu / self.ops * 1e6


def timed(ops: int, fn) -> Side:
    """Runs fn() once; wall and process CPU time (all threads) for `ops` operations."""
    c0 = time.process_time()
    t0 = time.perf_counter()
    fn()
    t1 = time.perf_counter()
    c1 = time.process_time()
    return Side(ops, t1 - t0, c1 - c0)


def drain_timed(q: queue.Queue, burst, limit: float) -> Side:
    """Queues a burst untimed, then times the worker alone (the producer idle) until
    q.join() returns. The worker may already have taken some records while the burst was
    queued, so the operations counted are the records still unfinished when the clock
    starts."""
    burst()
    ops = q.unfinished_tasks
    c0 = time.process_time()
    t0 = time.perf_counter()
    join_within(q, limit)
    t1 = time.perf_counter()
    c1 = time.process_time()
    return Side(max(ops, 1), t1 - t0, c1 - c0)


@dataclass
class Pair:
    """Paired rounds: the module and its peer timed back to back, order alternating."""

    mod: list[Side] = field(default_factory=list)
    peer: list[Side] = field(default_factory=list)

    @property
    def ratios(self) -> list[float]:
        return [m.rate / p.rate for m, p in zip(self.mod, self.peer)]

    @property
    def ratio(self) -> float:
        return statistics.median(self.ratios)

    @property
    def cpu_ratios(self) -> list[float]:
        """Peer's CPU per call over the module's, per round (below 1: the module uses more)."""
        return [(p.cpu / p.ops) / (m.cpu / m.ops) if m.cpu > 0 and p.cpu > 0 else float("nan")
                for m, p in zip(self.mod, self.peer)]

    @property
    def cpu_ratio(self) -> float:
        vals = [x for x in self.cpu_ratios if x == x]
        return statistics.median(vals) if vals else float("nan")

    @property
    def ratio_best(self) -> float:
        """Best round of each side, then their ratio (the less robust figure)."""
        return max(m.rate for m in self.mod) / max(p.rate for p in self.peer)

    def rate(self, side: str) -> float:
        return statistics.median(s.rate for s in getattr(self, side))

    def cpu_us(self, side: str) -> float:
        return statistics.median(s.cpu_us for s in getattr(self, side))

    def as_json(self) -> dict:
        return {
            "ratio_median": self.ratio, "ratio_best": self.ratio_best, "ratios": self.ratios,
            "cpu_ratio": self.cpu_ratio, "ratio_iqr": quartiles(self.ratios),
            "ratio_ci95": median_ci(self.ratios),
            "module_rate": self.rate("mod"), "peer_rate": self.rate("peer"),
            "module_cpu_us": self.cpu_us("mod"), "peer_cpu_us": self.cpu_us("peer"),
        }


def median_ci(xs: list[float], level: float = 0.95, resamples: int = 2000) -> tuple[float, float]:
    """Bootstrap confidence interval of the median (fixed seed: the same data give the
    same interval)."""
    import random

    rng = random.Random(0)
    n = len(xs)
    meds = sorted(statistics.median(rng.choices(xs, k=n)) for _ in range(resamples))
    lo = meds[int((1 - level) / 2 * resamples)]
    hi = meds[min(resamples - 1, int((1 + level) / 2 * resamples))]
    return lo, hi


def quartiles(xs: list[float]) -> tuple[float, float]:
    if len(xs) < 4:
        return min(xs), max(xs)
    q = statistics.quantiles(xs, n=4)
    return q[0], q[2]


def paired(rounds: int, blocks: int, module, peer, prepare=None, warmup: bool = True) -> Pair:
    """module() and peer() each run one block and return its Side. A round runs `blocks`
    blocks of each side, the order alternating from block to block, and sums them.
    prepare(), when given, runs untimed before each block (it may reset the server's
    data). One untimed warm-up block of each side first."""
    pair = Pair()
    if warmup:
        for fn in (module, peer):
            if prepare:
                prepare()
            fn()
    k = 0
    for _ in range(rounds):
        acc: dict[str, list[Side]] = {"mod": [], "peer": []}
        for _ in range(blocks):
            order = [("mod", module), ("peer", peer)]
            if k % 2:
                order.reverse()
            k += 1
            for side, fn in order:
                if prepare:
                    prepare()
                acc[side].append(fn())
        for side, sides in acc.items():
            getattr(pair, side).append(Side(sum(s.ops for s in sides), sum(s.wall for s in sides),
                                            sum(s.cpu for s in sides)))
    return pair


def join_within(q: queue.Queue, seconds: float) -> None:
    """q.join(), bounded: raises if the queue's items are not all done within `seconds`."""
    deadline = time.monotonic() + seconds
    with q.all_tasks_done:
        while q.unfinished_tasks:
            left = deadline - time.monotonic()
            if left <= 0:
                raise RuntimeError(f"worker did not finish within {seconds}s "
                                   f"({q.unfinished_tasks} records left)")
            q.all_tasks_done.wait(left)


def make_frame(size: int, seq: int = 0) -> dict:
    """A frame record whose compact JSON is exactly `size` bytes (size >= 60): a few
    header fields, detections up to the size, and a padding note for the last bytes."""
    import orjson

    frame = {"camera_id": "cam-01", "seq": seq, "ts": 1733680000.125, "detections": [],
             "note": ""}
    det = {"label": "person", "score": 0.91, "bbox": [412, 218, 96, 240], "track": 17}
    step = len(orjson.dumps(det)) + 1
    while len(orjson.dumps(frame)) + step <= size:
        frame["detections"].append(dict(det, track=len(frame["detections"])))
    frame["note"] = "x" * max(0, size - len(orjson.dumps(frame)))
    return frame


# --------------------------------------------------------------------------- the figures


class Bench:
    def __init__(self, args: argparse.Namespace, plan: Plan, server: Server) -> None:
        import orjson
        import redis

        import zarn_sdk.redis.redis_wrapper as rw

        self.args = args
        self.plan = plan
        self.server = server
        self.redis = redis
        self.orjson = orjson
        self.rw = rw
        self.frame = make_frame(1_000)
        self.rows: list[dict] = []
        self.context: dict = {}
        self.size_curve: dict[int, Pair] = {}
        self.busy: dict[str, dict] = {}

    # The peer client, built as the module builds its own.
    def client(self, workers: int = 2):
        pool = self.redis.ConnectionPool(host=self.server.host, port=self.server.port,
                                         max_connections=max(10, 5 * workers),
                                         decode_responses=False)
        return self.redis.StrictRedis(connection_pool=pool)

    def wrapper(self, thread: bool, workers: int = 2):
        return self.rw.RedisWrapper(thread=thread, host=self.server.host, port=self.server.port,
                                    workers=workers)

    def flush(self) -> None:
        self.server.admin.flushall()

    def row(self, num: str, figure: str, pair: Pair | None, goal: float | None, **extra) -> dict:
        row = {"num": num, "figure": figure, "goal": goal}
        if pair is not None:
            row.update(pair.as_json())
            row["met"] = None if goal is None else pair.ratio >= goal
        row.update(extra)
        self.rows.append(row)
        self.print_row(row)
        return row

    @staticmethod
    def print_row(row: dict) -> None:
        if "ratio_median" in row:
            met = {True: "met", False: "NOT MET", None: "-"}[row.get("met")]
            lo, hi = row["ratio_ci95"]
            print(f"  [{row['num']}] {row['figure']}: ratio {row['ratio_median']:.3f} "
                  f"(95% CI {lo:.3f}..{hi:.3f}, CPU ratio {row['cpu_ratio']:.3f}) {met}; "
                  f"{row['module_rate']:,.0f}/s vs {row['peer_rate']:,.0f}/s; CPU "
                  f"{row['module_cpu_us']:.1f} vs {row['peer_cpu_us']:.1f} us/call", flush=True)

    # ---- figure 1 and 6: the background worker's throughput on a burst

    def burst_pair(self, size: int, n: int, rounds: int) -> Pair:
        frame = self.frame if size == 1_000 else make_frame(size)
        keys = [f"bench:burst:{i}" for i in range(min(n, 1000))]
        keys = (keys * (n // len(keys) + 1))[:n]
        w = self.wrapper(thread=True, workers=n)
        client = self.client(workers=2)
        dumps = self.orjson.dumps
        limit = 60 + n * (0.01 + size / 5e6)

        def module() -> Side:
            write = w.write_zarn_data

            def burst():
                for k in keys:
                    write(frame, k, TTL)
            return drain_timed(w._queue, burst, limit)

        def peer() -> Side:
            set_ = client.set

            def run():
                for k in keys:
                    set_(k, dumps(frame), ex=TTL)
            return timed(n, run)

        try:
            return paired(rounds, self.plan.blocks, module, peer)
        finally:
            w._shutdown_executor()
            client.connection_pool.disconnect()
            self.flush()

    def fig0(self) -> None:
        """The noise floor of this run: the raw loop against itself (same code, two
        clients). Its distance from 1.000 and its spread say how far to trust the rows."""
        n = self.plan.n_write
        a, b = self.client(), self.client()
        frame, dumps = self.frame, self.orjson.dumps
        keys = [f"bench:aa:{i}" for i in range(n)]

        def loop(client):
            def run(n):
                set_ = client.set
                for k in keys:
                    set_(k, dumps(frame), ex=TTL)
            return run

        self.row("0", "A/A check: the raw set loop against itself", self.loop_pair(n, loop(a), loop(b)),
                 None)
        self.flush()

    def fig1(self) -> None:
        n = self.plan.burst[1_000]
        pair = self.burst_pair(1_000, n, self.plan.rounds)
        self.fig1_pair = pair
        self.row("1", f"background worker, burst of {n} x 1 KB, until join()", pair, 0.95)
        self.handoff_rows(n)

    def handoff_rows(self, n: int) -> None:
        """Splits figure 1's gap in two: the same queue hand-off written in Python (a
        queue.Queue and a Python worker thread doing what the module's worker does)
        against the raw loop is the cost of the hand-off itself; the module against it
        is what the module adds on top."""
        frame, dumps, Empty = self.frame, self.orjson.dumps, queue.Empty
        keys = [f"bench:burst:{i}" for i in range(n)]
        w = self.wrapper(thread=True, workers=n)
        client = self.client()
        raw = self.client()
        pq: queue.Queue = queue.Queue(maxsize=n)
        stop = threading.Event()

        def python_worker():
            while not stop.is_set():
                try:
                    item = pq.get(timeout=0.2)
                except Empty:
                    continue
                try:
                    data, key, ttl = item
                    try:
                        client.set(key, dumps(data), ex=ttl)
                    except Exception as err:  # the module logs these; none happen here
                        print(f"python worker: {err}", file=sys.stderr)
                finally:
                    pq.task_done()

        worker = threading.Thread(target=python_worker, daemon=True)
        worker.start()

        def module() -> Side:
            write = w.write_zarn_data

            def burst():
                for k in keys:
                    write(frame, k, TTL)
            return drain_timed(w._queue, burst, 60)

        def python() -> Side:
            put = pq.put_nowait

            def burst():
                for k in keys:
                    put((frame, k, TTL))
            return drain_timed(pq, burst, 60)

        def peer() -> Side:
            set_ = raw.set

            def run():
                for k in keys:
                    set_(k, dumps(frame), ex=TTL)
            return timed(n, run)

        try:
            floor = paired(self.plan.rounds, self.plan.blocks, python, peer)
            self.row("1h", "reference: the same hand-off written in Python (queue.Queue + "
                           "Python worker thread) vs raw loop", floor, None)
            own = paired(self.plan.rounds, self.plan.blocks, module, python)
            self.row("1m", "module's worker vs that Python hand-off (the module's own share)",
                     own, None)
        finally:
            stop.set()
            worker.join(1)
            w._shutdown_executor()
            for c in (client, raw):
                c.connection_pool.disconnect()
            self.flush()

    def fig6(self) -> None:
        worst = None
        for size in SIZES:
            n = self.plan.burst[size]
            pair = self.burst_pair(size, n, self.plan.rounds)
            self.size_curve[size] = pair
            row = self.row(f"6/{SIZE_LABELS[size]}",
                           f"background worker, burst of {n} x {SIZE_LABELS[size]}", pair, 0.95,
                           size=size)
            if worst is None or row["ratio_median"] < worst["ratio_median"]:
                worst = row

    # ---- figure 2, 3, 4: direct calls against the same redis-py calls

    def loop_pair(self, n: int, module_call, peer_call, prepare=None, rounds=None) -> Pair:
        def module() -> Side:
            return timed(n, lambda: module_call(n))

        def peer() -> Side:
            return timed(n, lambda: peer_call(n))

        return paired(rounds or self.plan.rounds, self.plan.blocks, module, peer, prepare)

    def fig2(self) -> None:
        n = self.plan.n_write
        w = self.wrapper(thread=False)
        client = self.client()
        frame, dumps = self.frame, self.orjson.dumps
        keys = [f"bench:direct:{i}" for i in range(n)]

        def module(n):
            write = w.write_zarn_data
            for k in keys:
                write(frame, k, TTL)

        def peer(n):
            set_ = client.set
            for k in keys:
                set_(k, dumps(frame), ex=TTL)

        self.row("2", "write_zarn_data, direct mode", self.loop_pair(n, module, peer), 0.97)
        self.flush()

    def fig3(self) -> None:
        n = self.plan.n_write
        w = self.wrapper(thread=False)
        client = self.client()
        keys = [f"bench:read:{i % 1000}" for i in range(n)]
        with self.server.admin.pipeline(transaction=False) as pipe:
            for k in set(keys):
                pipe.set(k, self.orjson.dumps(self.frame))
            pipe.execute()
        loads = self.orjson.loads

        def module(n):
            read = w.read_zarn_data
            for k in keys:
                read(k)

        def peer(n):
            get = client.get
            for k in keys:
                loads(get(k))

        self.row("3", "read_zarn_data (1 KB record)", self.loop_pair(n, module, peer), 0.97)
        self.flush()

    def fig4(self) -> None:
        n = self.plan.n_write
        w = self.wrapper(thread=False)
        client = self.client()
        admin = self.server.admin
        text = "v" * 1_000
        keys = [f"bench:value:{i}" for i in range(n)]

        def fill(ks):
            with admin.pipeline(transaction=False) as pipe:
                for i in range(0, len(ks), 1000):
                    pipe.mset({k: text for k in ks[i:i + 1000]})
                pipe.execute()

        def mod_write(n):
            f = w.write_data
            for k in keys:
                f(k, text, TTL)

        def peer_write(n):
            f = client.set
            for k in keys:
                f(k, text, ex=TTL)

        self.row("4a", "write_data (1 KB text)", self.loop_pair(n, mod_write, peer_write), 0.97)

        def mod_read(n):
            f = w.read_data
            for k in keys:
                f(k)

        def peer_read(n):
            f = client.get
            for k in keys:
                f(k)

        fill(keys)
        self.row("4b", "read_data (1 KB value)", self.loop_pair(n, mod_read, peer_read), 0.97)

        def mod_delete(n):
            f = w.delete_data
            for k in keys:
                f(k)

        def peer_delete(n):
            f = client.delete
            for k in keys:
                f(k)

        self.row("4c", "delete_data (existing key)",
                 self.loop_pair(n, mod_delete, peer_delete, prepare=lambda: fill(keys)), 0.97)

        m = self.plan.n_delete_many
        groups = [[f"bench:many:{g}:{i}" for i in range(100)] for g in range(m)]
        all_keys = [k for g in groups for k in g]

        def mod_many(n):
            f = w.delete_many
            for g in groups:
                f(g)

        def peer_many(n):
            f = client.delete
            for g in groups:
                f(*g)

        self.row("4d", "delete_many (100 existing keys)",
                 self.loop_pair(m, mod_many, peer_many, prepare=lambda: fill(all_keys)), 0.97)
        self.flush()

        fill([f"bench:scan:{i}" for i in range(10_000)])
        fill([f"other:{i}" for i in range(1_000)])
        pattern = "bench:scan:*"
        s = self.plan.n_scan
        found = []

        def mod_scan(n):
            f = w.scan_keys
            for _ in range(n):
                found.append(len(f(pattern)))

        def peer_scan(n):
            f = client.scan_iter
            for _ in range(n):
                found.append(len([k.decode() for k in f(match=pattern)]))

        pair = self.loop_pair(s, mod_scan, peer_scan)
        if set(found) != {10_000}:
            raise RuntimeError(f"scan found {sorted(set(found))} keys, expected 10000")
        self.row("4e", "scan_keys (10,000 of 11,000 keys)", pair, 0.97)
        self.flush()

    # ---- figure 5: the caller's cost of a queued write while the queue stays full

    def fig5(self) -> None:
        n = self.plan.n_queue
        frame = self.frame
        w = self.wrapper(thread=True)  # workers=2: a queue of 2
        admin = self.server.admin
        pc = time.perf_counter_ns
        Full = queue.Full

        def python_write(q, data, redis_key, ttl):
            # The queue operations of a drop-oldest write, written directly in Python.
            try:
                q.put_nowait((data, redis_key, ttl))
                return True
            except Full:
                pass
            try:
                q.get_nowait()
                q.task_done()
            except Exception:
                pass
            q.put_nowait((data, redis_key, ttl))
            return True

        peer_q: queue.Queue = queue.Queue(maxsize=2)
        while not peer_q.full():
            peer_q.put_nowait(None)

        def sample(call) -> list[int]:
            out = [0] * n
            for i in range(n):
                t0 = pc()
                call()
                out[i] = pc() - t0
            return out

        write = w.write_zarn_data
        key = "bench:stalled"
        samples: dict[str, list[list[int]]] = {"mod": [], "peer": []}

        def module():
            samples["mod"].append(sample(lambda: write(frame, key, TTL)))

        def peer():
            samples["peer"].append(sample(lambda: python_write(peer_q, frame, key, TTL)))

        # The harness alone: a call of an empty function between the two clock reads.
        def empty():
            return True
        harness = statistics.median(sample(empty))

        blocks = self.plan.blocks
        pause_ms = int((60 + self.plan.rounds * blocks * n * 20e-6) * 1000)
        admin.execute_command("CLIENT", "PAUSE", pause_ms, "WRITE")
        try:
            # Fill the queue: the worker takes one record and then waits on the paused server.
            for i in range(50):
                write(frame, key, TTL)
                time.sleep(0.01)
                if i >= 4 and w._queue.full():
                    break
            if not w._queue.full():
                raise RuntimeError("the queue did not stay full under CLIENT PAUSE")
            module()  # warm-up blocks
            peer()
            del samples["mod"][:], samples["peer"][:]
            mod_rounds, peer_rounds = [], []
            for r in range(self.plan.rounds):
                for b in range(blocks):
                    for fn in ((module, peer) if (r * blocks + b) % 2 == 0 else (peer, module)):
                        fn()
                mod_rounds.append([x for s in samples["mod"] for x in s])
                peer_rounds.append([x for s in samples["peer"] for x in s])
                del samples["mod"][:], samples["peer"][:]
            full_at_end = w._queue.full()
        finally:
            admin.execute_command("CLIENT", "UNPAUSE")
            w._shutdown_executor()
        if not full_at_end:
            raise RuntimeError("the queue drained during the measurement: the server was not stalled")
        ratios = [(statistics.median(m) - harness) / (statistics.median(p) - harness)
                  for m, p in zip(mod_rounds, peer_rounds)]
        ratios_raw = [statistics.median(m) / statistics.median(p)
                      for m, p in zip(mod_rounds, peer_rounds)]
        mod_all = sorted(x for s in mod_rounds for x in s)
        peer_all = sorted(x for s in peer_rounds for x in s)

        def pct(xs, q):
            return xs[min(len(xs) - 1, int(q * len(xs)))]

        row = {
            "num": "5", "figure": "queued write_zarn_data, queue full (server paused)",
            "goal": 1.1, "time_ratio_median": statistics.median(ratios), "time_ratios": ratios,
            "time_ratio_raw": statistics.median(ratios_raw), "harness_ns": harness,
            "module_median_ns": statistics.median(mod_all), "peer_median_ns": statistics.median(peer_all),
            "module_p999_ns": pct(mod_all, 0.999), "peer_p999_ns": pct(peer_all, 0.999),
            "module_max_ns": mod_all[-1], "peer_max_ns": peer_all[-1], "calls": len(mod_all),
        }
        row["met"] = row["time_ratio_median"] <= 1.1
        self.rows.append(row)
        print(f"  [5] queued write, queue full: median {row['module_median_ns']:.0f} ns vs "
              f"{row['peer_median_ns']:.0f} ns in Python (harness {harness:.0f} ns); "
              f"time ratio {row['time_ratio_median']:.3f} ({row['time_ratio_raw']:.3f} with the "
              f"harness); p99.9 {row['module_p999_ns']:.0f} vs {row['peer_p999_ns']:.0f} ns",
              flush=True)

    # ---- figure 7: direct writes from several threads sharing one instance / one client

    def fig7(self) -> None:
        frame, dumps = self.frame, self.orjson.dumps
        for nthreads in (1, 4, 16):
            workers = max(2, math.ceil(nthreads / 5))
            per = max(1, self.plan.threads_total // nthreads)
            w = self.wrapper(thread=False, workers=workers)
            client = self.client(workers=workers)

            def run_threads(body) -> Side:
                start = threading.Barrier(nthreads + 1)
                errors: list[BaseException] = []

                def thread_main(t):
                    keys = [f"bench:threads:{t}:{i % 200}" for i in range(per)]
                    start.wait()
                    try:
                        body(keys)
                    except BaseException as e:  # reported after the join
                        errors.append(e)

                threads = [threading.Thread(target=thread_main, args=(t,)) for t in range(nthreads)]
                for t in threads:
                    t.start()

                def go():
                    start.wait()
                    for t in threads:
                        t.join(120)
                side = timed(per * nthreads, go)
                if errors or any(t.is_alive() for t in threads):
                    raise RuntimeError(f"thread failed: {errors[:1]}")
                return side

            def mod_body(keys):
                write = w.write_zarn_data
                for k in keys:
                    write(frame, k, TTL)

            def peer_body(keys):
                set_ = client.set
                for k in keys:
                    set_(k, dumps(frame), ex=TTL)

            pair = paired(self.plan.rounds, self.plan.blocks, lambda: run_threads(mod_body),
                          lambda: run_threads(peer_body))
            self.row(f"7/{nthreads}", f"write_zarn_data direct, {nthreads} thread(s), workers={workers}",
                     pair, 0.95, threads=nthreads)
            client.connection_pool.disconnect()
            self.flush()

    # ---- figure 8: the worker while the producer thread keeps the interpreter busy

    def fig8(self) -> None:
        frame = self.frame
        seconds = self.plan.busy_seconds
        work_us = self.args.busy_us
        spin_n = calibrate_spin(work_us)
        hash_buf = calibrate_hash(work_us)
        camera_us = 30_000.0
        spin_camera = calibrate_spin(camera_us)
        # A queue that cannot fill up, whatever the producer's pace (at most one record
        # per 2 us): a drop would count the dropped record as stored.
        capacity = int(seconds * 500_000) + 1000
        w = self.wrapper(thread=True, workers=capacity)
        q = w._queue
        write = w.write_zarn_data
        keys = [f"bench:busy:{i}" for i in range(1000)]
        n_idle = self.plan.burst[1_000]

        def idle() -> Side:
            def run():
                for i in range(n_idle):
                    write(frame, keys[i % 1000], TTL)
                join_within(q, 120)
            return timed(n_idle, run)

        def busy(kind: str):
            def measure() -> Side:
                old = sys.getswitchinterval()
                if kind == "switch":
                    sys.setswitchinterval(0.0005)
                produced = 0
                backlog = 0
                c0 = time.process_time()
                t0 = time.perf_counter()
                deadline = t0 + (max(1.0, seconds) if kind == "camera" else seconds)
                try:
                    while time.perf_counter() < deadline:
                        # Records queued or in flight when the next one comes.
                        backlog = max(backlog, q.unfinished_tasks)
                        write(frame, keys[produced % 1000], TTL)
                        produced += 1
                        if kind == "gil-free":
                            hashlib.sha256(hash_buf)
                        elif kind == "camera":
                            spin(spin_camera)
                        else:
                            spin(spin_n)
                        if kind == "yield":
                            time.sleep(0)
                    t1 = time.perf_counter()
                    if backlog >= capacity:
                        raise RuntimeError("figure 8: the queue filled up, records were dropped")
                    stored = produced - q.unfinished_tasks
                    c1 = time.process_time()
                finally:
                    sys.setswitchinterval(old)
                # Discard what is still waiting (not part of the figure), then let the
                # record in flight finish.
                try:
                    while True:
                        q.get_nowait()
                        q.task_done()
                except queue.Empty:
                    pass
                join_within(q, 60)
                self.busy_detail[kind].append({"produced": produced, "stored": stored,
                                               "wall": t1 - t0, "backlog": backlog})
                return Side(stored, t1 - t0, c1 - c0)
            return measure

        kinds = ("python", "switch", "yield", "gil-free", "camera")
        self.busy_detail = {k: [] for k in kinds}
        labels = {
            "python": f"producer runs {work_us:g} us of Python between writes",
            "switch": "same, sys.setswitchinterval(0.0005)",
            "yield": "same, time.sleep(0) after each write",
            "gil-free": f"producer's {work_us:g} us of work releases the GIL (hashlib)",
            "camera": f"camera-like: {camera_us / 1000:g} ms of Python per frame",
        }
        try:
            for kind in kinds:
                pair = paired(self.plan.busy_rounds, 1, busy(kind), idle)
                d = self.busy_detail[kind][1:]  # after the warm-up
                produced = statistics.median(x["produced"] / x["wall"] for x in d)
                stored_share = statistics.median(x["stored"] / max(1, x["produced"]) for x in d)
                backlog = max(x["backlog"] for x in d)
                self.busy[kind] = {"label": labels[kind], **pair.as_json(),
                                   "producer_rate": produced, "stored_share": stored_share,
                                   "backlog": backlog}
                self.row(f"8/{kind}", labels[kind] + " (vs idle producer)", pair, None,
                         producer_rate=produced, stored_share=stored_share, backlog=backlog)
                print(f"      producer offered {produced:,.0f} records/s; the worker stored "
                      f"{stored_share:.1%} of them while the producer ran; largest backlog "
                      f"{backlog}", flush=True)
        finally:
            w._shutdown_executor()
            self.flush()

    # ---- H: redis-py's two reply parsers against each other, paired in one run

    def figH(self) -> None:
        """Only where hiredis is importable: the same raw redis-py loops on two clients, one
        with the hiredis parser and one with redis-py's own, so that the parser's effect
        is measured in paired rounds rather than across two runs."""
        import redis.connection as rc

        if not getattr(rc, "HIREDIS_AVAILABLE", False):
            return
        h = self.redis.StrictRedis(connection_pool=self.redis.ConnectionPool(
            host=self.server.host, port=self.server.port, max_connections=10,
            decode_responses=False, parser_class=rc._HiredisParser))
        p = self.redis.StrictRedis(connection_pool=self.redis.ConnectionPool(
            host=self.server.host, port=self.server.port, max_connections=10,
            decode_responses=False, parser_class=rc._RESP2Parser))
        names = [type(c.connection_pool.get_connection()._parser).__name__ for c in (h, p)]
        n = self.plan.n_write
        frame, dumps, loads = self.frame, self.orjson.dumps, self.orjson.loads
        big = make_frame(100_000)
        keys = [f"bench:parser:{i % 1000}" for i in range(n)]
        admin = self.server.admin
        with admin.pipeline(transaction=False) as pipe:
            for k in set(keys):
                pipe.set(k, dumps(frame))
            pipe.set("bench:parser:big", dumps(big))
            pipe.execute()

        def both(make):
            return self.loop_pair(n, make(h), make(p))

        def setter(c):
            def run(n):
                f = c.set
                for k in keys:
                    f(k, dumps(frame), ex=TTL)
            return run

        def getter(c):
            def run(n):
                f = c.get
                for k in keys:
                    loads(f(k))
            return run

        def big_getter(c):
            def run(n):
                f = c.get
                for _ in range(n):
                    loads(f("bench:parser:big"))
            return run

        label = f"{names[0]} vs {names[1]}: "
        self.row("H/set", label + "orjson.dumps + set, 1 KB", both(setter), None)
        self.row("H/get", label + "get + orjson.loads, 1 KB", both(getter), None)
        self.row("H/get100k", label + "get + orjson.loads, 100 KB",
                 self.loop_pair(max(10, n // 20), big_getter(h), big_getter(p)), None)
        fill = [f"bench:scan:{i}" for i in range(10_000)]
        with admin.pipeline(transaction=False) as pipe:
            for i in range(0, len(fill), 1000):
                pipe.mset({k: "v" for k in fill[i:i + 1000]})
            pipe.execute()

        def scanner(c):
            def run(n):
                for _ in range(n):
                    [k.decode() for k in c.scan_iter(match="bench:scan:*")]
            return run

        self.row("H/scan", label + "scan_iter over 10,000 keys",
                 self.loop_pair(self.plan.n_scan, scanner(h), scanner(p)), None)
        for c in (h, p):
            c.connection_pool.disconnect()
        self.flush()

    # ---- context: the server's own single-connection limit, and the parser

    def context_lines(self) -> None:
        redis = self.redis
        import redis.utils as ru

        w = self.wrapper(thread=False)
        pool = w._redis_client.connection_pool
        conn = pool.get_connection()
        try:
            parser = type(conn._parser).__name__
        finally:
            pool.release(conn)
        self.context.update({
            "hiredis_available": bool(getattr(ru, "HIREDIS_AVAILABLE", False)),
            "parser_class": parser,
            "redis_py": redis.__version__,
            "orjson": self.orjson.__version__,
            "redis_server": self.server.version,
        })
        try:
            import hiredis
            self.context["hiredis"] = hiredis.__version__
        except ImportError:
            self.context["hiredis"] = None

        rb = shutil.which("redis-benchmark")
        if rb is None:
            self.context["redis_benchmark"] = None
            return
        payload = self.orjson.dumps(self.frame)
        n = self.plan.bench_requests
        client = self.client()
        keys = [f"bench:ctx:{i % 1000}" for i in range(n // 4)]

        def pyloop() -> float:
            set_, dumps, frame = client.set, self.orjson.dumps, self.frame
            t0 = time.perf_counter()
            for k in keys:
                set_(k, dumps(frame), ex=TTL)
            return len(keys) / (time.perf_counter() - t0)

        def server_limit() -> float:
            out = subprocess.run(
                [rb, "-h", self.server.host, "-p", str(self.server.port), "-c", "1", "-P", "1",
                 "-t", "set", "-d", str(len(payload)), "-n", str(n), "--csv"],
                capture_output=True, text=True, timeout=120, check=True).stdout
            for line in out.splitlines():
                cells = [c.strip('"') for c in line.split(",")]
                if cells and cells[0] == "SET":
                    return float(cells[1])
            raise RuntimeError(f"unexpected redis-benchmark output: {out!r}")

        pyloop()
        rates_rb, rates_py = [], []
        for r in range(3):
            for fn, out in ((server_limit, rates_rb), (pyloop, rates_py))[:: 1 if r % 2 == 0 else -1]:
                out.append(fn())
        self.context["redis_benchmark"] = {
            "value_size": len(payload),
            "rate": statistics.median(rates_rb),
            "redis_py_rate": statistics.median(rates_py),
            "redis_py_share": statistics.median(p / b for p, b in zip(rates_py, rates_rb)),
        }
        client.connection_pool.disconnect()
        self.flush()


def spin(n: int) -> int:
    """CPU-bound pure-Python work that never releases the GIL."""
    x = 0
    for i in range(n):
        x += i * i
    return x


def calibrate_spin(us: float) -> int:
    n = 1000
    while True:
        t0 = time.perf_counter()
        spin(n)
        dt = time.perf_counter() - t0
        if dt > 0.02:
            return max(1, int(n * us * 1e-6 / dt))
        n *= 2


def calibrate_hash(us: float) -> bytes:
    buf = b"\0" * (1 << 20)
    t0 = time.perf_counter()
    for _ in range(20):
        hashlib.sha256(buf)
    per_byte = (time.perf_counter() - t0) / (20 * len(buf))
    return b"\0" * max(4096, int(us * 1e-6 / per_byte))


# --------------------------------------------------------------------------- report


def machine() -> dict:
    model = platform.processor() or platform.machine()
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    tree = "unknown"
    try:
        root = HERE.parent
        tree = subprocess.run(["git", "-C", str(root), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True).stdout.strip()
        dirty = subprocess.run(["git", "-C", str(root), "status", "--porcelain", "native",
                                "CMakeLists.txt"], capture_output=True, text=True).stdout.strip()
        if dirty:
            tree += " + uncommitted changes in native/"
    except (OSError, subprocess.CalledProcessError):
        pass
    return {
        "tree": tree,
        "date": datetime.datetime.now().astimezone().strftime("%Y-%m-%d %H:%M %Z"),
        "cpu": model, "cores": os.cpu_count(), "arch": platform.machine(),
        "kernel": platform.release(), "python": platform.python_version(),
        "load": os.getloadavg()[0],
    }


def table(bench: Bench, info: dict) -> str:
    ctx = bench.context
    lines = []
    lines.append(f"Benchmark of RedisWrapper against redis-py + orjson used directly "
                 f"({info['date']}, tree {info.get('tree', '?')})")
    lines.append(f"machine: {info['cpu']}, {info['cores']} cores, {info['arch']}, Linux "
                 f"{info['kernel']}, Python {info['python']}, load {info['load']:.2f} at start")
    if ctx:
        lines.append(f"redis-server {ctx.get('redis_server')}, redis-py {ctx.get('redis_py')}, "
                     f"orjson {ctx.get('orjson')}, hiredis {ctx.get('hiredis') or 'not installed'}; "
                     f"HIREDIS_AVAILABLE={ctx.get('hiredis_available')}, "
                     f"reply parser {ctx.get('parser_class')}")
        rb = ctx.get("redis_benchmark")
        if rb:
            lines.append(f"server's single-connection limit (redis-benchmark -c 1 -P 1 -t set "
                         f"-d {rb['value_size']}): {rb['rate']:,.0f} SET/s; redis-py's raw loop "
                         f"(orjson.dumps + set) reaches {rb['redis_py_rate']:,.0f}/s = "
                         f"{rb['redis_py_share']:.0%} of it")
    lines.append(f"{bench.plan.rounds} paired rounds per figure (figure 8: "
                 f"{bench.plan.busy_rounds}), order alternating; ratio = median of the rounds' "
                 f"ratios (module / peer) [bootstrap 95% confidence interval of that median]; CPU ratio = median of the "
                 f"rounds' peer CPU per call / module CPU per call (process time, all threads)")
    lines.append("")
    head = (f"| # | figure | module /s | peer /s | ratio [95% CI] | goal | met | "
            f"CPU us/call module | peer | CPU ratio |")
    lines.append(head)
    lines.append("|---|---|---:|---:|---|---|---|---:|---:|---:|")
    for r in bench.rows:
        if "ratio_median" in r:
            goal = f">= {r['goal']}" if r["goal"] is not None else "reported"
            met = {True: "yes", False: "**no**", None: "-"}[r.get("met")]
            extra = ""
            if "stored_share" in r:
                extra = (f" (producer offered {r['producer_rate']:,.0f}/s, "
                         f"{r['stored_share']:.0%} stored meanwhile, largest backlog "
                         f"{r['backlog']:,})")
            lo, hi = r["ratio_ci95"]
            if r.get("met") is False and hi >= r["goal"]:
                met = "**no** (CI reaches goal)"
            lines.append(
                f"| {r['num']} | {r['figure']}{extra} | {r['module_rate']:,.0f} | "
                f"{r['peer_rate']:,.0f} | {r['ratio_median']:.3f} [{lo:.2f}..{hi:.2f}] | "
                f"{goal} | {met} | {r['module_cpu_us']:.1f} | {r['peer_cpu_us']:.1f} | "
                f"{r['cpu_ratio']:.3f} |")
        else:  # figure 5: per-call times
            met = "yes" if r["met"] else "**no**"
            lo, hi = median_ci(r["time_ratios"])
            lines.append(
                f"| {r['num']} | {r['figure']}: caller's time per call, median "
                f"(p99.9: {r['module_p999_ns'] / 1000:.1f} us vs {r['peer_p999_ns'] / 1000:.1f} us "
                f"in Python) | {r['module_median_ns']:.0f} ns | {r['peer_median_ns']:.0f} ns | "
                f"{r['time_ratio_median']:.3f} [{lo:.2f}..{hi:.2f}] (time; "
                f"{r['time_ratio_raw']:.3f} with the {r['harness_ns']:.0f} ns clock harness) | "
                f"<= 1.1 | {met} | - | - | - |")
    lines.append("")
    lines.append("Figure 5's peer is the same queue operations written in Python (put_nowait, "
                 "except Full, get_nowait, task_done, put_nowait) on a full queue.Queue of the "
                 "same capacity; its ratio is of times, so lower is better, and the clock "
                 "harness (two perf_counter_ns reads around an empty call) is subtracted from "
                 "both sides.")
    if bench.busy:
        lines.append("Figure 8 rows: worker's stored records/s while the producer works "
                     "(module column) against the idle-producer burst of figure 1 (peer column).")
    return "\n".join(lines)


SHORT = {
    "0": "A/A: raw loop vs itself (noise)",
    "1": "worker, burst of 1 KB records",
    "1h": "ref: Python hand-off vs raw loop",
    "1m": "ref: module worker vs Python hand-off",
    "2": "write_zarn_data, direct",
    "3": "read_zarn_data",
    "4a": "write_data",
    "4b": "read_data",
    "4c": "delete_data",
    "4d": "delete_many (100 keys)",
    "4e": "scan_keys (10,000 keys)",
    "7/1": "direct writes, 1 thread",
    "7/4": "direct writes, 4 threads",
    "7/16": "direct writes, 16 threads",
    "8/python": "20 us Python\nbetween writes",
    "8/switch": "same +\nswitchinterval\n0.5 ms",
    "8/yield": "same +\nsleep(0)\nafter writes",
    "8/gil-free": "20 us of work\nreleasing\nthe GIL",
    "8/camera": "camera-like\n30 ms Python\nper frame",
}


def plot(all_rows: list[dict], context: dict, info: dict, path: Path) -> None:
    """The ratios against their goals, figure 6 by record size and figure 8; from the rows
    alone, so that a saved JSON can be plotted again (--replot)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rows = [r for r in all_rows if "ratio_median" in r and not r["num"].startswith("6/")
            and (r["goal"] is not None or r["num"] in ("0", "1h", "1m"))]
    fig5 = [r for r in all_rows if r["num"] == "5"]
    size_rows = sorted((r for r in all_rows if r["num"].startswith("6/")), key=lambda r: r["size"])
    busy = {r["num"][2:]: r for r in all_rows if r["num"].startswith("8/")}
    nlow = bool(size_rows) + bool(busy)
    fig = plt.figure(figsize=(13, 5.5 + 5 * bool(nlow)))
    grid = fig.add_gridspec(1 + bool(nlow), max(1, nlow), height_ratios=[1.1, 1][:1 + bool(nlow)])
    ax = fig.add_subplot(grid[0, :])
    axes = [fig.add_subplot(grid[1, i]) for i in range(nlow)]
    names = [f"{r['num']}  {SHORT.get(r['num'], r['figure'][:40])}" for r in rows]
    vals = [r["ratio_median"] for r in rows]
    goals = [r["goal"] for r in rows]
    lows = [r["ratio_median"] - r["ratio_iqr"][0] for r in rows]
    highs = [r["ratio_iqr"][1] - r["ratio_median"] for r in rows]
    for r in fig5:  # show figure 5 as peer/module time, so that higher is better here too
        names.append("5  queued write, queue full (Python / module time)")
        vals.append(1 / r["time_ratio_median"])
        goals.append(1 / 1.1)
        lows.append(0)
        highs.append(0)
    y = list(range(len(names)))
    colors = ["tab:grey" if g is None else "tab:green" if v >= g else "tab:red"
              for v, g in zip(vals, goals)]
    ax.barh(y, vals, xerr=[lows, highs], color=colors, alpha=0.8, capsize=3)
    for yi, g, v in zip(y, goals, vals):
        if g is not None:
            ax.plot([g, g], [yi - 0.4, yi + 0.4], color="black", lw=1.5)
        ax.text(0.605, yi, f"{v:.3f}", va="center", fontsize=7, color="white")
    ax.set_yticks(y, names, fontsize=8)
    ax.invert_yaxis()
    ax.set_xlim(0.6, 1.2)
    ax.axvline(1.0, color="grey", lw=0.8, ls=":")
    ax.set_xlabel("module / redis-py (median of paired rounds, IQR bars); black tick = goal; "
                  "grey = reference rows without a goal")
    ax.set_title("Ratios against redis-py + orjson used directly")
    if size_rows:
        ax = axes.pop(0)
        sizes = [r["size"] for r in size_rows]
        ratio = [r["ratio_median"] for r in size_rows]
        ax.plot(sizes, ratio, "o-", color="tab:blue", label="ratio (median)")
        ax.fill_between(sizes, [r["ratio_iqr"][0] for r in size_rows],
                        [r["ratio_iqr"][1] for r in size_rows],
                        color="tab:blue", alpha=0.15, label="interquartile range")
        ax.axhline(0.95, color="black", lw=1, ls="--", label="goal 0.95")
        ax.set_xscale("log")
        ax.set_xticks(sizes, [SIZE_LABELS[s] for s in sizes])
        ax.set_ylim(0.6, 1.2)
        ax.set_ylabel("background worker / raw set loop")
        ax.set_xlabel("record size (JSON)")
        ax2 = ax.twinx()
        ax2.plot(sizes, [r["module_rate"] for r in size_rows], "s:", color="tab:orange",
                 label="module records/s")
        ax2.plot(sizes, [r["peer_rate"] for r in size_rows], "^:", color="tab:grey",
                 label="raw loop records/s")
        ax2.set_yscale("log")
        ax2.set_ylabel("records/s")
        h1, l1 = ax.get_legend_handles_labels()
        h2, l2 = ax2.get_legend_handles_labels()
        ax.legend(h1 + h2, l1 + l2, fontsize=7, loc="lower left")
        ax.set_title("Figure 6: background worker by record size")
    if busy:
        ax = axes.pop(0)
        kinds = list(busy)
        x = list(range(len(kinds)))
        share = [busy[k]["stored_share"] for k in kinds]
        ratio = [busy[k]["ratio_median"] for k in kinds]
        ax.bar([i - 0.2 for i in x], share, width=0.4, color="tab:purple", alpha=0.8,
               label="share of the offered records stored while the producer ran")
        ax.bar([i + 0.2 for i in x], ratio, width=0.4, color="tab:grey", alpha=0.8,
               label="worker's records/s, busy / idle producer")
        for i in x:
            ax.text(i - 0.2, share[i], f"{share[i]:.0%}", ha="center", va="bottom", fontsize=7)
            ax.text(i + 0.2, ratio[i], f"{ratio[i]:.2f}", ha="center", va="bottom", fontsize=7)
        ax.set_xticks(x, [SHORT.get(f"8/{k}", k) for k in kinds], fontsize=7)
        ax.set_ylim(0, 1.25)
        ax.axhline(1.0, color="grey", lw=0.8, ls=":")
        ax.legend(fontsize=7, loc="upper left")
        ax.set_title("Figure 8: the worker while the producer works")
    fig.suptitle(f"RedisWrapper vs redis-py, parser {context.get('parser_class', '?')}, "
                 f"{info['date']}, tree {info.get('tree', '?')}, {info['cpu']} x{info['cores']}", fontsize=9)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


# --------------------------------------------------------------------------- main


def compare(paths: list[str]) -> None:
    """Absolute figures of two runs side by side: the module's calls/s and CPU per call."""
    runs = [json.loads(Path(p).read_text()) for p in paths]
    names = [f"{r['context'].get('parser_class')}" for r in runs]
    print(f"Absolute figures, {names[0]} ({paths[0]}) against {names[1]} ({paths[1]}); "
          f"module side, medians")
    print(f"| # | figure | {names[0]} /s | {names[1]} /s | speed-up | CPU us/call "
          f"{names[0]} | {names[1]} | ratio to redis-py {names[0]} | {names[1]} |")
    print("|---|---|---:|---:|---:|---:|---:|---:|---:|")
    second = {r["num"]: r for r in runs[1]["rows"]}
    for a in runs[0]["rows"]:
        b = second.get(a["num"])
        if b is None:
            continue
        if "module_rate" in a:
            print(f"| {a['num']} | {a['figure']} | {a['module_rate']:,.0f} | {b['module_rate']:,.0f} | "
                  f"{b['module_rate'] / a['module_rate']:.2f}x | {a['module_cpu_us']:.1f} | "
                  f"{b['module_cpu_us']:.1f} | {a['ratio_median']:.3f} | {b['ratio_median']:.3f} |")
        elif "module_median_ns" in a:
            print(f"| {a['num']} | {a['figure']} (median ns per call) | {a['module_median_ns']:.0f} | "
                  f"{b['module_median_ns']:.0f} | {a['module_median_ns'] / b['module_median_ns']:.2f}x "
                  f"| - | - | {a['time_ratio_median']:.3f} | {b['time_ratio_median']:.3f} |")
    aa = [next((x for x in r["rows"] if x["num"] == "0"), None) for r in runs]
    if all(aa):
        print(f"Drift between the two runs: the same raw loop (row 0) ran at "
              f"{aa[0]['peer_rate']:,.0f}/s and {aa[1]['peer_rate']:,.0f}/s "
              f"({aa[1]['peer_rate'] / aa[0]['peer_rate']:.2f}x); speed-ups of that order are the "
              f"machine's, not the parser's. The H rows of a hiredis run compare the two parsers "
              f"in paired rounds instead.")
    for r, n in zip(runs, names):
        rb = r["context"].get("redis_benchmark")
        if rb:
            print(f"{n}: redis-py's raw SET loop {rb['redis_py_rate']:,.0f}/s = "
                  f"{rb['redis_py_share']:.0%} of redis-benchmark's {rb['rate']:,.0f}/s")


def hide_hiredis() -> None:
    """Makes `import hiredis` fail, as if it were not installed: redis-py then uses its own
    pure-Python reply parser."""
    sys.modules["hiredis"] = None  # type: ignore[assignment]


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    if args.compare:
        compare(args.compare)
        return 0
    if args.replot:
        saved = json.loads(Path(args.replot).read_text())
        png = Path(args.replot).with_suffix(".png")
        plot(saved["rows"], saved["context"], saved["machine"], png)
        print(f"bench: plot {png}")
        return 0
    if args.parser == "python":
        hide_hiredis()
    pin_cores()  # before any thread starts
    import faulthandler

    faulthandler.dump_traceback_later(args.time_limit, exit=True)
    plan_name = "quick" if args.quick else "long" if args.long else "default"
    plan = PLANS[plan_name]
    if args.rounds:
        plan.rounds = args.rounds
    only = set(args.only.split(",")) if args.only else None

    import redis.utils

    if args.parser == "hiredis" and not redis.utils.HIREDIS_AVAILABLE:
        sys.exit("bench: --parser hiredis, but redis-py does not see hiredis (pip install hiredis)")

    server = Server()
    info = machine()
    print(f"bench: redis-server {server.version} on {server.host}:{server.port} (pid "
          f"{server.proc.pid}); plan {plan_name}, {plan.rounds} rounds; {info['date']}", flush=True)
    bench = Bench(args, plan, server)
    t_start = time.perf_counter()
    try:
        bench.context_lines()
        ctx = bench.context
        print(f"bench: hiredis {'used' if ctx['hiredis_available'] else 'not used'} "
              f"(parser {ctx['parser_class']})", flush=True)
        if ctx.get("redis_benchmark"):
            rb = ctx["redis_benchmark"]
            print(f"bench: redis-benchmark -c 1 -P 1: {rb['rate']:,.0f} SET/s; redis-py loop "
                  f"{rb['redis_py_rate']:,.0f}/s ({rb['redis_py_share']:.0%})", flush=True)
        for num in ("0", "1", "2", "3", "4", "5", "6", "7", "8", "H"):
            if only and num not in only:
                continue
            getattr(bench, f"fig{num}")()
    finally:
        server.stop()
    elapsed = time.perf_counter() - t_start
    info["elapsed_s"] = round(elapsed, 1)
    info["plan"] = plan_name

    text = table(bench, info)
    print()
    print(text)
    out = Path(args.out)
    out.mkdir(parents=True, exist_ok=True)
    tag = args.tag or f"bench-{'hiredis' if bench.context.get('hiredis_available') else 'python'}"
    (out / f"{tag}.md").write_text(text + "\n")
    (out / f"{tag}.json").write_text(json.dumps(
        {"machine": info, "context": bench.context, "rows": bench.rows,
         "plan": plan.__dict__}, indent=1, default=str))
    if not args.no_plot:
        try:
            plot(bench.rows, bench.context, info, out / f"{tag}.png")
            print(f"\nbench: plot {out / f'{tag}.png'}")
        except ImportError:
            print("\nbench: matplotlib is not installed: no plot (pip install '.[bench]')")
    print(f"bench: table {out / f'{tag}.md'}; {elapsed:.0f} s")
    failed = [r["num"] for r in bench.rows if r.get("met") is False]
    if failed:
        print(f"bench: goals not met: {', '.join(failed)}")
    return 0


if __name__ == "__main__":
    gc.collect()
    sys.exit(main())

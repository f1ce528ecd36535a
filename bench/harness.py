"""The measuring machinery: a throwaway redis-server, paired rounds and their statistics,
the figure registry, and the stamp of a run (git tree and UTC date)."""

from __future__ import annotations

import datetime
import itertools
import math
import os
import random
import statistics
import sys
import time
from dataclasses import dataclass
from pathlib import Path
from typing import Callable

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "scripts"), str(ROOT / "examples")]
import generated  # noqa: E402  (scripts/generated.py: the README's stamped blocks)


@dataclass
class Figure:
    num: str
    title: str
    goal: str | None  # ">= 0.97", "<= 1.10" or None (reported only)
    run: Callable
    rows: list[str]  # the codes of the rows it reports ("4a", "6m/1KB"); [num] when one


FIGURES: dict[str, Figure] = {}


def figure(num: str, title: str, goal: str | None = None, rows: list[str] | None = None):
    """Registers a figure function under its number, with the goal its checked rows meet and
    the codes of its rows."""
    def register(fn: Callable) -> Callable:
        if num in FIGURES:
            raise ValueError(f"figure {num} registered twice")
        FIGURES[num] = Figure(num, title, goal, fn, rows or [num])
        return fn
    return register


def select(tokens: list[str]) -> dict[str, set[str] | None]:
    """The figures to run for --only: figure number -> the row codes wanted (None: all). A
    token is a figure number, a row code, or a row code's part before "/" ("6m")."""
    chosen: dict[str, set[str] | None] = {}
    for token in tokens:
        if token in FIGURES:
            chosen[token] = None
            continue
        hits = [(f.num, r) for f in FIGURES.values() for r in f.rows
                if r == token or r.split("/")[0] == token]
        if not hits:
            codes = [r for f in FIGURES.values() for r in f.rows if r != "own"]
            raise SystemExit(f"bench: no figure or row {token}; figures: "
                             f"{', '.join(sorted(FIGURES))}; rows: {', '.join(codes)}")
        for num, r in hits:
            if chosen.get(num, set()) is not None:
                chosen.setdefault(num, set()).add(r)
    return chosen


def goal_met(goal: str | None, value: float) -> bool | None:
    if goal is None:
        return None
    op, limit = goal.split()
    return value >= float(limit) if op == ">=" else value <= float(limit)


@dataclass
class Sample:
    """One timed block: operations done, wall seconds, process CPU seconds (all threads)."""
    ops: int
    wall: float
    cpu: float


def timed(ops: int, fn: Callable[[], object]) -> Sample:
    c0, t0 = time.process_time(), time.perf_counter()
    fn()
    t1, c1 = time.perf_counter(), time.process_time()
    return Sample(ops, t1 - t0, c1 - c0)


def paired(sides: dict[str, Callable[[], Sample]], rounds: int,
           prepare: Callable[[], object] | None = None) -> dict[str, list[Sample]]:
    """Runs every side once per round, back to back, cycling through every order of the
    sides from round to round, so that each side sees the same machine as the others and
    none is always first. prepare() runs untimed before each block. One untimed warm-up
    block per side first."""
    orders = list(itertools.permutations(sides))
    out: dict[str, list[Sample]] = {name: [] for name in sides}
    for r in range(-1, rounds):
        for name in orders[r % len(orders)]:
            if prepare:
                prepare()
            sample = sides[name]()
            if r >= 0:
                out[name].append(sample)
    return out


def side_by_side(n: int, a: Callable[[], object], b: Callable[[], object], rounds: int,
                 prepare: Callable[[], object] | None = None, cost: bool = False) -> dict:
    """a() and b(), each doing n operations per block, in paired rounds: compare(a, b)."""
    s = paired({"a": lambda: timed(n, a), "b": lambda: timed(n, b)}, rounds, prepare)
    return compare(s["a"], s["b"], cost)


def median_ci(xs: list[float], level: float = 0.95, resamples: int = 2000) -> list[float]:
    """Bootstrap confidence interval of the median (fixed seed: same data, same interval)."""
    rng = random.Random(0)
    meds = sorted(statistics.median(rng.choices(xs, k=len(xs))) for _ in range(resamples))
    return [meds[int((1 - level) / 2 * resamples)],
            meds[min(resamples - 1, int((1 + level) / 2 * resamples))]]


def compare(a: list[Sample], b: list[Sample], cost: bool = False) -> dict:
    """a against b, round by round. By default the ratio is of rates (a's ops per wall
    second over b's: above 1, a is faster) and the CPU ratio is b's CPU per op over a's,
    so that both read the same way; with cost=True both are a's cost per op over b's
    (below 1, a is cheaper)."""
    def per_op(s: Sample, what: str) -> float:
        return getattr(s, what) / s.ops

    def ratios(what: str) -> list[float]:
        out = [per_op(x, what) / per_op(y, what) for x, y in zip(a, b) if per_op(y, what) > 0]
        return out if cost else [1 / r for r in out if r > 0]

    wall, cpu = ratios("wall"), ratios("cpu") or [math.nan]
    return {"ratio": statistics.median(wall), "ci": median_ci(wall), "ratios": wall,
            "cpu_ratio": statistics.median(cpu), "cpu_ci": median_ci(cpu),
            "a_rate": statistics.median(s.ops / s.wall for s in a),
            "b_rate": statistics.median(s.ops / s.wall for s in b),
            "a_cpu_us": statistics.median(per_op(s, "cpu") for s in a) * 1e6,
            "b_cpu_us": statistics.median(per_op(s, "cpu") for s in b) * 1e6}


# (client cores, server cores) once pin_cores() has run.
PINNED: tuple[set[int], set[int]] | None = None


def pin_cores() -> None:
    """Pins this process (and every thread it starts later) to one core and the server to
    the others. Unpinned, a worker thread on one core timed against a main thread on the
    other measured the cores, not the code: ratios swung between 0.4 and 1.9."""
    global PINNED
    cores = sorted(os.sched_getaffinity(0))
    if len(cores) >= 2:
        PINNED = ({cores[0]}, set(cores[1:]))
        os.sched_setaffinity(0, PINNED[0])


def start_server():
    """The throwaway redis-server (examples/local_redis.py's LocalServer): it dies with the
    benchmark and runs on the cores that pin_cores() left to it; `admin` is a client with a
    long timeout. redis is imported only here, once bench.py has chosen the reply parser."""
    import local_redis

    try:
        server = local_redis.LocalServer(die_with_parent=True, cores=PINNED[1] if PINNED else None)
    except RuntimeError as err:
        sys.exit(f"bench: {err}")
    server.admin = server.client(socket_timeout=30)
    return server


def stamp() -> dict:
    """The tree measured and when: its commit, "+dirty" when anything but the benchmark's
    own outputs (bench/results, README.md's block) differs from it."""
    return {"tree": generated.commit_stamp([ROOT / "bench" / "results", ROOT / "README.md"]),
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC")}

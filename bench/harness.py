"""The measuring machinery: a throwaway redis-server, paired rounds and their statistics,
the figure registry, and the stamp of a run (git tree and UTC date)."""

import datetime
import itertools
import math
import os
import random
import statistics
import sys
import time
from collections import namedtuple
from pathlib import Path
from typing import Callable

ROOT = Path(__file__).resolve().parent.parent
sys.path[:0] = [str(ROOT / "scripts"), str(ROOT / "examples")]
import generated  # noqa: E402  (scripts/generated.py: the README's stamped blocks)

# A figure: its number, title, goal (">= 0.97", "<= 1.1" or None: reported only), function
# (Bench -> rows) and the codes of the rows it reports ("4a", "6m/1KB"; [num] when one).
Figure = namedtuple("Figure", "num title goal run rows")
FIGURES: dict[str, Figure] = {}


def figure(num: str, title: str, goal: str | None = None, rows: list[str] | None = None):
    return lambda fn: FIGURES.setdefault(num, Figure(num, title, goal, fn, rows or [num])).run


def select(tokens: list[str]) -> dict[str, set[str] | None]:
    """The figures to run for --only: figure number -> the row codes wanted (None: all). A
    token is a figure number, a row code, or a row code's part before "/" ("6m")."""
    chosen: dict[str, set[str]] = {}
    for token in tokens:
        hits = [(f.num, r) for f in FIGURES.values() for r in f.rows if token in (f.num, r, r.split("/")[0])]
        if not hits:
            codes = [r for f in FIGURES.values() for r in f.rows if r != "own"]
            raise SystemExit(f"bench: no figure or row {token}; figures: "
                             f"{', '.join(sorted(FIGURES))}; rows: {', '.join(codes)}")
        for num, r in hits:
            chosen.setdefault(num, set()).add(r)
    return {num: None if rows == set(FIGURES[num].rows) else rows for num, rows in chosen.items()}


def verdict(goal: str | None, r: dict) -> str:
    """"-" without a goal, else "yes" or "no" when the ratio (a wall-clock one: its 95% interval) lies
    on one side of the goal, "within noise" when the interval holds it (the machine's drift decides)."""
    if not (goal and r["checked"]):
        return "-"
    op, limit = goal.split()
    held = {x >= float(limit) if op == ">=" else x <= float(limit) for x in r.get("ci", [r["ratio"]])}
    return "within noise" if len(held) == 2 else "yes" if held.pop() else "no"


Sample = namedtuple("Sample", "ops wall cpu")  # one timed block: wall and CPU (all threads) seconds


def timed(ops: int, fn: Callable[[], object]) -> Sample:
    c0, t0 = time.process_time(), time.perf_counter()
    fn()
    t1, c1 = time.perf_counter(), time.process_time()
    return Sample(ops, t1 - t0, c1 - c0)


def paired(sides: dict[str, Callable[[], Sample]], rounds: int,
           prepare: Callable[[], object] | None = None) -> dict[str, list[Sample]]:
    """Every side once per round, back to back, in another order each round, so that all see the same
    machine and none is always first; prepare() runs untimed before each block; one round warms up."""
    orders = list(itertools.permutations(sides))
    out: dict[str, list[Sample]] = {name: [] for name in sides}
    for r in range(-1, rounds):
        for name in orders[r % len(orders)]:
            if prepare:
                prepare()
            out[name].append(sides[name]())
    return {name: samples[1:] for name, samples in out.items()}


def side_by_side(n: int, a: Callable[[], object], b: Callable[[], object], rounds: int,
                 prepare: Callable[[], object] | None = None, cost: bool = False) -> dict:
    """a() and b(), each doing n operations per block, in paired rounds, compared."""
    s = paired({"a": lambda: timed(n, a), "b": lambda: timed(n, b)}, rounds, prepare)
    return compare(s["a"], s["b"], cost)


def median_ci(xs: list[float], level: float = 0.95, resamples: int = 2000) -> list[float]:
    """Bootstrap confidence interval of the median (fixed seed: same data, same interval)."""
    rng = random.Random(0)
    meds = sorted(statistics.median(rng.choices(xs, k=len(xs))) for _ in range(resamples))
    return [meds[int((1 - level) / 2 * resamples)], meds[min(resamples - 1, int((1 + level) / 2 * resamples))]]


def compare(a: list[Sample], b: list[Sample], cost: bool = False) -> dict:
    """a against b, round by round: both ratios as rates (b's wall or CPU time per op over a's: above
    1, a is faster), or with cost=True as costs (a's time per op over b's: below 1, a is cheaper)."""
    def ratios(what: str) -> list[float]:
        out = [getattr(x, what) / x.ops * y.ops / getattr(y, what) for x, y in zip(a, b)
               if getattr(x, what) > 0 and getattr(y, what) > 0]
        return out if cost else [1 / r for r in out]

    def per_op(what: str, side: list[Sample]) -> float:
        return statistics.median(getattr(s, what) / s.ops for s in side)

    wall, cpu = ratios("wall"), ratios("cpu") or [math.nan]
    return {"ratio": statistics.median(wall), "ci": median_ci(wall), "ratios": wall,
            "cpu_ratio": statistics.median(cpu), "cpu_ci": median_ci(cpu),
            "a_rate": 1 / per_op("wall", a), "b_rate": 1 / per_op("wall", b),
            "a_cpu_us": per_op("cpu", a) * 1e6, "b_cpu_us": per_op("cpu", b) * 1e6}


PINNED: tuple[set[int], set[int]] | None = None  # (client cores, server cores) once pinned


def pin_cores() -> None:
    """Pins this process (and threads it starts later) to one core, the server to the others: unpinned,
    a worker on one core timed against the main thread on the other measured the cores (ratios 0.4-1.9)."""
    global PINNED
    cores = sorted(os.sched_getaffinity(0))
    if len(cores) >= 2:
        PINNED = ({cores[0]}, set(cores[1:]))
        os.sched_setaffinity(0, PINNED[0])


def start_server():
    """examples/local_redis.py's LocalServer, ended with the benchmark, on the cores left to it;
    `admin`: a client with a long timeout. Imported here, once bench.py has chosen the parser."""
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

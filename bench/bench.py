#!/usr/bin/env python3
"""RedisWrapper side by side with redis-py and orjson used directly, and with the same
behaviour written in Python; run it through scripts/bench.sh, which sets up what it needs.
bench/README.md tells what each figure measures and how."""

import argparse
import faulthandler
import json
import os
import platform
import sys
import time
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "results"
PLANS = {"quick": (9, 300), "default": (41, 1000), "long": (101, 2000)}  # rounds, callgrind N


def machine(server) -> dict:
    import orjson
    import redis.utils

    cpu = next((line.split(":", 1)[1].strip() for line in Path("/proc/cpuinfo").read_text().splitlines()
                if line.startswith("model name")), platform.machine())
    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(),
            "redis_server": server.version if server else None, "redis_py": redis.__version__,
            "orjson": orjson.__version__, "load": round(os.getloadavg()[0], 2),
            "parser": "hiredis" if redis.utils.HIREDIS_AVAILABLE else "python"}


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    size = p.add_mutually_exclusive_group()
    size.add_argument("--quick", action="store_true", help="few rounds: a smoke run")
    size.add_argument("--long", action="store_true", help="more rounds: steadier medians")
    p.add_argument("--only", metavar="CODES", help="comma-separated figures or rows, by the codes that the report "
                   "prints: a figure (1, 4, own), a row (4b, 6m/1KB, 7/16) or a row group (6m)")
    p.add_argument("--micro", action="store_true", help="only the module's own cost (--only own)")
    p.add_argument("--case", action="append", default=[],
                   help="own cost: only the cases whose name starts with this (repeatable)")
    p.add_argument("--parser", choices=["python", "hiredis"], default="python",
                   help="redis-py's reply parser; python hides hiredis even when installed")
    p.add_argument("--cluster", nargs="?", const="", metavar="HOST:PORT", help="figures 2, 3, 4 on a throwaway "
                   "three-primary cluster, or on the cluster of the node given, against redis-py's RedisCluster")
    p.add_argument("--report", metavar="JSON", help="write the report of a saved run and exit")
    args = p.parse_args()
    import report

    if args.report:
        saved = Path(args.report).resolve()
        report.write(json.loads(saved.read_text()), saved.parent)
        return 0
    if args.parser == "python":
        sys.modules["hiredis"] = None  # type: ignore[assignment]  # redis-py's own parser
    import harness

    harness.pin_cores()  # before any thread starts
    faulthandler.dump_traceback_later(1800, exit=True)  # a safety net
    import figures
    import owncost  # noqa: F401  (registers the own-cost figure)

    plan = "quick" if args.quick else "long" if args.long else "default"
    only = ["own"] if args.micro else [t.strip() for t in (args.only or "").split(",") if t.strip()]
    chosen = harness.select(only) if only else dict.fromkeys(harness.FIGURES)
    selected = sorted(chosen)
    if args.parser == "hiredis" and machine(None)["parser"] != "hiredis":
        sys.exit("bench: --parser hiredis, but redis-py does not see hiredis")
    if args.cluster is not None:
        import cluster

        if not only:
            selected = cluster.FIGURES
        elif set(selected) - set(cluster.FIGURES):
            sys.exit(f"bench: --cluster runs figures {', '.join(cluster.FIGURES)} only")
        server = cluster.ClusterServer(args.cluster or None)
        print(f"bench: on redis-server {server.version}", flush=True)
        b = cluster.ClusterBench(server, *PLANS[plan], args.case)
        stem = "cluster" if plan != "quick" else "partial"
    else:
        server = harness.start_server() if set(selected) - {"own"} else None
        b = figures.Bench(server, *PLANS[plan], args.case)
        complete = not (only or args.case) and plan != "quick" and args.parser == "python"
        stem = "bench" if complete else "partial"  # only a full run writes the committed report
    run = {"stamp": harness.stamp(), "plan": plan, "rounds": b.rounds, "stem": stem,
           "machine": machine(server), "figures": []}
    t0 = time.perf_counter()
    try:
        for num in selected:
            fig, b.rows = harness.FIGURES[num], chosen[num]
            print(f"bench: figure {num}: {fig.title}", flush=True)
            rows = [r for r in fig.run(b) if b.rows is None or r["key"] in b.rows]
            if server:
                b.flush()
            for r in rows:
                r["met"] = harness.verdict(fig.goal, r)
                print(f"  {r['key']:40} {r['ratio']:7.3f}  CPU {r['cpu_ratio']:6.3f}  vs {r['vs']:17}"
                      f"{fig.goal if r['checked'] and fig.goal else '':8} {r['met']}", flush=True)
            run["figures"].append({"num": num, "title": fig.title, "goal": fig.goal, "rows": rows})
    finally:
        if server:
            server.stop()
    run["seconds"] = round(time.perf_counter() - t0)
    (RESULTS / f"{stem}.json").write_text(json.dumps(run, indent=1))
    report.write(run, RESULTS)
    said = {v: ", ".join(r["key"] for f in run["figures"] for r in f["rows"] if r["met"] == v) or "none"
            for v in ("no", "within noise")}
    print(f"bench: {run['seconds']} s; goals missed: {said['no']}; within noise: {said['within noise']}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

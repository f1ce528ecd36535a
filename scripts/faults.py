"""Runs the fault tests (a silent network path, refused connections, a server restart, a slow
server, a Sentinel failover) under each redis-py version that a device may have, each in a
virtual environment of its own (scripts/floors.sh with ZARN_REDIS=VERSION: the module's
wheel, the lowest orjson, that redis-py), and with --write puts their figures into
docs/faults.md, one table per fault, one column per version.

    python3 scripts/faults.py [--write] [VERSION ...]

Versions: by default 4.3.4 (Debian 12's python3-redis, the lowest that the module admits),
6.1.0 (Debian 13's), 6.4.0 (Debian 14's) and the newest that pip finds ("newest").
Exits with pytest's status when a run fails.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(ROOT / "scripts"))
from generated import write_block  # noqa: E402

VERSIONS = ["4.3.4", "6.1.0", "6.4.0", "newest"]
TESTS = ["tests/test_faults.py::test_connection_defaults_by_who_made_the_pool",
         "tests/test_faults.py::test_writer_lives_through",
         "tests/test_cluster.py::test_sentinel_failover_under_load[one-sentinel]"]
DOC = ROOT / "docs" / "faults.md"
TITLES = {
    "defaults": "What a connection opens with, by who made its pool",
    "silent-path": "A network path that goes silent for 3 s (no byte passes, nothing is closed; "
                   "connections opened during the silence stay dead)",
    "refused": "Connections refused for 3 s (open ones reset)",
    "restart": "The server restarted (SIGTERM, started again on the same port at once)",
    "slow-server": "A server that answers every command 1 s late, for 3 s",
    "sentinel-failover": "A Sentinel failover (primary SIGKILLed, one sentinel, "
                         "down-after-milliseconds 1000; a Sentinel master client with "
                         "socket_timeout=1 in `_redis_client`)",
}


def run(version: str, figures: Path) -> int:
    """The fault tests under one redis-py version (scripts/floors.sh with ZARN_REDIS); their
    figures go into `figures`."""
    print(f"== faults: redis-py {version}", flush=True)
    env = {**os.environ, "ZARN_REDIS": version, "ZARN_FAULT_FIGURES": str(figures)}
    return subprocess.run(["bash", str(ROOT / "scripts" / "floors.sh"), "-q", "-s",
                           "-p", "no:cacheprovider", *TESTS], env=env).returncode


def shown(value) -> str:
    """None, True and False as a reader says them; anything else as it prints."""
    return {"None": "none", "True": "on", "False": "off"}.get(str(value), str(value))


def table(results: list[dict]) -> str:
    """One table per fault: its figures down, the versions across."""
    by_fault: dict[str, dict[str, dict]] = {}
    for r in results:
        by_fault.setdefault(r["fault"], {})[r["redis"]] = r["figures"]
    out = []
    for fault in TITLES:
        runs = by_fault.get(fault, {})
        if not runs:
            continue
        versions = sorted(runs, key=lambda v: tuple(int(x) for x in v.split(".")))
        rows = list(dict.fromkeys(k for v in versions for k in runs[v]))
        out += [f"**{TITLES[fault]}**", "",
                "| redis-py | " + " | ".join(versions) + " |",
                "|---|" + "---:|" * len(versions)]
        out += [f"| {row} | " + " | ".join(shown(runs[v].get(row, "")) for v in versions) + " |"
                for row in rows]
        out.append("")
    return "\n".join(out)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--write", action="store_true", help="write the tables into docs/faults.md")
    p.add_argument("versions", nargs="*", default=VERSIONS, metavar="VERSION")
    args = p.parse_args()
    status = 0
    with tempfile.TemporaryDirectory() as tmp:
        results = []
        for version in args.versions:
            figures = Path(tmp, version)
            figures.mkdir()
            status = run(version, figures) or status
            results += [json.loads(f.read_text()) for f in sorted(figures.glob("*.json"))]
    text = table(results)
    print(text)
    if args.write and status == 0:
        write_block(DOC, "faults", text, "python3 scripts/faults.py --write")
    return status


if __name__ == "__main__":
    sys.exit(main())

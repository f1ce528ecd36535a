"""Runs the fault tests under each redis-py version that a device may have, each through
scripts/floors.sh with ZARN_REDIS=VERSION; --write puts their figures into docs/faults.md,
a table per fault, a column per version.

    python3 scripts/faults.py [--write] [VERSION ...]

VERSION: by default 4.3.4 (Debian 12's, the lowest admitted), 6.1.0 (Debian 13's), 6.4.0
(Debian 14's) and "newest" (pip's). Exits with pytest's status when a run fails.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile
from pathlib import Path

from generated import ROOT, write_block

VERSIONS = ["4.3.4", "6.1.0", "6.4.0", "newest"]
TESTS = ["tests/test_faults.py::test_connection_defaults_by_who_made_the_pool",
         "tests/test_faults.py::test_writer_lives_through",
         "tests/test_cluster.py::test_sentinel_failover_under_load[one-sentinel]"]


def run(version: str, figures: Path) -> tuple[int, list[dict]]:
    """The fault tests under one redis-py version: pytest's status and the figures, in the
    order the tests ran."""
    print(f"== faults: redis-py {version}", flush=True)
    figures.mkdir()
    env = {**os.environ, "ZARN_REDIS": version, "ZARN_FAULT_FIGURES": str(figures)}
    status = subprocess.run(["bash", str(ROOT / "scripts" / "floors.sh"), "-q", "-s",
                             "-p", "no:cacheprovider", *TESTS], env=env).returncode
    saved = sorted(figures.glob("*.json"), key=lambda f: f.stat().st_mtime_ns)
    return status, [json.loads(f.read_text()) for f in saved]


def table(results: list[dict]) -> str:
    """One table per fault: its figures down, the versions across."""
    by_title: dict[str, dict[str, dict]] = {}
    for r in results:
        by_title.setdefault(r["title"], {})[r["redis"]] = r["figures"]
    out = []
    for title, runs in by_title.items():
        versions = sorted(runs, key=lambda v: tuple(int(x) for x in v.split(".")))
        rows = list(dict.fromkeys(k for v in versions for k in runs[v]))
        out += [f"**{title}**", "", "| redis-py | " + " | ".join(versions) + " |",
                "|---|" + "---:|" * len(versions)]
        out += [f"| {row} | " + " | ".join(str(runs[v].get(row, "")) for v in versions) + " |"
                for row in rows]
        out.append("")
    return "\n".join(out)


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--write", action="store_true", help="write the tables into docs/faults.md")
    p.add_argument("versions", nargs="*", default=VERSIONS, metavar="VERSION")
    args = p.parse_args()
    status, results = 0, []
    with tempfile.TemporaryDirectory() as tmp:
        for version in args.versions:
            failed, figures = run(version, Path(tmp, version))
            status, results = status or failed, results + figures
    text = table(results)
    print(text)
    if args.write and status == 0:
        write_block(ROOT / "docs" / "faults.md", "faults", text, "python3 scripts/faults.py --write")
    return status


if __name__ == "__main__":
    sys.exit(main())

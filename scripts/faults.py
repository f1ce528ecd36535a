"""Runs the fault tests (a silent network path, refused connections, a server restart, a slow
server, a Sentinel failover) under each redis-py version that a device may have, each in a
virtual environment of its own (.venv-redis-X.Y.Z) with the module's wheel from
build/wheelhouse (bash scripts/setup.sh builds it), and with --write puts their figures into
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
TESTS = ["tests/test_faults.py::test_writer_lives_through",
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


# Each version's connection defaults, read from the objects it makes (no server needed): a
# plain pool's connection, the connection of a client made as redis.Redis(host=...), and
# the connection of the module's own pool.
DEFAULTS = """
import inspect, json, redis, redis.cluster, redis.sentinel
import zarn_sdk.redis.redis_wrapper as rw

def facts(conn):
    retry, backoff = conn.retry, conn.retry._backoff
    span = f" {backoff._base:g} s to {backoff._cap:g} s" if hasattr(backoff, "_cap") else ""
    return {"socket timeout, s": conn.socket_timeout,
            "connect timeout, s": conn.socket_connect_timeout,
            "TCP keepalive": conn.socket_keepalive,
            "retries of a failed command": retry._retries,
            "backoff": f"{type(backoff).__name__}{span}" if retry._retries else "-"}

made = {"redis.ConnectionPool(host=...)": redis.ConnectionPool(host="127.0.0.1"),
        "redis.Redis(host=...)": redis.Redis(host="127.0.0.1").connection_pool,
        "Sentinel(...).master_for(...)":
            redis.sentinel.Sentinel([("127.0.0.1", 1)]).master_for("m").connection_pool,
        "the module's pool": rw.RedisWrapper(thread=False)._redis_client.connection_pool}
rows = {f"{who}: {k}": v for who, pool in made.items()
        for k, v in facts(pool.make_connection()).items()}
cluster = inspect.signature(redis.cluster.RedisCluster.__init__).parameters
rows["RedisCluster(...): cluster_error_retry_attempts"] = cluster["cluster_error_retry_attempts"].default
print(json.dumps({"redis": redis.__version__, "fault": "defaults", "figures": rows}))
"""


def run(version: str, figures: Path) -> int:
    """The fault tests under one redis-py version; their figures go into `figures`."""
    venv = ROOT / f".venv-redis-{version}"
    python = venv / "bin" / "python"
    if not python.exists():
        subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True)
    wheels = sorted((ROOT / "build" / "wheelhouse").glob("*.whl"))
    pin = "redis" if version == "newest" else f"redis=={version}"
    test_extra = [f"{w}[test]" for w in wheels if w.name.startswith("zarn_sdk_redis-")]
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "--force-reinstall", "--no-deps", *map(str, wheels)], check=True)
    subprocess.run([str(python), "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "--upgrade", *test_extra, pin], check=True)
    print(f"== faults: redis-py {version}", flush=True)
    defaults = subprocess.run([str(python), "-c", DEFAULTS], check=True, capture_output=True,
                              text=True).stdout
    (figures / "defaults.json").write_text(defaults)
    return subprocess.run([str(python), "-m", "pytest", "-q", "-s", "-p", "no:cacheprovider",
                           *TESTS], cwd=ROOT,
                          env={**os.environ, "ZARN_FAULT_FIGURES": str(figures)}).returncode


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
    subprocess.run(["bash", str(ROOT / "scripts" / "setup.sh")], check=True)
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

"""Blocks of generated text in the README and docs/: each lies between the markers
`<!-- generated:NAME begin -->` and `<!-- generated:NAME end -->` and ends with a stamp,
`_Written by `COMMAND` at commit 1a2b3c4 on 2026-12-09._`. A run on a tree that differs from
its commit (outside the files being written) is stamped "1a2b3c4+dirty", which
tests/test_generated.py refuses: results come from a clean commit.
"""

import datetime
import subprocess
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def _git(*args: str) -> str:
    return subprocess.run(["git", "-C", str(ROOT), *args], capture_output=True, text=True, check=True).stdout.strip()


def commit_stamp(outputs: list[Path]) -> str:
    """HEAD's short hash, "+dirty" when the tree differs from it but in `outputs` (the files written)."""
    try:
        excludes = [f":!{p.resolve().relative_to(ROOT)}" for p in outputs if p.resolve().is_relative_to(ROOT)]
        return _git("rev-parse", "--short", "HEAD") + "+dirty" * bool(_git("status", "--porcelain", "--", ".", *excludes))
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def write_block(path: Path, name: str, body: str, command: str,
                outputs: list[Path] | None = None, *, commit: str | None = None,
                date: str | None = None) -> None:
    """Replaces the block NAME in `path` (its markers there once) by `body` and a stamp.
    `outputs`: the other files the run writes (not "dirty"); `commit` and `date`
    (YYYY-MM-DD): those of an earlier run (a report written again from it) instead of now's."""
    path = Path(path)
    text = path.read_text()
    begin, end = f"<!-- generated:{name} begin -->", f"<!-- generated:{name} end -->"
    if text.count(begin) != 1 or text.count(end) != 1:
        raise RuntimeError(f"{path} needs one {begin} and one {end}")
    commit = commit or commit_stamp([path, *(outputs or [])])
    date = date or datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d")
    stamp = f"_Written by `{command}` at commit {commit} on {date}._"
    head, rest = text.split(begin)
    tail = rest.split(end)[1]
    path.write_text(f"{head}{begin}\n{body.rstrip()}\n\n{stamp}\n{end}{tail}")


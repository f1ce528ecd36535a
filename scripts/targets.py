"""The table of targets, scripts/targets.txt, for the loops and the docs: its rows, the
command that runs each, the tables of README.md and docs/targets.md, and where each target's
dependencies come from when pip installs them (a wheel from the index, or the sdist built on
the device: `pip download --only-binary=:all:` for the target's interpreter and C library).

    python scripts/targets.py --list                    ARCH WORD LANE a line (.ci/run, wheels.sh)
    python scripts/targets.py --write                   the tables of the targets
    python scripts/targets.py --dependencies [--write]  asks pip; docs/targets.md's second table
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path
from typing import NamedTuple

import generated

TABLE = Path(__file__).with_name("targets.txt")
DOCS = [generated.ROOT / "README.md", generated.ROOT / "docs" / "targets.md"]
# Platforms that are no target but that a user may have: (arch, release, CPython, note).
OTHERS = [("x86_64", "bookworm", "3.15", "with a 3.15 of its own")]
# What building each from its sdist takes on the device.
SOURCE_NEEDS = {"redis": "nothing (pure Python)", "orjson": "a Rust toolchain (cargo)",
                "hiredis": "a C compiler and the Python headers (python3-dev)"}


class Target(NamedTuple):
    arch: str
    release: str
    python: str
    runs_in: str
    cpu: str
    dependencies: str
    lane: str


def table(kind: str) -> list[list[str]]:
    """The rows of one kind (target, arch, release, packages), without the kind."""
    rows = [line.split() for line in TABLE.read_text().splitlines()]
    return [row[1:] for row in rows if row[:1] == [kind]]


def targets() -> list[Target]:
    return [Target(*row) for row in table("target")]


def arch(name: str) -> dict[str, str]:
    return dict(zip(("debian", "machine", "triplet"), next(r[1:] for r in table("arch") if r[0] == name)))


def release(name: str) -> dict[str, str]:
    return dict(zip(("number", "glibc"), next(r[1:] for r in table("release") if r[0] == name)))


def word(t: Target) -> str:
    """The second word of target.sh's command: the release where it names one target of the
    architecture, else the CPython."""
    same = [u for u in targets() if (u.arch, u.release) == (t.arch, t.release)]
    return t.release if len(same) == 1 else t.python


def command(t: Target) -> str:
    return f"bash scripts/target.sh {t.arch} {word(t)}"


def platform(arch_name: str, release_name: str) -> str:
    return f"{arch(arch_name)['machine']}, Debian {release(release_name)['number']} {release_name}"


def targets_table() -> str:
    rows = ["| CPython | platform | runs in | dependencies | CI lane | command |", "|---|---|---|---|---|---|"]
    for t in targets():
        runs = {"host": "the build machine", "chroot": "a chroot"}.get(t.runs_in, f"`{t.runs_in}`")
        runs += f" ({t.cpu})" if t.cpu != "-" else ""
        deps = {"pypi": "PyPI", "debian": "Debian's packages"}[t.dependencies]
        rows.append(f"| {t.python} | {platform(t.arch, t.release)} | {runs} | {deps} | {t.lane} | `{command(t)}` |")
    return "\n".join(rows)


def wheel_for(package: str, python: str, machine: str, glibc: str) -> str | None:
    """The wheel pip takes for that interpreter and C library, or None."""
    minor = int(glibc.split(".")[1])
    platforms = [f"manylinux_2_{m}_{machine}" for m in range(minor, 16, -1)]
    with tempfile.TemporaryDirectory() as out:
        args = [sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--disable-pip-version-check",
                "--only-binary=:all:", "--implementation", "cp", "--python-version", python, "-d", out,
                package]
        for p in [*platforms, f"manylinux2014_{machine}", "any"]:
            args += ["--platform", p]
        if subprocess.run(args, capture_output=True).returncode != 0:
            return None
        (wheel,) = Path(out).glob("*.whl")
        return wheel.name


def dependencies_table() -> str:
    rows = ["| target | CPython | " + " | ".join(SOURCE_NEEDS) + " |", "|---|---|" + "---|" * len(SOURCE_NEEDS)]
    for a, r, python, note in [(t.arch, t.release, t.python, "") for t in targets()] + OTHERS:
        machine, glibc = arch(a)["machine"], release(r)["glibc"]
        cells = []
        for package, needs in SOURCE_NEEDS.items():
            wheel = wheel_for(package, python, machine, glibc)
            if wheel:
                version, tag = wheel.split("-")[1], wheel.rsplit("-", 1)[1].removesuffix(".whl")
                cells.append(f"wheel {version} (`{tag.split('.')[0]}`)")
            else:
                cells.append(f"**source**: needs {needs}")
        rows.append(f"| {platform(a, r)}{' ' + note if note else ''} | {python} | " + " | ".join(cells) + " |")
    return "\n".join(rows)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", action="store_true", help="print ARCH WORD LANE of each target")
    parser.add_argument("--dependencies", action="store_true", help="ask pip where the dependencies come from")
    parser.add_argument("--write", action="store_true", help="write the table into the docs")
    args = parser.parse_args()
    if args.list:
        print("\n".join(f"{t.arch} {word(t)} {t.lane}" for t in targets()))
    elif args.dependencies:
        text = dependencies_table()
        print(text)
        if args.write:
            generated.write_block(DOCS[1], "dependency-wheels", text,
                                  "python scripts/targets.py --dependencies --write")
    else:
        text = targets_table()
        print(text)
        if args.write:
            for path in DOCS:
                generated.write_block(path, "targets", text, "python scripts/targets.py --write", DOCS)


if __name__ == "__main__":
    main()

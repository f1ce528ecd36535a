"""The table of targets (scripts/targets.txt) for the loops and the docs.

    python scripts/targets.py --list      ARCH WORD LANE of each target (.ci/run, wheels.sh)
    python scripts/targets.py [--write]   the targets' table (README.md, docs/targets.md)
    python scripts/targets.py --dependencies [--write]   where each target's dependencies come
        from: a wheel that pip takes from the index for its interpreter and C library (pip
        download --only-binary=:all:), else the sdist, built on the device
    python scripts/targets.py --debian [--write]   each release's versions of the Debian packages
        that a device's user installs (README.md): the candidates in its apt index (debian.sh)
"""

import argparse
import re
import subprocess
import sys
import tempfile
from collections import namedtuple
from pathlib import Path

import generated

ROWS = [line.split() for line in Path(__file__).with_name("targets.txt").read_text().splitlines()]
Target = namedtuple("Target", "arch release python runs_in cpu dependencies lane")
TARGETS = [Target(*row[1:]) for row in ROWS if row[:1] == ["target"]]
ARCH = {row[1]: row[2:] for row in ROWS if row[:1] == ["arch"]}  # debian, machine, triplet
RELEASE = {row[1]: row[2:] for row in ROWS if row[:1] == ["release"]}  # number, glibc
DOCS = [generated.ROOT / "README.md", generated.ROOT / "docs" / "targets.md"]
# Platforms that no target is but that a user may have: (arch, release, CPython, note).
OTHERS = [("x86_64", "bookworm", "3.15", " with a 3.15 of its own")]
# What building each dependency from its sdist takes on the device.
SOURCE_NEEDS = {"redis": "nothing (pure Python)", "orjson": "a Rust toolchain (cargo)",
                "hiredis": "a C compiler and the Python headers (python3-dev)"}
# The packages of the "debian" group that a device's user installs (README.md, "On a device").
USER_PACKAGES = ["python3-redis", "python3-orjson", "python3-fakeredis"]


def word(t: Target) -> str:
    """target.sh's second word: the release if it names one target of the arch, else the CPython."""
    return t.release if [u[:2] for u in TARGETS].count(t[:2]) == 1 else t.python


def platform(arch: str, release: str) -> str:
    return f"{ARCH[arch][1]}, Debian {RELEASE[release][0]} {release}"


def targets_table() -> list[str]:
    rows = ["| CPython | platform | runs in | dependencies | CI lane | command |", "|" + "---|" * 6]
    for t in TARGETS:
        runs = {"host": "the build machine", "chroot": "a chroot"}.get(t.runs_in, f"`{t.runs_in}`")
        runs += f" ({t.cpu})" if t.cpu != "-" else ""
        deps = {"pypi": "PyPI", "debian": "Debian's packages"}[t.dependencies]
        command = f"bash scripts/target.sh {t.arch} {word(t)}"
        rows.append(f"| {t.python} | {platform(t.arch, t.release)} | {runs} | {deps} | {t.lane} | `{command}` |")
    return rows


def dependency(package: str, python: str, machine: str, glibc: str) -> str:
    """The wheel that pip takes for that interpreter and C library, or what its sdist needs."""
    tags = [f"manylinux_2_{m}_{machine}" for m in range(int(glibc.split(".")[1]), 16, -1)]
    with tempfile.TemporaryDirectory() as out:
        args = [sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--disable-pip-version-check",
                "--only-binary=:all:", "--implementation", "cp", "--python-version", python, "-d", out]
        args += [a for tag in [*tags, f"manylinux2014_{machine}", "any"] for a in ("--platform", tag)]
        if subprocess.run([*args, package], capture_output=True).returncode != 0:
            return f"**source**: needs {SOURCE_NEEDS[package]}"
        wheel = next(Path(out).glob("*.whl")).name
        return f"wheel {wheel.split('-')[1]} (`{wheel.rsplit('-', 1)[1].split('.')[0]}`)"


def dependencies_table() -> list[str]:
    rows = ["| target | CPython | " + " | ".join(SOURCE_NEEDS) + " |", "|" + "---|" * (2 + len(SOURCE_NEEDS))]
    for arch, release, python, note in [(t.arch, t.release, t.python, "") for t in TARGETS] + OTHERS:
        cells = [dependency(package, python, ARCH[arch][1], RELEASE[release][1]) for package in SOURCE_NEEDS]
        rows.append(f"| {platform(arch, release)}{note} | {python} | " + " | ".join(cells) + " |")
    return rows


def debian_table() -> list[str]:
    """Each user's package's candidate (apt-cache policy) in each release for the architectures of
    its targets: one version where they agree; "none" where apt has none."""
    script = '. scripts/debian.sh; s=$(release_sources "$1" "$2") && throwaway_apt "$1" "$s" policy "${@:3}"'
    rows = ["| Debian | " + " | ".join(f"`{p}`" for p in USER_PACKAGES) + " |", "|" + "---|" * 4]
    for release, (number, _) in RELEASE.items():
        versions = {}  # architecture -> package -> version
        for arch in dict.fromkeys(ARCH[t.arch][0] for t in TARGETS if t.release == release):
            policy = subprocess.run(["bash", "-c", script, "bash", arch, release, *USER_PACKAGES],
                                    cwd=generated.ROOT, stdout=subprocess.PIPE, text=True, check=True).stdout
            versions[arch] = dict(re.findall(r"^(\S+):\n  Installed: .*\n  Candidate: (.*)$", policy, re.M))
        cells = []
        for package in USER_PACKAGES:
            found = {arch: v.get(package, "(none)").replace("(none)", "none") for arch, v in versions.items()}
            alike = set(found.values())
            cells.append(alike.pop() if len(alike) == 1 else ", ".join(f"{a}: {v}" for a, v in found.items()))
        rows.append(f"| {number} {release} | " + " | ".join(cells) + " |")
    return rows


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--list", action="store_true", help="ARCH WORD LANE of each target")
    parser.add_argument("--dependencies", dest="table", action="store_const", const="dependencies",
                        help="ask pip where they come from")
    parser.add_argument("--debian", dest="table", action="store_const", const="debian",
                        help="ask apt for Debian's versions")
    parser.add_argument("--write", action="store_true", help="write the table into the docs")
    args = parser.parse_args()
    if args.list:
        print("\n".join(f"{t.arch} {word(t)} {t.lane}" for t in TARGETS))
        return
    name, table = {None: ("targets", targets_table), "dependencies": ("dependency-wheels", dependencies_table),
                   "debian": ("debian-packages", debian_table)}[args.table]
    text = "\n".join(table())
    print(text)
    command = "python scripts/targets.py" + (f" --{args.table}" if args.table else "") + " --write"
    for path in DOCS if args.write else []:
        if f"<!-- generated:{name} begin -->" in path.read_text():
            generated.write_block(path, name, text, command, DOCS)


if __name__ == "__main__":
    main()

"""Where each target's dependencies come from when pip installs them: a wheel from the
package index, or the sdist, built on the device (and what that build needs). Asks pip
(`pip download --only-binary=:all:` for the target's interpreter and C library) and writes
the table into docs/targets.md's generated block "dependency-wheels".

    python scripts/dependency_wheels.py            # print the table
    python scripts/dependency_wheels.py --write    # and write it into docs/targets.md
"""

from __future__ import annotations

import argparse
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
import generated  # noqa: E402

# (target, CPython, machine, glibc of the Debian release it runs on)
TARGETS = [
    ("x86_64, Debian 12", "3.11", "x86_64", 36),
    ("x86_64, Debian 13", "3.13", "x86_64", 41),
    ("x86_64, Debian 14", "3.14", "x86_64", 42),
    ("x86_64, Debian 14", "3.15", "x86_64", 42),
    ("x86_64, glibc 2.36 (e.g. Debian 12 with a 3.15 of its own)", "3.15", "x86_64", 36),
    ("armv7l, Debian 12", "3.11", "armv7l", 36),
    ("armv7l, Debian 13", "3.13", "armv7l", 41),
    ("armv7l, Debian 14", "3.14", "armv7l", 42),
    ("aarch64, Debian 12", "3.11", "aarch64", 36),
    ("aarch64, Debian 13", "3.13", "aarch64", 41),
    ("aarch64, Debian 14", "3.14", "aarch64", 42),
]
# What building each from its sdist takes on the device.
SOURCE_NEEDS = {"redis": "nothing (pure Python)", "orjson": "a Rust toolchain (cargo)",
                "hiredis": "a C compiler and the Python headers (python3-dev)"}
PACKAGES = ["redis", "orjson", "hiredis"]


def platforms(machine: str, glibc: int) -> list[str]:
    tags = [f"manylinux_2_{minor}_{machine}" for minor in range(glibc, 16, -1)]
    return tags + [f"manylinux2014_{machine}", "any"]


def wheel_for(package: str, python: str, machine: str, glibc: int) -> str | None:
    """The wheel pip takes for that interpreter and C library, or None."""
    with tempfile.TemporaryDirectory() as out:
        args = [sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--disable-pip-version-check",
                "--only-binary=:all:", "--implementation", "cp", "--python-version", python,
                "-d", out, package]
        for platform in platforms(machine, glibc):
            args += ["--platform", platform]
        if subprocess.run(args, capture_output=True).returncode != 0:
            return None
        (wheel,) = Path(out).glob("*.whl")
        return wheel.name


def table() -> str:
    rows = ["| target | CPython | " + " | ".join(PACKAGES) + " |", "|---|---|" + "---|" * len(PACKAGES)]
    for name, python, machine, glibc in TARGETS:
        cells = []
        for package in PACKAGES:
            wheel = wheel_for(package, python, machine, glibc)
            if wheel:
                version, platform = wheel.split("-")[1], wheel.rsplit("-", 1)[1].removesuffix(".whl")
                cells.append(f"wheel {version} (`{platform.split('.')[0]}`)")
            else:
                cells.append(f"**source**: needs {SOURCE_NEEDS[package]}")
        rows.append(f"| {name} | {python} | " + " | ".join(cells) + " |")
    return "\n".join(rows)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--write", action="store_true", help="write the table into docs/targets.md")
    args = parser.parse_args()
    text = table()
    print(text)
    if args.write:
        generated.write_block(generated.ROOT / "docs" / "targets.md", "dependency-wheels", text,
                              "python scripts/dependency_wheels.py --write")


if __name__ == "__main__":
    main()

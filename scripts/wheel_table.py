"""Prints one row per distribution file given (wheels and sdists): file, tag, the newest
symbol version that each extension module in it needs from each library, and size.

Usage: python wheel_table.py dist/*
Needs pyelftools (auditwheel depends on it, so the build tools' environment has it).
"""

import io
import sys
import zipfile
from pathlib import Path

from elftools.elf.elffile import ELFFile
from elftools.elf.gnuversions import GNUVerNeedSection


def _version_key(name: str) -> tuple[str, tuple[int, ...]]:
    family, _, number = name.rpartition("_")
    return family, tuple(int(part) for part in number.split(".") if part.isdigit())


def needed_versions(elf_bytes: bytes) -> list[str]:
    """The newest needed version of each family (GLIBC_, GLIBCXX_, CXXABI_, GCC_)."""
    newest: dict[str, str] = {}
    elf = ELFFile(io.BytesIO(elf_bytes))
    for section in elf.iter_sections():
        if not isinstance(section, GNUVerNeedSection):
            continue
        for _, auxiliaries in section.iter_versions():
            for aux in auxiliaries:
                family, number = _version_key(aux.name)
                if family not in newest or number > _version_key(newest[family])[1]:
                    newest[family] = aux.name
    return [newest[family] for family in sorted(newest)]


def describe(path: Path) -> tuple[str, str, str, str]:
    size = f"{path.stat().st_size / 1024:.0f} KiB"
    if not path.name.endswith(".whl"):
        return path.name, "sdist", "-", size
    with zipfile.ZipFile(path) as zf:
        (wheel_file,) = [n for n in zf.namelist() if n.endswith(".dist-info/WHEEL")]
        tags = [line.split(":", 1)[1].strip()
                for line in zf.read(wheel_file).decode().splitlines() if line.startswith("Tag:")]
        needs = sorted({v for n in zf.namelist() if n.endswith(".so")
                        for v in needed_versions(zf.read(n))})
    return path.name, " ".join(tags), " ".join(needs) or "-", size


def main(paths: list[str]) -> None:
    rows = [("file", "tag", "needs (newest symbol versions)", "size")]
    rows += [describe(Path(p)) for p in sorted(paths)]
    widths = [max(len(row[i]) for row in rows) for i in range(4)]
    for n, row in enumerate(rows):
        print("  ".join(cell.ljust(w) if i < 3 else cell.rjust(w)
                        for i, (cell, w) in enumerate(zip(row, widths))).rstrip())
        if n == 0:
            print("  ".join("-" * w for w in widths))


if __name__ == "__main__":
    main(sys.argv[1:])

"""Prints the requirements that the packages in a --target folder need on the target
interpreter but do not have, one per line; prints nothing when all are met.

Run by the target's own interpreter (under qemu), with the target folder on PYTHONPATH.
pip evaluates environment markers for the interpreter that runs pip, not for its
--platform/--python-version target, so a dependency whose marker holds only on the target
is left out. redis, for one, needs async-timeout on Python < 3.11.3: the build machine may
have 3.11.7 while Debian bookworm's armhf python3.11 is 3.11.2.

Usage: python3.11 unmet_requirements.py SITE_DIR 'dist[extra,...]' ...
The named distributions (with the extras they were installed with) are the roots; every
requirement reachable from them is checked. `packaging` must be importable (pytest
depends on it).
"""

import sys
from importlib import metadata

from packaging.requirements import Requirement
from packaging.utils import canonicalize_name


def installed(site: str) -> dict[str, metadata.Distribution]:
    dists = {}
    for dist in metadata.distributions(path=[site]):
        dists[canonicalize_name(dist.metadata["Name"])] = dist
    return dists


def unmet(site: str, roots: list[str]) -> list[str]:
    dists = installed(site)
    missing: dict[str, str] = {}
    seen: set[tuple[str, str]] = set()
    todo = [Requirement(root) for root in roots]
    while todo:
        req = todo.pop()
        name = canonicalize_name(req.name)
        dist = dists.get(name)
        if dist is None or not req.specifier.contains(dist.version, prereleases=True):
            spec = f"{req.name}{'[' + ','.join(sorted(req.extras)) + ']' if req.extras else ''}{req.specifier}"
            missing.setdefault(name, spec)
            continue
        for extra in ["", *sorted(req.extras)]:
            if (name, extra) in seen:
                continue
            seen.add((name, extra))
            for text in dist.requires or []:
                child = Requirement(text)
                if child.marker is None or child.marker.evaluate({"extra": extra}):
                    todo.append(child)
    return sorted(missing.values())


if __name__ == "__main__":
    for line in unmet(sys.argv[1], sys.argv[2:]):
        print(line)

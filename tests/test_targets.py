"""The table of targets, scripts/targets.txt: every target is named by its command, each
Debian package once, the docs' tables are the table's; and adding a row (to a copy of the
scripts) is what docs/targets.md says it is: target.sh takes it, .ci/run runs it in its lane,
the docs' tables list it. Skipped outside a checkout and on an emulated device."""

import os
import shutil
import subprocess
import sys
from collections import Counter
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.skipif(
    shutil.which("readelf") is None or bool(os.environ.get("ZARN_TEST_EMULATOR"))
    or not (ROOT / "scripts" / "targets.txt").is_file(),
    reason="needs the checkout's scripts and binutils (not an emulated device)")


def run(root: Path, *args: str) -> subprocess.CompletedProcess:
    return subprocess.run(args, cwd=root, capture_output=True, text=True, timeout=60)


def rows(root: Path, kind: str) -> list[list[str]]:
    lines = (root / "scripts" / "targets.txt").read_text().splitlines()
    return [line.split()[1:] for line in lines if line.split()[:1] == [kind]]


def listed(root: Path) -> list[list[str]]:
    """ARCH WORD LANE of each target, as .ci/run and wheels.sh get them."""
    r = run(root, sys.executable, "scripts/targets.py", "--list")
    assert r.returncode == 0, r.stderr
    return [line.split() for line in r.stdout.splitlines()]


def block(path: Path, name: str) -> str:
    text = path.read_text()
    return text.split(f"<!-- generated:{name} begin -->\n")[1].split(f"<!-- generated:{name} end -->")[0]


def test_each_command_names_its_one_row():
    targets = rows(ROOT, "target")
    assert [(a, lane) for a, _, lane in listed(ROOT)] == [(t[0], t[6]) for t in targets]
    for (arch, word, _), (_, release, python, runs, *_) in zip(listed(ROOT), targets):
        r = run(ROOT, "bash", "scripts/target.sh", "--show", arch, word)
        assert r.returncode == 0, r.stderr
        assert f"target {arch}-{release}-py{python}: " in r.stdout and f"runs in {runs} " in r.stdout
    # A word that names two rows (x86_64 forky: 3.14 and 3.15) is refused, as is an unknown one.
    for pair in (["x86_64", "forky"], ["armhf", "potato"]):
        r = run(ROOT, "bash", "scripts/target.sh", "--show", *pair)
        assert r.returncode == 2 and f'no one row "{" ".join(pair)}"' in r.stderr


def test_each_debian_package_is_named_once():
    named = Counter(p for group in rows(ROOT, "packages") for p in group[1:])
    assert [p for p, n in named.items() if n > 1] == []
    assert len({group[0] for group in rows(ROOT, "packages")}) == len(rows(ROOT, "packages"))


def test_targets_that_share_a_root_share_a_lane():
    """One lane makes a root at a time: two lanes would make the same one at once."""
    lanes = {}
    for arch, release, _, runs, _, _, lane in rows(ROOT, "target"):
        if runs != "host":
            assert lanes.setdefault((arch, release), lane) == lane, (arch, release)


def test_docs_tables_are_the_tables_of_the_rows():
    r = run(ROOT, sys.executable, "scripts/targets.py")
    assert r.returncode == 0, r.stderr
    for doc in ("README.md", "docs/targets.md"):
        assert block(ROOT / doc, "targets").startswith(r.stdout + "\n"), \
            f"{doc}: run python scripts/targets.py --write"


# Rows added to a copy: a CPython on the build machine, a chroot target beside forky's two
# (their shared root gets its CPython), a new Debian release under emulation.
NEW = {
    "host": (["target x86_64 bookworm 3.16 host - pypi native"], "x86_64 3.16", "native",
             "| 3.16 | x86_64, Debian 12 bookworm | the build machine |", None, []),
    "chroot": (["target x86_64 forky 3.16 chroot - pypi native"], "x86_64 3.16", "native",
               "| 3.16 | x86_64, Debian 14 forky | a chroot |", ".targets/x86_64-forky/rootfs",
               ["python3.14-dev", "python3.15-dev", "python3.16-dev", "python3-redis"]),
    "release": (["target arm64 duke 3.16 qemu-aarch64-static cortex-a72 pypi emulated",
                 "release duke 15 2.43"], "arm64 duke", "emulated",
                "| 3.16 | aarch64, Debian 15 duke | `qemu-aarch64-static` (cortex-a72) |",
                ".targets/arm64-duke/rootfs", ["python3.16-venv", "python3.16-dev", "libc6"]),
}


@pytest.mark.parametrize("case", NEW)
def test_a_new_row_is_a_new_target(case, tmp_path):
    added, command, lane, doc_row, rootfs, root_packages = NEW[case]
    for part in ("scripts", ".ci", "docs"):
        shutil.copytree(ROOT / part, tmp_path / part)
    shutil.copy(ROOT / "README.md", tmp_path)
    with open(tmp_path / "scripts" / "targets.txt", "a") as table:
        table.write("\n".join(added) + "\n")

    assert command.split() + [lane] in listed(tmp_path)
    r = run(tmp_path, "bash", "scripts/target.sh", "--show", *command.split())
    assert r.returncode == 0, r.stderr
    work, _, root = r.stdout.splitlines()[1].partition("; root: ")
    assert work.endswith("/py3.16") and (root.split()[0] if root else None) == rootfs
    assert set(root_packages) <= set(root.partition("(")[2].rstrip(")").split(","))

    if shutil.which("python3.11"):  # .ci/run's interpreter: on the build machine, not in a chroot
        r = run(tmp_path, "bash", ".ci/run", "--list")
        assert r.returncode == 0, r.stderr
        runs = [line for line in r.stdout.splitlines() if line.endswith(f" bash scripts/target.sh {command}")]
        assert runs == [f"{lane} bash scripts/target.sh {command}"]

    r = run(tmp_path, sys.executable, "scripts/targets.py", "--write")
    assert r.returncode == 0, r.stderr
    for doc in ("README.md", "docs/targets.md"):
        assert doc_row in block(tmp_path / doc, "targets")


def test_debian_versions_are_apt_candidates_per_release(monkeypatch):
    """--debian: each package's candidate in apt-cache policy's output (not the installed
    version), "none" without one or unknown to apt; per architecture only where they differ."""
    monkeypatch.syspath_prepend(str(ROOT / "scripts"))
    import targets

    def policy(args, **_):
        arch, release = args[4:6]
        text = ("python3-redis:\n  Installed: 4.3.4-3\n  Candidate: 4.3.4-3+deb12u1\n  Version table:\n"
                " *** 4.3.4-3 100\n        100 /var/lib/dpkg/status\n")
        if release == "forky":
            orjson = "(none)" if arch == "armhf" else "3.12.0-1"
            text += f"python3-orjson:\n  Installed: (none)\n  Candidate: {orjson}\n  Version table:\n"
        return subprocess.CompletedProcess(args, 0, text)

    monkeypatch.setattr(targets.subprocess, "run", policy)
    rows = {row.split(" | ")[0]: row.split(" | ")[1:] for row in targets.debian_table()[2:]}
    assert rows["| 12 bookworm"] == ["4.3.4-3+deb12u1", "none", "none |"]
    assert rows["| 14 forky"] == ["4.3.4-3+deb12u1", "amd64: 3.12.0-1, armhf: none, arm64: 3.12.0-1", "none |"]

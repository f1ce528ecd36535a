"""The roots that the targets are built in: the suites kept when a mirror serves an
inconsistent index (scripts/debian.sh), against local file: repositories, and the mirror
taken from apt's own sources. No network: apt reads the repositories from disk."""

import hashlib
import os
import shutil
import subprocess
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
pytestmark = pytest.mark.skipif(
    shutil.which("apt-get") is None or bool(os.environ.get("ZARN_TEST_EMULATOR"))
    or not (ROOT / "scripts" / "debian.sh").is_file(),
    reason="needs Debian's apt and the checkout's scripts (not an emulated device)")

PACKAGES = b"Package: hello\nVersion: 1.0\nArchitecture: armhf\nFilename: pool/hello.deb\n"


def make_suite(repo: Path, suite: str, consistent: bool = True) -> None:
    """An unsigned suite with one armhf Packages index; an inconsistent one's Release file
    gives another size, as a mirror in the middle of a sync does."""
    index = repo / "dists" / suite / "main" / "binary-armhf" / "Packages"
    index.parent.mkdir(parents=True)
    index.write_bytes(PACKAGES)
    size = len(PACKAGES) + (0 if consistent else 7)
    (repo / "dists" / suite / "Release").write_text(
        f"Suite: {suite}\nCodename: {suite}\nArchitectures: armhf\nComponents: main\n"
        f"Date: Wed, 09 Dec 2026 00:00:00 UTC\nSHA256:\n"
        f" {hashlib.sha256(PACKAGES).hexdigest()} {size} main/binary-armhf/Packages\n")


def bash(script: str, *args: str, env: dict | None = None) -> subprocess.CompletedProcess:
    # Without the sanitizer run's preloaded runtimes, which apt's own programs do not bear.
    outer = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    return subprocess.run(
        ["bash", "-c", f'. scripts/common.sh; . scripts/debian.sh; {script}', "bash", *args],
        cwd=ROOT, capture_output=True, text=True, timeout=120,
        env={**outer, "ZARN_APT_PAUSE": "0", "ZARN_APT_TRIES": "2", **(env or {})})


def line(repo: Path, suite: str) -> str:
    return f"deb [trusted=yes] file:{repo} {suite} main"


@pytest.mark.parametrize("security", ["consistent", "inconsistent", "missing"])
def test_optional_suite_left_out_only_when_unusable(tmp_path, security):
    make_suite(tmp_path, "rel")
    make_suite(tmp_path, "rel-updates")
    if security != "missing":
        make_suite(tmp_path, "rel-security", consistent=security == "consistent")
    wanted = [line(tmp_path, s) for s in ("rel", "rel-updates", "rel-security")]

    r = bash('usable_sources armhf "$@"', *wanted)

    assert r.returncode == 0, r.stderr
    warnings = [w for w in r.stderr.splitlines() if w.startswith("WARNING:")]
    if security == "consistent":
        assert r.stdout.splitlines() == wanted
        assert warnings == []
    else:
        assert r.stdout.splitlines() == wanted[:2]
        # One line that names the suite, the number of tries and apt's reason.
        assert len(warnings) == 1, r.stderr
        assert "without rel-security" in warnings[0] and "after 2 tries" in warnings[0]
        if security == "inconsistent":
            assert "unexpected size" in warnings[0] or "Hash Sum mismatch" in warnings[0]


def test_release_suite_is_never_dropped_and_its_failure_fails(tmp_path):
    make_suite(tmp_path, "rel", consistent=False)
    r = bash('usable_sources armhf "$@"', line(tmp_path, "rel"))
    assert r.stdout.splitlines() == [line(tmp_path, "rel")]
    assert r.stderr == ""

    # mmdebstrap is not run for real: a stand-in that always fails, as it does on a broken
    # release suite, must end in one clear error after the tries.
    fake = tmp_path / "bin"
    fake.mkdir()
    (fake / "mmdebstrap").write_text("#!/bin/sh\necho 'E: mmdebstrap failed to run' >&2\nexit 1\n")
    (fake / "mmdebstrap").chmod(0o755)
    r = bash('make_debian_root armhf sid "$1"', str(tmp_path / "root"),
             env={"PATH": f"{fake}:{os.environ['PATH']}", "ZARN_DEBIAN_MIRROR": f"file:{tmp_path}"})
    assert r.returncode != 0
    assert r.stderr.count("E: mmdebstrap failed to run") == 2
    assert f"could not make the sid root for armhf from deb [signed-by=" in r.stderr
    assert not (tmp_path / "root").exists()


def test_mirror_comes_from_apt_sources_unless_overridden(tmp_path):
    codename = bash('. /etc/os-release; echo "$VERSION_CODENAME"').stdout.strip()
    parts = tmp_path / "sources.list.d"
    parts.mkdir()
    (parts / "debian.sources").write_text(
        f"Types: deb\nURIs: http://archive.example/debian\nSuites: {codename} {codename}-updates\n"
        f"Components: main\n\nTypes: deb\nURIs: http://security.example/debian-security\n"
        f"Suites: {codename}-security\nComponents: main\n")
    (tmp_path / "sources.list").write_text("")
    conf = tmp_path / "apt.conf"
    conf.write_text(f'Dir::Etc::SourceList "{tmp_path}/sources.list";\n'
                    f'Dir::Etc::SourceParts "{parts}";\n')
    show = 'debian_mirrors && echo "$debian_mirror $debian_security_mirror"'

    r = bash(show, env={"APT_CONFIG": str(conf)})
    assert r.stdout.split() == ["http://archive.example/debian",
                                "http://security.example/debian-security"], r.stderr

    r = bash(show, env={"APT_CONFIG": str(conf), "ZARN_DEBIAN_MIRROR": "file:/srv/mirror"})
    assert r.stdout.split() == ["file:/srv/mirror", "http://security.example/debian-security"]

    (parts / "debian.sources").write_text("")
    r = bash(show, env={"APT_CONFIG": str(conf)})
    assert r.returncode != 0 and "set ZARN_DEBIAN_MIRROR" in r.stderr

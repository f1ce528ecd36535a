"""The module's wheel installs beside the kit without touching the kit's files.

`zarn_sdk` is a namespace package: the kit (or, without the kit, the logger stand-in from
logger-standin/) and this wheel each bring their own folders, and this wheel brings only
`zarn_sdk/redis/`. The tests install the wheels with pip into new virtual environments.

The wheels are $ZARN_TEST_WHEEL and $ZARN_TEST_STANDIN_WHEEL, which the scripts set to the
wheels they built and installed; without them each is built once per session with pip (the
module's build needs a compiler, so under emulation it is skipped instead). The new
environments see the test environment's other packages (redis, orjson, pip...) through a
.pth file listing links to them, so nothing is downloaded; the zarn_sdk packages of the
test environment are left out of it.
"""

import base64
import hashlib
import importlib.machinery
import io
import json
import os
import subprocess
import sys
import sysconfig
import venv
import zipfile
from dataclasses import dataclass
from pathlib import Path

import pytest

from conftest import EMULATOR

REPO = Path(__file__).resolve().parent.parent
# pip and the interpreter start slowly under emulation.
TIMEOUT = 900 if EMULATOR else 300


def _wheel_from_env_or_build(variable: str, source: Path, pattern: str, tmp_path_factory,
                             needs_compiler: bool) -> Path:
    given = os.environ.get(variable)
    if given:
        return Path(given).resolve()
    if EMULATOR and needs_compiler:
        pytest.skip(f"building {source.name}'s wheel needs a compiler on the target; "
                    f"set {variable} to a wheel built for it")
    out = tmp_path_factory.mktemp("wheel")
    subprocess.run(
        [sys.executable, "-m", "pip", "wheel", "-q", "--disable-pip-version-check",
         "--no-deps", "-w", str(out), str(source)],
        check=True, timeout=TIMEOUT,
    )
    (wheel,) = out.glob(pattern)
    return wheel


@pytest.fixture(scope="session")
def module_wheel(tmp_path_factory) -> Path:
    return _wheel_from_env_or_build("ZARN_TEST_WHEEL", REPO, "zarn_sdk_redis-*.whl",
                                    tmp_path_factory, needs_compiler=True)


@pytest.fixture(scope="session")
def standin_wheel(tmp_path_factory) -> Path:
    return _wheel_from_env_or_build("ZARN_TEST_STANDIN_WHEEL", REPO / "logger-standin",
                                    "zarn_sdk_logger_standin-*.whl", tmp_path_factory,
                                    needs_compiler=False)


def wheel_files(wheel: Path) -> list[str]:
    """The files a wheel installs, without its .dist-info folder and directory entries."""
    with zipfile.ZipFile(wheel) as zf:
        return sorted(i.filename for i in zf.infolist()
                      if not i.is_dir() and ".dist-info/" not in i.filename)


def _record_hash(data: bytes) -> str:
    digest = hashlib.sha256(data).digest()
    return "sha256=" + base64.urlsafe_b64encode(digest).rstrip(b"=").decode()


def make_wheel(directory: Path, name: str, version: str, files: dict[str, str]) -> Path:
    """Writes a pure-Python wheel holding `files` (path -> text)."""
    dist_info = f"{name}-{version}.dist-info"
    contents = {path: text.encode() for path, text in files.items()}
    contents[f"{dist_info}/METADATA"] = (
        f"Metadata-Version: 2.1\nName: {name}\nVersion: {version}\n").encode()
    contents[f"{dist_info}/WHEEL"] = (
        b"Wheel-Version: 1.0\nGenerator: tests\nRoot-Is-Purelib: true\nTag: py3-none-any\n")
    record = io.StringIO()
    for path, data in contents.items():
        record.write(f"{path},{_record_hash(data)},{len(data)}\n")
    record.write(f"{dist_info}/RECORD,,\n")
    contents[f"{dist_info}/RECORD"] = record.getvalue().encode()
    wheel = directory / f"{name}-{version}-py3-none-any.whl"
    with zipfile.ZipFile(wheel, "w") as zf:
        for path, data in contents.items():
            zf.writestr(path, data)
    return wheel


# The kit as the tests see it: its own package file and logger. get_logger notes each call
# and returns a logger writing to the same file, so the test can tell that the module's
# failure lines went through it.
KIT_FILES = {
    "zarn_sdk/__init__.py": '"""The kit (a test double)."""\nKIT = "fake kit"\n',
    "zarn_sdk/logging/__init__.py": "",
    "zarn_sdk/logging/logger.py": (
        "import logging\n"
        "import os\n"
        "\n"
        "def get_logger(name):\n"
        "    path = os.environ['FAKE_KIT_LOG']\n"
        "    with open(path, 'a') as f:\n"
        "        f.write(f'get_logger {name}\\n')\n"
        "    log = logging.getLogger('fake-kit.' + name)\n"
        "    handler = logging.FileHandler(path)\n"
        "    handler.setFormatter(logging.Formatter('kit %(levelname)s %(name)s %(message)s'))\n"
        "    log.addHandler(handler)\n"
        "    log.propagate = False\n"
        "    return log\n"
    ),
}

# Imports the module, reports where the pieces came from, and makes one failing read, which
# the module logs as a warning through the logger it took from zarn_sdk.logging.logger.
PROBE = """
import json, sys
import zarn_sdk
import zarn_sdk.logging.logger as kit_logger
import zarn_sdk.redis.redis_wrapper as rw
r = rw.RedisWrapper(thread=False, host="127.0.0.1", port=int(sys.argv[1]))
print(json.dumps({
    "zarn_sdk_file": zarn_sdk.__file__,
    "zarn_sdk_path": list(zarn_sdk.__path__),
    "kit": getattr(zarn_sdk, "KIT", None),
    "logger_module": kit_logger.__file__,
    "module": rw.__file__,
    "logger_name": rw.logger.name,
    "read": r.read_zarn_data("cam-01:latest"),
}))
"""


@dataclass
class Env:
    """A new virtual environment, its interpreter run behind the emulator when there is one."""

    root: Path
    site: Path

    def run(self, *args: str, env: dict | None = None) -> subprocess.CompletedProcess:
        full_env = {k: v for k, v in os.environ.items()
                    if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP")}
        full_env["PYTHONNOUSERSITE"] = "1"
        full_env.update(env or {})
        return subprocess.run(
            [*EMULATOR, str(self.root / "bin" / "python"), *args],
            capture_output=True, text=True, env=full_env, timeout=TIMEOUT, cwd=self.root,
        )

    def pip(self, *args: str) -> str:
        proc = self.run("-m", "pip", "--disable-pip-version-check", "--no-input", *args)
        assert proc.returncode == 0, proc.stdout + proc.stderr
        return proc.stdout

    def install(self, *wheels: Path) -> None:
        self.pip("install", "-q", "--no-index", "--no-deps", *map(str, wheels))

    def files(self, top: str = "zarn_sdk") -> dict[str, str]:
        """Every file below site-packages/<top>, by relative path, with its SHA-256."""
        base = self.site / top
        return {
            str(p.relative_to(self.site)): hashlib.sha256(p.read_bytes()).hexdigest()
            for p in sorted(base.rglob("*")) if p.is_file()
        }

    def record(self, dist_info_glob: str) -> list[str]:
        (dist_info,) = self.site.glob(dist_info_glob)
        return [line.split(",")[0] for line in (dist_info / "RECORD").read_text().splitlines()]


def _is_ours(name: str) -> bool:
    return name == "zarn_sdk" or name.startswith(("zarn_sdk_redis-", "zarn_sdk_logger_standin-"))


@pytest.fixture
def new_env(tmp_path) -> Env:
    root = tmp_path / "env"
    venv.EnvBuilder(symlinks=True, with_pip=False).create(root)
    site = Path(sysconfig.get_path("purelib", scheme="venv",
                                   vars={"base": str(root), "platbase": str(root)}))
    assert site.is_dir(), site
    # The test environment's packages, without ours, through links in one folder: its own
    # site-packages and, where it sees them, the system's (Debian's python3-redis and the
    # like live in dist-packages), first found first, as on sys.path.
    overlay = tmp_path / "outer-packages"
    overlay.mkdir()
    outers = [sysconfig.get_path("purelib"), sysconfig.get_path("platlib"),
              *(p for p in sys.path if p.endswith(("site-packages", "dist-packages")))]
    for outer in dict.fromkeys(Path(p) for p in outers if os.path.isdir(p)):
        for entry in outer.iterdir():
            if _is_ours(entry.name) or entry.suffix == ".pth" or entry.name == "__pycache__":
                continue
            if not (overlay / entry.name).exists():
                (overlay / entry.name).symlink_to(entry)
    (site / "outer_packages.pth").write_text(f"{overlay}\n")
    return Env(root, site)


def test_module_wheel_holds_only_its_own_folder(module_wheel):
    with zipfile.ZipFile(module_wheel) as zf:
        (metadata,) = [n for n in zf.namelist() if n.endswith(".dist-info/METADATA")]
        meta = zf.read(metadata).decode()
    files = wheel_files(module_wheel)
    assert all(n.startswith("zarn_sdk/redis/") for n in files), files
    assert not [n for n in files if n.endswith("__init__.py")], files
    extensions = [n for n in files if n.endswith(".so")]
    assert sorted(files) == sorted(["zarn_sdk/redis/py.typed", "zarn_sdk/redis/redis_wrapper.pyi",
                                    *extensions]), files
    # One extension module, built for this interpreter.
    assert len(extensions) == 1, files
    suffix = extensions[0][len("zarn_sdk/redis/redis_wrapper"):]
    assert suffix == importlib.machinery.EXTENSION_SUFFIXES[0], (suffix, module_wheel.name)
    assert "Requires-Dist: redis" in meta and "Requires-Dist: orjson" in meta, meta
    assert "Provides-Extra: hiredis" in meta, meta


def test_standin_wheel_holds_only_the_logging_folder(standin_wheel):
    files = wheel_files(standin_wheel)
    assert files == ["zarn_sdk/logging/__init__.py", "zarn_sdk/logging/logger.py",
                     "zarn_sdk/logging/py.typed"], files


def test_installs_beside_the_kit_and_logs_through_it(new_env, module_wheel, dead_port, tmp_path):
    kit = make_wheel(tmp_path, "fake_zarn_kit", "1.0", KIT_FILES)
    new_env.install(kit)
    kit_files = new_env.files()
    assert {"zarn_sdk/__init__.py", "zarn_sdk/logging/logger.py"} <= set(kit_files)

    new_env.install(module_wheel)
    after = new_env.files()
    # Every file of the kit is still there, unchanged; the new ones are the module's only.
    assert {path: after.get(path) for path in kit_files} == kit_files
    added = sorted(set(after) - set(kit_files))
    assert added == wheel_files(module_wheel)
    recorded = new_env.record("zarn_sdk_redis-*.dist-info")
    assert all(p.startswith(("zarn_sdk/redis/", "zarn_sdk_redis-")) for p in recorded), recorded

    log = tmp_path / "kit.log"
    proc = new_env.run("-c", PROBE, str(dead_port), env={"FAKE_KIT_LOG": str(log)})
    assert proc.returncode == 0, proc.stdout + proc.stderr
    seen = json.loads(proc.stdout)
    assert seen["kit"] == "fake kit"
    assert seen["zarn_sdk_file"] == str(new_env.site / "zarn_sdk" / "__init__.py")
    assert seen["logger_module"] == str(new_env.site / "zarn_sdk" / "logging" / "logger.py")
    assert Path(seen["module"]).parent == new_env.site / "zarn_sdk" / "redis"
    assert seen["logger_name"] == "fake-kit.REDIS"
    assert seen["read"] is None
    lines = log.read_text().splitlines()
    assert lines[0] == "get_logger REDIS", lines
    assert [line for line in lines[1:]
            if line.startswith("kit WARNING fake-kit.REDIS Failed to get redis frame from cam-01:latest - ")
            ], lines

    # Removing the module leaves the kit as it was.
    new_env.pip("uninstall", "-y", "-q", "zarn-sdk-redis")
    left = new_env.files()
    assert {path: left.get(path) for path in kit_files} == kit_files
    assert not [p for p in left if p.startswith("zarn_sdk/redis/") and "__pycache__" not in p]


def test_without_the_kit_the_standin_logger_is_used(new_env, module_wheel, standin_wheel, dead_port):
    new_env.install(module_wheel, standin_wheel)
    assert not (new_env.site / "zarn_sdk" / "__init__.py").exists()
    proc = new_env.run("-c", PROBE, str(dead_port))
    assert proc.returncode == 0, proc.stdout + proc.stderr
    seen = json.loads(proc.stdout)
    # A namespace package: no file of its own, one folder in this environment.
    assert seen["zarn_sdk_file"] is None
    assert seen["zarn_sdk_path"] == [str(new_env.site / "zarn_sdk")]
    assert seen["kit"] is None
    assert seen["logger_module"] == str(new_env.site / "zarn_sdk" / "logging" / "logger.py")
    assert seen["logger_name"] == "REDIS"
    assert seen["read"] is None
    assert " WARNING REDIS: Failed to get redis frame from cam-01:latest - " in proc.stderr, proc.stderr

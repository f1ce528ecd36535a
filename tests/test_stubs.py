"""The type stubs are installed, and mypy accepts typed use. (The stub's signatures are the
ones that tests/test_face.py compares with the runtime class.)"""

import os
import pathlib
import subprocess

import zarn_sdk.redis.redis_wrapper as rw

from conftest import python_command

STUB = pathlib.Path(rw.__file__).with_name("redis_wrapper.pyi")
EXAMPLE = pathlib.Path(__file__).parent.parent / "examples" / "typed_usage.py"


def test_stub_and_marker_are_installed():
    assert STUB.is_file()
    # zarn_sdk is a namespace package: the PEP 561 marker sits beside the stub.
    assert STUB.with_name("py.typed").is_file()


def test_mypy_accepts_typed_usage_and_rejects_a_wrong_argument(tmp_path):
    # One mypy run for both files: under emulation each run costs many seconds.
    bad = tmp_path / "bad.py"
    bad.write_text(
        "from zarn_sdk.redis.redis_wrapper import RedisWrapper\n"
        "RedisWrapper(thread=False).write_data(b'key', 'v')\n"
    )
    env = dict(os.environ, MYPY_CACHE_DIR=os.devnull)
    proc = subprocess.run(
        [*python_command(), "-m", "mypy", "--strict", "--no-incremental", str(EXAMPLE), str(bad)],
        capture_output=True, text=True, env=env, timeout=600,
    )
    errors = [line for line in proc.stdout.splitlines() if ": error:" in line]
    assert proc.returncode == 1, proc.stdout + proc.stderr
    assert len(errors) == 1, proc.stdout
    assert errors[0].startswith(str(bad) + ":2:"), proc.stdout
    assert 'Argument 1 to "write_data" of "RedisWrapper" has incompatible type "bytes"' in errors[0]

"""Shared fixtures: a real redis-server for the session, a flush per test, a port where
nothing listens, a log recorder, wrappers that are shut down after each test, and a
helper that runs Python in a subprocess (through an emulator when one is configured)."""

import os
import shlex
import shutil
import socket
import subprocess
import sys
import threading
import time
from dataclasses import dataclass

import pytest
import redis

import zarn_sdk.redis.redis_wrapper as rw

# Set by the armv7l run: the emulator command that runs target binaries, and a server
# that the host started (the emulated interpreter cannot start a native one reliably).
EMULATOR = shlex.split(os.environ.get("ZARN_TEST_EMULATOR", ""))
EXTERNAL_PORT = os.environ.get("ZARN_TEST_REDIS_PORT")


@dataclass(frozen=True)
class Server:
    host: str
    port: int

    def client(self) -> redis.Redis:
        return redis.Redis(host=self.host, port=self.port)


def _wait_for_ping(port: int, proc: subprocess.Popen | None, timeout: float = 10.0) -> None:
    deadline = time.monotonic() + timeout
    while True:
        try:
            redis.Redis(host="127.0.0.1", port=port, socket_timeout=1).ping()
            return
        except redis.exceptions.ConnectionError:
            if proc is not None and proc.poll() is not None:
                raise RuntimeError(f"redis-server exited with status {proc.returncode}")
            if time.monotonic() > deadline:
                raise RuntimeError(f"redis-server on port {port} did not answer in {timeout}s")
            time.sleep(0.05)


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_redis_server(port: int) -> subprocess.Popen:
    """Starts redis-server on 127.0.0.1:port without persistence; the caller stops it by PID."""
    binary = shutil.which("redis-server")
    if binary is None:
        raise RuntimeError(
            "redis-server not found on PATH: install Debian's redis-server "
            "(scripts/test.sh does this)"
        )
    proc = subprocess.Popen(
        [binary, "--port", str(port), "--bind", "127.0.0.1", "--save", "", "--appendonly", "no"],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    try:
        _wait_for_ping(port, proc)
    except BaseException:
        stop_process(proc)
        raise
    return proc


def stop_process(proc: subprocess.Popen) -> None:
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


@pytest.fixture(scope="session")
def redis_server():
    if EXTERNAL_PORT:
        port = int(EXTERNAL_PORT)
        _wait_for_ping(port, None)
        yield Server("127.0.0.1", port)
        return
    port = free_port()
    proc = start_redis_server(port)
    try:
        yield Server("127.0.0.1", port)
    finally:
        stop_process(proc)


@pytest.fixture
def server(redis_server):
    """The session's server, emptied for this test."""
    client = redis_server.client()
    client.flushall()
    client.close()
    return redis_server


@pytest.fixture
def raw(server):
    """A plain redis-py client on the test server."""
    client = server.client()
    yield client
    client.close()


@pytest.fixture(scope="session")
def dead_port():
    """A loopback port that is bound but not listening: every connect is refused."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    yield s.getsockname()[1]
    s.close()


class LogRecorder:
    """Stands in for the module's logger and keeps every line it is given."""

    def __init__(self):
        self._lock = threading.Lock()
        self.lines: list[tuple[str, str]] = []

    def _add(self, level, args, kwargs):
        assert not kwargs and len(args) == 1 and type(args[0]) is str, (args, kwargs)
        with self._lock:
            self.lines.append((level, args[0]))

    def error(self, *args, **kwargs):
        self._add("error", args, kwargs)

    def warning(self, *args, **kwargs):
        self._add("warning", args, kwargs)

    def wait_for(self, count: int, timeout: float = 5.0) -> list[tuple[str, str]]:
        deadline = time.monotonic() + timeout
        while len(self.lines) < count and time.monotonic() < deadline:
            time.sleep(0.01)
        return list(self.lines)


@pytest.fixture
def log(monkeypatch):
    recorder = LogRecorder()
    monkeypatch.setattr(rw, "logger", recorder)
    return recorder


@pytest.fixture
def make_wrapper():
    """Builds RedisWrapper instances and stops their workers when the test ends."""
    made = []

    def make(*args, **kwargs):
        w = rw.RedisWrapper(*args, **kwargs)
        made.append(w)
        return w

    yield make
    for w in made:
        w._shutdown_executor()


@pytest.fixture
def direct(make_wrapper, server):
    """A direct-mode instance on the test server."""
    return make_wrapper(thread=False, host=server.host, port=server.port)


def python_command() -> list[str]:
    """The command that starts this interpreter, behind the emulator when there is one."""
    return [*EMULATOR, sys.executable]


@pytest.fixture
def run_python():
    """Runs a Python snippet in a fresh interpreter; returns the CompletedProcess."""

    def run(code: str, env: dict | None = None, timeout: float = 60.0, unset=()):
        full_env = dict(os.environ)
        full_env.update(env or {})
        for name in unset:
            full_env.pop(name, None)
        return subprocess.run(
            [*python_command(), "-c", code],
            env=full_env,
            capture_output=True,
            text=True,
            timeout=timeout,
        )

    return run


def refusal(name: str, expected: str, got: str) -> str:
    """The TypeError text of an argument of the wrong type."""
    return f"Argument '{name}' has incorrect type (expected {expected}, got {got})"


def sent(raw: redis.Redis) -> dict[str, int]:
    """Commands the server ran since the last CONFIG RESETSTAT, by name, without our own INFO."""
    stats = raw.info("commandstats")
    return {
        name[len("cmdstat_"):]: row["calls"]
        for name, row in stats.items()
        if not name.startswith(("cmdstat_info", "cmdstat_config"))
    }


def drained(q, timeout: float = 30.0) -> bool:
    """Waits for q.join() without letting a lost task_done hang the run."""
    t = threading.Thread(target=q.join, daemon=True)
    t.start()
    t.join(timeout)
    return not t.is_alive()

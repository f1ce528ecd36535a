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

from helpers import LogRecorder

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


@pytest.fixture
def silent_port():
    """A loopback port that accepts connections and never answers."""
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    s.listen(8)
    yield s.getsockname()[1]
    s.close()


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


@pytest.fixture
def background(make_wrapper, server):
    """A background-writer instance on the test server, with a queue of 4 records."""
    return make_wrapper(host=server.host, port=server.port, workers=4)


@pytest.fixture
def thread_errors(monkeypatch):
    """Exceptions that ended a thread, and those that the interpreter could raise nowhere."""
    seen = []
    monkeypatch.setattr(threading, "excepthook", lambda args: seen.append(args.exc_value))
    monkeypatch.setattr(sys, "unraisablehook", lambda args: seen.append(args.exc_value))
    return seen


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

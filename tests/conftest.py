"""Shared fixtures: a real redis-server for the session, a flush per test, a port where
nothing listens, a log recorder, wrappers that are shut down after each test, and a
helper that runs Python in a subprocess (through an emulator when one is configured)."""

import os
import shlex
import socket
import subprocess
import sys
import threading

import pytest

import zarn_sdk.redis.redis_wrapper as rw

from helpers import REPO, LogRecorder

sys.path.insert(0, str(REPO / "examples"))
from local_redis import LocalServer, Node, wait_until  # noqa: E402  (throwaway servers)

# Set by the armv7l run: the emulator command that runs target binaries, and a server
# that the host started (the emulated interpreter cannot start a native one reliably).
EMULATOR = shlex.split(os.environ.get("ZARN_TEST_EMULATOR", ""))
EXTERNAL_PORT = os.environ.get("ZARN_TEST_REDIS_PORT")


@pytest.fixture(scope="session")
def redis_server():
    """The session's server: the emulated runs' (started by the host), else one of our own."""
    if EXTERNAL_PORT:
        node = Node(int(EXTERNAL_PORT), None)
        wait_until(node.client().ping, f"the server on port {EXTERNAL_PORT}", timeout=10)
        yield node
        return
    with LocalServer() as server:
        yield server


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

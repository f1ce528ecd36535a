"""Secured servers (docs/security.md), against real redis-servers of this module's own: a
password, an ACL user limited to one camera's keys, and TLS with client certificates (a
throwaway CA made with openssl). Each is set through redis-py's own options on the module's
pool in place and through a replacement client; then what every method does on a wrong or
missing password, a forbidden key and each TLS mismatch, and that no log line or error text
carries a password or key material."""

import glob
import os
import re
import shutil
from dataclasses import dataclass
from typing import Callable

import pytest
import redis

from helpers import drained
from local_redis import LocalServer

PASSWORD, CAM_PASSWORD = "default-pw-4f1c", "cam-01-pw-9b2e"
ACL = [f"user default on >{PASSWORD} ~* &* +@all",
       f"user cam-01 on >{CAM_PASSWORD} resetkeys ~cam-01:* resetchannels -@all "
       "+@read +@write +@keyspace -@dangerous"]
REDIS_PY = tuple(int(part) for part in redis.__version__.split(".")[:2])
# A wrong password: WRONGPASS became AuthenticationError in redis-py 4.4.
WRONG_PASSWORD = redis.exceptions.ResponseError if REDIS_PY < (4, 4) \
    else redis.exceptions.AuthenticationError
MODES = pytest.mark.parametrize("thread", [False, True], ids=["direct", "background"])


@pytest.fixture(scope="module")
def acl_server(tmp_path_factory):
    """A plain server whose default user has a password, and a user for camera cam-01."""
    acl = tmp_path_factory.mktemp("acl") / "users.acl"
    acl.write_text("\n".join(ACL) + "\n")
    with LocalServer("--aclfile", str(acl), connect={"password": PASSWORD}) as server:
        yield server


@pytest.fixture(scope="module")
def tls_server():
    """A server on TLS only, client certificates required."""
    if shutil.which("openssl") is None:
        pytest.skip("the openssl command (Debian's openssl) makes the test's certificates")
    with LocalServer(tls=True) as server:
        yield server


def secure(w, how: str, server, options: dict):
    """redis-py's options put on the instance's own pool (in place, before the first command)
    or on a client that replaces it."""
    options = dict(options)
    if how == "pool":
        pool = w._redis_client.connection_pool
        if options.pop("ssl", False):
            pool.connection_class = redis.SSLConnection
        pool.connection_kwargs.update(options)
    else:
        w._redis_client = redis.Redis(host=server.host, port=server.port, **options)
    return w


class TlsFiles:
    """Gives the TLS server's files (a Tls) when called, starting that server when a case first
    asks, and keeps them in `used` for the leak check."""

    def __init__(self, request):
        self.request, self.used = request, None

    def __call__(self):
        self.used = self.request.getfixturevalue("tls_server").tls
        return self.used


def leaked(texts, tls) -> list[str]:
    """The texts that hold a password or a line of a private key (those of `tls`' folder)."""
    secrets = [PASSWORD, CAM_PASSWORD, "PRIVATE KEY"]
    for name in glob.glob(os.path.join(os.path.dirname(tls.ca), "*.key")) if tls else []:
        with open(name) as f:
            secrets += [line for line in f.read().splitlines() if "-----" not in line]
    return [t for t in texts for s in secrets if s in t]


SETUPS = {  # the server, and redis-py's options for it (tls(): the throwaway CA's files)
    "password": ("acl_server", lambda tls: {"password": PASSWORD}),
    "ACL user": ("acl_server", lambda tls: {"username": "cam-01", "password": CAM_PASSWORD}),
    "TLS": ("tls_server", lambda tls: tls().client_kwargs()),
}


@MODES
@pytest.mark.parametrize("how", ["pool", "client"])
@pytest.mark.parametrize("setup", list(SETUPS))
def test_every_method_works_on_a_secured_server(request, make_wrapper, log, setup, how, thread):
    fixture, options = SETUPS[setup]
    server, tls = request.getfixturevalue(fixture), TlsFiles(request)
    admin = server.client()
    admin.flushall()
    before = max(int(c["id"]) for c in admin.client_list())
    w = secure(make_wrapper(thread=thread, host=server.host, port=server.port), how, server,
               options(tls))
    assert w.write_zarn_data({"seq": 1}, "cam-01:frame", 30) is True
    assert w._queue is None or drained(w._queue)
    assert w.read_zarn_data("cam-01:frame") == {"seq": 1} and 0 < admin.ttl("cam-01:frame") <= 30
    assert w.write_data("cam-01:cfg", "0.75") is True and w.read_data("cam-01:cfg") == b"0.75"
    assert sorted(w.scan_keys("cam-01:*")) == ["cam-01:cfg", "cam-01:frame"]
    assert w.delete_many(["cam-01:cfg", "cam-01:gone"]) == 1
    assert w.delete_data("cam-01:frame") is True and w.write_zarn_data(None, "cam-01:x") is False
    assert admin.keys("*") == [] and log.lines == []
    # The instance's own connections, as the user that the options name.
    users = {c["user"] for c in admin.client_list() if int(c["id"]) > before}
    assert users == {"cam-01" if setup == "ACL user" else "default"}


@dataclass(frozen=True)
class Failure:
    server: str  # the fixture
    options: Callable  # tls -> redis-py's options on the pool (tls(): the throwaway CA's files)
    error: type  # what the plain paths raise
    says: str  # a pattern of the error text in the log lines
    key: str = "cam-01:frame"


FAILURES = {
    "wrong password": Failure("acl_server", lambda tls: {"password": "not-" + PASSWORD},
                              WRONG_PASSWORD, "invalid username-password pair"),
    "no password": Failure("acl_server", lambda tls: {}, redis.exceptions.AuthenticationError,
                           "(?i)authenticat"),
    "forbidden key": Failure("acl_server", lambda tls: {"username": "cam-01", "password": CAM_PASSWORD},
                             redis.exceptions.NoPermissionError, "(?i)no permissions", "cam-02:frame"),
    "plain TCP to the TLS port": Failure("tls_server", lambda tls: {}, redis.exceptions.ConnectionError,
                                         "Connection reset by peer"),
    # The server reads the TLS greeting as a command that never ends: only a timeout ends it
    # (redis-py 4.3 shakes hands under socket_timeout).
    "TLS to the plain port": Failure(
        "acl_server", lambda tls: {**tls().client_kwargs(), "socket_timeout": 0.5,
                                   "socket_connect_timeout": 0.5},
        redis.exceptions.TimeoutError, "Timeout connecting to server"),
    "no client certificate": Failure("tls_server", lambda tls: {"ssl": True, "ssl_ca_certs": tls().ca},
                                     redis.exceptions.ConnectionError, "SSL|EOF occurred|Connection reset by peer"),
    "server certificate of an unknown CA": Failure(
        "tls_server", lambda tls: {**tls().client_kwargs(), "ssl_ca_certs": None},
        redis.exceptions.ConnectionError, "CERTIFICATE_VERIFY_FAILED"),
}


@MODES
@pytest.mark.parametrize("failure", list(FAILURES))
def test_failures_log_on_frame_paths_and_raise_on_plain_paths(request, make_wrapper, log,
                                                              failure, thread):
    case, tls = FAILURES[failure], TlsFiles(request)
    server, key = request.getfixturevalue(case.server), case.key
    admin = server.client()
    admin.mset({"cam-01:ok": b"1", "cam-02:frame": b"{}"})
    w = secure(make_wrapper(thread=thread, host=server.host, port=server.port), "pool", server,
               case.options(tls))
    assert w.write_zarn_data({"seq": 1}, key, 30) is thread  # queued: True; direct: False
    assert w._queue is None or drained(w._queue)
    assert w.read_zarn_data(key) is None
    assert [(level, line.split(" - ")[0]) for level, line in log.wait_for(2)] == [
        ("error", f"Failed to write data to redis`{key}`"),
        ("warning", f"Failed to get redis frame from {key}")]
    raised = []
    for call in (lambda: w.write_data(key, "v"), lambda: w.read_data(key),
                 lambda: w.delete_data(key), lambda: w.delete_many(["cam-01:ok", key]),
                 lambda: w.scan_keys("cam-02:*")):
        try:
            result = call()
        except redis.exceptions.RedisError as err:
            raised.append(err)
            assert type(err) is case.error, (type(err), err)
        else:  # SCAN names no key: an ACL key pattern does not limit it
            assert failure == "forbidden key" and result == ["cam-02:frame"]
    assert len(raised) == (4 if failure == "forbidden key" else 5)
    # One forbidden key refuses the whole DEL.
    assert admin.get("cam-01:ok") == b"1" and admin.get("cam-02:frame") == b"{}"
    assert len(log.lines) == 2 and all(re.search(case.says, line) for _, line in log.lines), log.lines
    assert leaked([line for _, line in log.lines] + [str(e) for e in raised], tls.used) == []

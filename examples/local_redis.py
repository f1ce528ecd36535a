"""Throwaway Redis deployments on loopback, for the demo, the benchmark and the tests: one
server (with a password, ACL users or TLS if asked), a cluster of primaries (each with
replicas if asked), and a primary with one replica watched by Sentinel. Every process
listens on 127.0.0.1 only, keeps its files in a temporary folder and is stopped by its PID.

    with LocalServer() as server:
        client = server.client()               # redis.Redis
    with LocalServer(tls=True) as server:      # TLS only, client certificates required
        client = server.client()               # with the throwaway CA's client certificate
    with LocalCluster(primaries=3) as cluster:
        client = cluster.client()              # redis.cluster.RedisCluster
    with LocalSentinel(sentinels=3) as group:
        client = group.sentinel().master_for(group.name)

    python examples/local_redis.py             # one server until SIGTERM: prints "PORT PID"
"""

from __future__ import annotations

import contextlib
import ctypes
import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass, field

import redis
from redis.cluster import ClusterNode, RedisCluster
from redis.sentinel import Sentinel

HOST = "127.0.0.1"
SLOTS = 16384


def free_port() -> int:
    with socket.socket() as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_until(check, what: str, timeout: float = 20.0, every: float = 0.05):
    """Calls check() until it returns something true (errors count as not yet); returns that."""
    deadline = time.monotonic() + timeout
    last: Exception | None = None
    while time.monotonic() < deadline:
        try:
            result = check()
            if result:
                return result
        except (redis.exceptions.RedisError, OSError) as err:
            last = err
        time.sleep(every)
    raise RuntimeError(f"timed out after {timeout:g}s waiting for {what}"
                       + (f" (last error: {last})" if last else ""))


def _binary(name: str, package: str = "redis-server (scripts/setup.sh does this)") -> str:
    path = shutil.which(name)
    if path is None:
        raise RuntimeError(f"{name} not found on PATH: install Debian's {package}")
    return path


@dataclass
class Node:
    """One redis-server (or sentinel) process that we started (or, proc None, someone else did)."""
    port: int
    proc: subprocess.Popen | None
    bus_port: int | None = None
    id: str = ""  # cluster node id
    connect: dict = field(default_factory=dict)  # what client() needs: password, TLS files
    host = HOST

    @property
    def pid(self) -> int:
        return self.proc.pid

    @property
    def address(self) -> tuple[str, int]:
        return HOST, self.port

    def client(self, **kwargs) -> redis.Redis:
        return redis.Redis(**{"host": HOST, "port": self.port, "socket_timeout": 5, **self.connect,
                              **kwargs})

    def alive(self) -> bool:
        return self.proc.poll() is None

    def kill(self, sig: int = signal.SIGKILL) -> None:
        """Stops the process by its PID (SIGKILL: as a crash, nothing is flushed)."""
        if self.alive():
            os.kill(self.proc.pid, sig)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                os.kill(self.proc.pid, signal.SIGKILL)
                self.proc.wait()


def _spawn(args: list[str], port: int, folder: str, popen: dict | None = None, **extra) -> Node:
    log = open(os.path.join(folder, f"{port}.log"), "wb")
    proc = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, cwd=folder, **(popen or {}))
    log.close()
    node = Node(port, proc, **extra)
    try:
        wait_until(lambda: node.alive() and node.client().ping() or _exited(node, folder),
                   f"the server on port {port}", timeout=10)
    except BaseException:
        node.kill()
        raise
    return node


def _exited(node: Node, folder: str) -> bool:
    if not node.alive():
        with open(os.path.join(folder, f"{node.port}.log"), errors="replace") as f:
            raise RuntimeError(f"server on port {node.port} exited: {f.read()[-2000:]}")
    return False


def _wait_replicating(node: Node) -> None:
    wait_until(lambda: node.client().info("replication").get("master_link_status") == "up",
               f"the replica on port {node.port} to sync")


def _server_args(port: int, folder: str, *more: str) -> list[str]:
    return [_binary("redis-server"), "--port", str(port), "--bind", HOST, "--save", "",
            "--appendonly", "no", "--repl-diskless-sync-delay", "0", "--dir", folder, "--loglevel", "warning", *more]


class _Deployment:
    """Processes in a temporary folder, started by _start(*args), all stopped by PID on stop()
    or at the with-block's end (or when the start fails)."""

    def __init__(self, *args) -> None:
        self.folder = tempfile.mkdtemp(prefix=f"{type(self).__name__.lower()}-")
        self.nodes: list[Node] = []
        try:
            self._start(*args)
        except BaseException:
            self.stop()
            raise

    def stop(self) -> None:
        for node in self.nodes:
            node.kill(signal.SIGTERM)
        shutil.rmtree(self.folder, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc) -> None:
        self.stop()

    @property
    def version(self) -> str:
        live = next(n for n in self.nodes if n.alive())
        return live.client().info("server")["redis_version"]


def _die_with_parent() -> None:
    """Runs in the server's child process before exec: SIGTERM when its parent dies."""
    try:
        ctypes.CDLL(None).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except Exception:
        pass


@dataclass(frozen=True)
class Tls:
    """PEM files of a throwaway certificate authority and of the two certificates that it
    signed: the server's (for 127.0.0.1) and a client's."""
    ca: str
    server_cert: str
    server_key: str
    client_cert: str
    client_key: str

    def client_kwargs(self) -> dict:
        """redis-py's options for a TLS connection with the client certificate."""
        return {"ssl": True, "ssl_ca_certs": self.ca, "ssl_certfile": self.client_cert,
                "ssl_keyfile": self.client_key}


_EXTENSIONS = """[req]
distinguished_name = dn
[dn]
[ca]
basicConstraints = critical, CA:TRUE
keyUsage = critical, keyCertSign
subjectKeyIdentifier = hash
[server]
subjectAltName = IP:127.0.0.1
authorityKeyIdentifier = keyid
[client]
authorityKeyIdentifier = keyid
"""


def make_tls(folder: str) -> Tls:
    """A CA and the server's and a client's certificates, made in `folder` with the openssl
    command (P-256 keys, valid for two days, with the extensions that the strict checks of
    Python 3.13 and later ask for)."""
    openssl, conf = _binary("openssl", "openssl"), os.path.join(folder, "tls.cnf")
    with open(conf, "w") as f:
        f.write(_EXTENSIONS)

    def run(*args: str) -> None:
        subprocess.run([openssl, *args], cwd=folder, check=True, capture_output=True)

    key = ["-nodes", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-config", conf]
    run("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.crt", "-days", "2",
        "-subj", "/CN=throwaway CA", "-extensions", "ca")
    for serial, name in enumerate(["server", "client"], 1):
        run("req", "-new", *key, "-keyout", f"{name}.key", "-out", f"{name}.csr",
            "-subj", f"/CN={name}")
        run("x509", "-req", "-in", f"{name}.csr", "-CA", "ca.crt", "-CAkey", "ca.key",
            "-set_serial", str(serial), "-days", "2", "-out", f"{name}.crt",
            "-extfile", conf, "-extensions", name)
    path = lambda name: os.path.join(folder, name)  # noqa: E731
    return Tls(path("ca.crt"), path("server.crt"), path("server.key"), path("client.crt"),
               path("client.key"))


class LocalServer(_Deployment):
    """One redis-server on `port` (default: a free one). `options` are more redis-server
    arguments ("--requirepass", password; "--aclfile", path), `connect` the redis-py options
    that its own clients need (client(), the start-up check): a username, a password.

    tls=True: TLS only, on `port`, client certificates required; a throwaway CA and the
    certificates (`tls`, a Tls) are made at each start. own_session: the server runs in a
    session of its own, so that a terminal's Ctrl-C reaches the caller only.
    die_with_parent: SIGTERM when the process that started it dies. cores: the CPUs that it
    may run on. stop() stops it; start() starts it again on the same port."""

    def __init__(self, *options: str, port: int = 0, connect: dict | None = None,
                 tls: bool = False, own_session: bool = False, die_with_parent: bool = False,
                 cores: set[int] | None = None):
        self.port, self.options, self.connect = port or free_port(), options, connect or {}
        self.use_tls, self.tls, self.cores = tls, None, cores
        self.popen = {"start_new_session": own_session,
                      "preexec_fn": _die_with_parent if die_with_parent else None}
        super().__init__()

    def start(self) -> None:
        os.makedirs(self.folder, exist_ok=True)
        more, connect = list(self.options), dict(self.connect)
        if self.use_tls:
            self.tls = make_tls(self.folder)
            # The later --port 0 wins: no plain port.
            more += ["--port", "0", "--tls-port", str(self.port), "--tls-cert-file",
                     self.tls.server_cert, "--tls-key-file", self.tls.server_key,
                     "--tls-ca-cert-file", self.tls.ca, "--tls-auth-clients", "yes"]
            connect.update(self.tls.client_kwargs())
        self.nodes = [_spawn(_server_args(self.port, self.folder, *more), self.port,
                             self.folder, self.popen, connect=connect)]
        if self.cores:
            os.sched_setaffinity(self.pid, self.cores)

    _start = start
    host = HOST

    @property
    def address(self) -> tuple[str, int]:
        return HOST, self.port

    @property
    def pid(self) -> int:
        return self.nodes[-1].pid

    def client(self, **kwargs) -> redis.Redis:
        return self.nodes[-1].client(**kwargs)


class LocalCluster(_Deployment):
    """A Redis Cluster of `primaries` primaries, each with `replicas` replicas; slots split
    evenly. A node is judged failing after `node_timeout_ms`, and a replica then takes over
    its primary's slots."""

    def __init__(self, primaries: int = 3, replicas: int = 0, node_timeout_ms: int = 2000):
        self.primaries: list[Node] = []
        self.replicas: dict[str, list[Node]] = {}  # by the primary's node id
        super().__init__(primaries, replicas, node_timeout_ms)

    def _node(self, timeout_ms: int) -> Node:
        port, bus = free_port(), free_port()
        node = _spawn(_server_args(port, self.folder, "--cluster-enabled", "yes",
                                   "--cluster-port", str(bus),
                                   "--cluster-config-file", f"nodes-{port}.conf",
                                   "--cluster-node-timeout", str(timeout_ms)),
                      port, self.folder, bus_port=bus)
        node.id = node.client().execute_command("CLUSTER", "MYID").decode()
        self.nodes.append(node)
        return node

    def _start(self, primaries: int, replicas: int, timeout_ms: int) -> None:
        self.primaries = [self._node(timeout_ms) for _ in range(primaries)]
        for i, node in enumerate(self.primaries):
            first, last = i * SLOTS // primaries, (i + 1) * SLOTS // primaries - 1
            node.client().execute_command("CLUSTER", "ADDSLOTSRANGE", first, last)
        followers = [self._node(timeout_ms) for _ in range(primaries * replicas)]
        head = self.primaries[0].client()
        for node in self.nodes[1:]:
            head.execute_command("CLUSTER", "MEET", HOST, node.port, node.bus_port)
        for node in self.nodes:  # everyone knows everyone
            wait_until(lambda n=node: n.client().execute_command("CLUSTER", "NODES")
                       .count(b"\n") >= len(self.nodes) and b"handshake" not in
                       n.client().execute_command("CLUSTER", "NODES"), "the nodes to meet")
        for i, node in enumerate(followers):
            primary = self.primaries[i % primaries]
            node.client().execute_command("CLUSTER", "REPLICATE", primary.id)
            self.replicas.setdefault(primary.id, []).append(node)
        for node in followers:
            _wait_replicating(node)
        self.wait_ready()

    def wait_ready(self, timeout: float = 20.0) -> None:
        """Until every live node reports the cluster ok with every slot served."""
        def ok(node: Node) -> bool:
            info = node.client().execute_command("CLUSTER", "INFO")
            return b"cluster_state:ok" in info and b"cluster_slots_ok:16384" in info
        for node in self.nodes:
            if node.alive():
                wait_until(lambda n=node: ok(n), "the cluster to be ok", timeout)

    @property
    def startup_nodes(self) -> list[ClusterNode]:
        return [ClusterNode(HOST, n.port) for n in self.primaries]

    def client(self, **kwargs) -> RedisCluster:
        return RedisCluster(startup_nodes=self.startup_nodes, **kwargs)

    def owner(self, key: str) -> Node:
        """The node that serves the key's slot now."""
        for node in self.nodes:
            if not node.alive():
                continue
            slot = node.client().execute_command("CLUSTER", "KEYSLOT", key)
            for first, last, (host, port, *_), *_ in node.client().execute_command(
                    "CLUSTER", "SLOTS"):
                if first <= slot <= last:
                    return next(n for n in self.nodes if n.port == port)
        raise RuntimeError("no live node")


class LocalSentinel(_Deployment):
    """One primary, one replica, and `sentinels` Sentinels watching them under `name`
    (quorum: a majority). The primary counts as down after `down_after_ms` without a reply."""

    def __init__(self, sentinels: int = 1, down_after_ms: int = 1000, name: str = "zarn"):
        self.sentinels, self.down_after_ms, self.name = sentinels, down_after_ms, name
        super().__init__()

    def _start(self) -> None:
        port = free_port()
        self.primary = _spawn(_server_args(port, self.folder), port, self.folder)
        port = free_port()
        self.replica = _spawn(_server_args(port, self.folder, "--replicaof", HOST,
                                           str(self.primary.port)), port, self.folder)
        self.nodes += [self.primary, self.replica]
        _wait_replicating(self.replica)
        quorum = self.sentinels // 2 + 1
        sentinel = shutil.which("redis-sentinel")
        self.watchers = []
        for _ in range(self.sentinels):
            port = free_port()
            conf = os.path.join(self.folder, f"sentinel-{port}.conf")
            with open(conf, "w") as f:
                f.write(f"port {port}\nbind {HOST}\ndir {self.folder}\n"
                        f"sentinel monitor {self.name} {HOST} {self.primary.port} {quorum}\n"
                        f"sentinel down-after-milliseconds {self.name} {self.down_after_ms}\n"
                        f"sentinel failover-timeout {self.name} 5000\n"
                        f"sentinel parallel-syncs {self.name} 1\n")
            # Debian's redis-sentinel is the same binary started under another name.
            args = [sentinel, conf] if sentinel else [_binary("redis-server"), conf, "--sentinel"]
            node = _spawn(args, port, self.folder)
            self.nodes.append(node)
            self.watchers.append(node)
        for node in self.watchers:  # each sees the replica and every other sentinel
            wait_until(lambda n=node: len(n.client().execute_command(
                "SENTINEL", "REPLICAS", self.name)) == 1 and len(n.client().execute_command(
                    "SENTINEL", "SENTINELS", self.name)) == self.sentinels - 1,
                "the sentinels to see the replica and each other")

    def sentinel(self, **kwargs) -> Sentinel:
        return Sentinel([n.address for n in self.watchers], **kwargs)

    def master_address(self) -> tuple[str, int]:
        """Where the sentinels say the primary is now."""
        host, port = self.watchers[0].client().execute_command(
            "SENTINEL", "GET-MASTER-ADDR-BY-NAME", self.name)
        return host.decode(), int(port)


def cluster_for_demo(node: str) -> tuple[LocalCluster | None, str, int, str]:
    """The demo's --cluster: a throwaway cluster of three primaries (node "") or the given
    node ("host:port"). Returns the cluster to stop (or None), a node's host and port, and
    a line saying where the demo runs."""
    if node:
        host, port = node.rsplit(":", 1)
        return None, host, int(port), f"the Redis Cluster of {node}"
    cluster = LocalCluster(primaries=3)
    host, port = cluster.primaries[0].address
    pids = ", ".join(str(n.pid) for n in cluster.nodes)
    return cluster, host, port, f"throwaway Redis Cluster of 3 primaries on {host} (pids {pids})"


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, signal.default_int_handler)
    with LocalServer(die_with_parent=True) as server, contextlib.suppress(KeyboardInterrupt):
        print(server.port, server.pid, flush=True)
        signal.pause()

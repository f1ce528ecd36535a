"""Throwaway Redis deployments on loopback, for the demo, the benchmark and the tests: a
cluster of primaries (each with replicas if asked), and a primary with one replica watched
by Sentinel. Every process listens on 127.0.0.1 only, keeps its files in a temporary folder
and is stopped by its PID.

    with LocalCluster(primaries=3) as cluster:
        client = cluster.client()              # redis.cluster.RedisCluster
    with LocalSentinel(sentinels=3) as group:
        client = group.sentinel().master_for(group.name)
"""

from __future__ import annotations

import os
import shutil
import signal
import socket
import subprocess
import tempfile
import time
from dataclasses import dataclass

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


def _binary(name: str) -> str:
    path = shutil.which(name)
    if path is None:
        raise RuntimeError(f"{name} not found on PATH: install Debian's redis-server "
                           "(scripts/setup.sh does this)")
    return path


@dataclass
class Node:
    """One redis-server (or sentinel) process that we started."""
    port: int
    proc: subprocess.Popen
    bus_port: int | None = None
    id: str = ""  # cluster node id

    @property
    def pid(self) -> int:
        return self.proc.pid

    @property
    def address(self) -> tuple[str, int]:
        return HOST, self.port

    def client(self, **kwargs) -> redis.Redis:
        return redis.Redis(host=HOST, port=self.port, socket_timeout=5, **kwargs)

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


def _spawn(args: list[str], port: int, folder: str, **extra) -> Node:
    log = open(os.path.join(folder, f"{port}.log"), "wb")
    proc = subprocess.Popen(args, stdout=log, stderr=subprocess.STDOUT, cwd=folder)
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
    """Processes in a temporary folder, all stopped by PID on stop() or at the with-block's end."""

    def __init__(self) -> None:
        self.folder = tempfile.mkdtemp(prefix=f"{type(self).__name__.lower()}-")
        self.nodes: list[Node] = []

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


class LocalCluster(_Deployment):
    """A Redis Cluster of `primaries` primaries, each with `replicas` replicas; slots split
    evenly. A node is judged failing after `node_timeout_ms`, and a replica then takes over
    its primary's slots."""

    def __init__(self, primaries: int = 3, replicas: int = 0, node_timeout_ms: int = 2000):
        super().__init__()
        self.primaries: list[Node] = []
        self.replicas: dict[str, list[Node]] = {}  # by the primary's node id
        try:
            self._start(primaries, replicas, node_timeout_ms)
        except BaseException:
            self.stop()
            raise

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
        super().__init__()
        self.sentinels, self.down_after_ms, self.name = sentinels, down_after_ms, name
        try:
            self._start()
        except BaseException:
            self.stop()
            raise

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

"""bench.py --cluster: figures 2, 3 and 4 with each instance moved onto redis-py's RedisCluster, against
that client used directly, on a throwaway cluster or a given node's (only the benchmark's keys touched)."""

import os

import redis
from redis.cluster import RedisCluster

import harness
from figures import Bench
from local_redis import cluster_for_demo  # examples/, on sys.path through harness

FIGURES = ["2", "3", "4"]


class ClusterServer:
    """A cluster to measure on: started here (node None, as the demo's) or the one that `node`
    ("host:port") belongs to. host and port name one node; admin is a RedisCluster."""

    def __init__(self, node: str | None) -> None:
        self.local, self.host, self.port, _ = cluster_for_demo(node or "")
        for n in self.local.nodes if self.local and harness.PINNED else []:
            os.sched_setaffinity(n.pid, harness.PINNED[1])
        self.admin = RedisCluster(host=self.host, port=self.port, socket_timeout=30)
        version = redis.Redis(host=self.host, port=self.port).info("server")["redis_version"]
        # The report's stamp names the deployment with the version.
        self.version = f"{version}, a Redis Cluster of {len(self.admin.get_primaries())} " \
                       f"primaries ({'throwaway, on loopback' if self.local else node})"

    def stop(self) -> None:
        self.admin.close()
        if self.local:
            self.local.stop()


class ClusterBench(Bench):
    """Bench with clients, instances, fill and flush made for a cluster."""
    peer = "RedisCluster"

    def client(self, workers: int = 2):
        return RedisCluster(host=self.server.host, port=self.server.port, max_connections=max(10, 5 * workers))

    def wrapper(self, workers: int = 2):
        w = super().wrapper(workers=workers)
        w._redis_client = self.client(workers)
        return w

    def fill(self, keys: list[str], value) -> None:
        self.server.admin.mset_nonatomic(dict.fromkeys(keys, value))

    def flush(self) -> None:  # every key that the figures write, and only those
        keys = list(self.server.admin.scan_iter(match="bench:*", count=1000))
        for i in range(0, len(keys), 1000):
            self.server.admin.delete(*keys[i:i + 1000])

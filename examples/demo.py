"""The kit's main job in miniature: a camera producer hands frame records to a consumer
through Redis with RedisWrapper.

The producer writes numbered synthetic frames in background-writer mode (it never waits on
Redis); a consumer thread reads the newest frame back. Midway the server is stalled for a
moment (writes paused) so that the drop-oldest policy shows: frames lost are the gaps in the
stored sequence. A live line shows progress; a summary table ends the run; the demo's keys
are removed and a server that the demo started is stopped.

    python examples/demo.py                    # throwaway server, 10 s at 30 fps
    python examples/demo.py --host 10.0.0.5    # an existing server ($REDIS_HOST too)
    python examples/demo.py --cluster          # a throwaway Redis Cluster of 3 primaries
    python examples/demo.py --cluster 10.0.0.5:7000   # the cluster of an existing node
"""

import argparse
import base64
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import threading
import time

import redis
import redis.cluster

from zarn_sdk.redis.redis_wrapper import RedisWrapper


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--host", help="Redis host (default: $REDIS_HOST, else a throwaway server)")
    p.add_argument("--port", type=int, help="Redis port (default 6379 for a given host)")
    p.add_argument("--seconds", type=float, default=10.0, help="how long to produce (10)")
    p.add_argument("--fps", type=float, default=30.0, help="frames per second (30)")
    p.add_argument("--ttl", type=int, default=30, help="time-to-live of each frame, s (30)")
    p.add_argument("--workers", type=int, default=2, help="sizes the pool and queue (2)")
    p.add_argument("--stall", type=float, default=1.0,
                   help="pause the server's writes this long midway, s (1.0; 0: none)")
    p.add_argument("--camera", default="cam-01", help="camera id in the keys (cam-01)")
    p.add_argument("--cluster", nargs="?", const="", metavar="HOST:PORT",
                   help="run on a Redis Cluster: a throwaway one of 3 primaries, or the one "
                        "of the node given (docs/cluster.md)")
    return p.parse_args()


class ThrowawayServer:
    """redis-server on a free loopback port, without persistence, stopped by its PID."""

    def __init__(self):
        binary = shutil.which("redis-server")
        if binary is None:
            sys.exit("redis-server is not installed: run scripts/demo.sh, or give --host")
        with socket.socket() as s:
            s.bind(("127.0.0.1", 0))
            self.port = s.getsockname()[1]
        self.proc = subprocess.Popen(
            [binary, "--port", str(self.port), "--bind", "127.0.0.1",
             "--save", "", "--appendonly", "no"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 10
        while True:
            try:
                redis.Redis(host="127.0.0.1", port=self.port).ping()
                return
            except redis.exceptions.ConnectionError:
                if time.monotonic() > deadline or self.proc.poll() is not None:
                    self.stop()
                    sys.exit("could not start redis-server")
                time.sleep(0.05)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
            self.proc.wait(timeout=10)


def make_frame(seq: int, camera: str, thumbnail: str) -> dict:
    """A realistic frame record: ids, timestamps, detections and a small thumbnail."""
    rnd = random.Random(seq)
    detections = [
        {
            "label": rnd.choice(["person", "car", "bicycle", "dog"]),
            "confidence": round(rnd.uniform(0.5, 0.99), 3),
            "bbox": [rnd.randint(0, 1200), rnd.randint(0, 600), rnd.randint(20, 300),
                     rnd.randint(20, 300)],
            "track_id": rnd.randint(1, 50),
        }
        for _ in range(rnd.randint(0, 6))
    ]
    return {
        "seq": seq,
        "camera_id": camera,
        "frame_id": f"{camera}-{seq:08d}",
        "captured_at": time.time(),
        "resolution": [1280, 720],
        "detections": detections,
        "thumbnail_jpeg_b64": thumbnail,
    }


class Stats:
    def __init__(self):
        self.lock = threading.Lock()
        self.written = 0
        self.newest_written = -1
        self.read = 0
        self.newest_read = -1
        self.latencies_ms: list[float] = []


def produce(client: RedisWrapper, args, prefix: str, stats: Stats, stop: threading.Event):
    thumbnail = base64.b64encode(random.Random(0).randbytes(1500)).decode()
    period = 1.0 / args.fps
    next_at = time.monotonic()
    seq = 0
    end = time.monotonic() + args.seconds
    while time.monotonic() < end and not stop.is_set():
        client.write_zarn_data(make_frame(seq, args.camera, thumbnail), f"{prefix}{seq:08d}",
                               args.ttl)
        with stats.lock:
            stats.written += 1
            stats.newest_written = seq
        seq += 1
        next_at += period
        time.sleep(max(0.0, next_at - time.monotonic()))


def consume(client: RedisWrapper, prefix: str, stats: Stats, stop: threading.Event):
    """Reads the newest frame the producer has handed over, once it has been stored."""
    while not stop.is_set():
        with stats.lock:
            newest = stats.newest_written
        if newest > stats.newest_read:
            frame = client.read_zarn_data(f"{prefix}{newest:08d}")
            if frame is not None:
                latency = (time.time() - frame["captured_at"]) * 1000
                with stats.lock:
                    stats.read += 1
                    stats.newest_read = frame["seq"]
                    stats.latencies_ms.append(latency)
                continue
        time.sleep(0.002)


def stored_sequence(client: RedisWrapper, prefix: str) -> list[int]:
    """Sequence numbers of the frames now stored, in order."""
    return sorted(int(k.rsplit(":", 1)[1]) for k in client.scan_keys(prefix + "*"))


def gaps(stored: list[int]) -> int:
    """Frames missing below the newest stored one: the queue is first in, first out, so
    these were dropped, not merely still waiting."""
    return stored[-1] + 1 - len(stored) if stored else 0


def stall(raw: redis.Redis, args, stop: threading.Event):
    """Pauses the server's writes for --stall seconds halfway through the run."""
    if args.stall <= 0 or stop.wait(args.seconds / 2):
        return
    raw.execute_command("CLIENT", "PAUSE", int(args.stall * 1000), "WRITE")


def main():
    args = parse_args()
    host = args.host or os.environ.get("REDIS_HOST")
    server = None
    if args.cluster is not None:
        import local_redis

        server, host, port, where = local_redis.cluster_for_demo(args.cluster)
    elif host is None and args.port is None:
        server = ThrowawayServer()
        host, port = "127.0.0.1", server.port
        where = f"throwaway redis-server on {host}:{port} (pid {server.proc.pid})"
    else:
        host = host or "localhost"
        port = args.port or 6379
        where = f"redis server at {host}:{port}"
    prefix = f"demo:{args.camera}:frame:"
    print(f"demo: {where}; {args.seconds:g} s at {args.fps:g} fps, ttl {args.ttl} s, "
          f"workers {args.workers}, stall {args.stall:g} s midway")

    try:
        raw = redis.Redis(host=host, port=port)
        client = RedisWrapper(host=host, port=port, workers=args.workers)
        if args.cluster is not None:  # every method uses the client it finds there
            raw = redis.cluster.RedisCluster(host=host, port=port)
            client._redis_client = redis.cluster.RedisCluster(host=host, port=port)
        stats, stop = Stats(), threading.Event()
        threads = [
            threading.Thread(target=consume, args=(client, prefix, stats, stop), daemon=True),
            threading.Thread(target=stall, args=(raw, args, stop), daemon=True),
        ]
        for t in threads:
            t.start()
        producer = threading.Thread(target=produce, args=(client, args, prefix, stats, stop))
        producer.start()
        started = time.monotonic()
        while producer.is_alive():
            producer.join(0.25)
            stored = stored_sequence(client, prefix)
            lat = stats.latencies_ms[-50:]
            print(f"\r  written {stats.written:6d} | stored {len(stored):6d} | "
                  f"read {stats.read:6d} | lost {gaps(stored):5d} | "
                  f"read latency {statistics.median(lat) if lat else 0:7.2f} ms",
                  end="", flush=True)
        # Let the worker store what is still queued, then stop the consumer.
        if client._queue is not None:
            client._queue.join()
        time.sleep(0.2)
        stop.set()
        for t in threads:
            t.join(5)
        elapsed = time.monotonic() - started
        keys = client.scan_keys(prefix + "*")
        stored = stored_sequence(client, prefix)
        lost = gaps(stored)
        lat = sorted(stats.latencies_ms) or [0.0]
        print("\n")
        rows = [
            ("frames written", f"{stats.written}"),
            ("frames stored", f"{len(stored)}"),
            ("frames lost (queue full, oldest dropped)", f"{lost}"),
            ("newest frame stored", f"{stored[-1] if stored else '-'}"),
            ("frames read by the consumer", f"{stats.read}"),
            ("read latency median / p95 / max (ms)",
             f"{statistics.median(lat):.2f} / {lat[int(0.95 * (len(lat) - 1))]:.2f} / "
             f"{lat[-1]:.2f}"),
            ("producer rate (frames/s)", f"{stats.written / elapsed:.1f}"),
        ]
        width = max(len(r[0]) for r in rows)
        print("summary")
        print("-" * (width + 14))
        for name, value in rows:
            print(f"{name:<{width}}  {value:>10}")
        print("-" * (width + 14))
        removed = client.delete_many(keys)
        print(f"cleanup: removed {removed} demo keys")
    finally:
        if server is not None:
            server.stop()
            print("demo: throwaway redis-server stopped" if args.cluster is None
                  else "demo: throwaway cluster stopped")


if __name__ == "__main__":
    main()

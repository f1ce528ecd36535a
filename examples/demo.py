"""The kit's main job in miniature: a camera producer hands frame records to a consumer
through Redis with RedisWrapper.

The producer writes numbered synthetic frames in background-writer mode (it never waits on
Redis); a consumer thread reads the newest frame back. Midway the server's writes are paused
for a moment so that the drop-oldest policy shows: frames lost are the gaps in the stored
sequence. A live line shows progress and a summary table ends the run, after Ctrl-C too
(exit status 130). The demo's keys are removed and a server that it started is stopped.

Without --host, --port or $REDIS_HOST the demo starts a throwaway redis-server on a free
loopback port. A server that is given is checked once before anything starts: when it does
not answer, the demo prints one line and exits with status 2.

examples:
  python examples/demo.py                    throwaway server, 10 s at 30 fps
  python examples/demo.py --host 10.0.0.5    an existing server ($REDIS_HOST too)
  python examples/demo.py --seconds 3 --stall 0
  python examples/demo.py --cluster          a throwaway Redis Cluster of 3 primaries
  python examples/demo.py --cluster 10.0.0.5:7000   the cluster of an existing node
"""

import argparse
import base64
import os
import random
import statistics
import sys
import threading
import time

import redis
import redis.cluster
from redis.backoff import NoBackoff
from redis.retry import Retry

import local_redis  # examples/local_redis.py: throwaway servers, clusters and sentinels
from zarn_sdk.redis.redis_wrapper import RedisWrapper

EXIT_UNREACHABLE, EXIT_INTERRUPTED = 2, 130


def parse_args(argv=None):
    p = argparse.ArgumentParser(prog="demo", description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
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
    return p.parse_args(argv)


def throwaway_server() -> local_redis.LocalServer:
    """redis-server on a free loopback port, in a session of its own so that the terminal's
    Ctrl-C reaches the demo only."""
    try:
        return local_redis.LocalServer(own_session=True)
    except RuntimeError as err:  # not installed, or it would not start
        raise SystemExit(f"demo: {err}; or give --host") from None


def unreachable(host: str, port: int, timeout: float = 2.0) -> str | None:
    """Why no Redis server answers PING at host:port within `timeout` (one try, no retries);
    None when one does."""
    try:
        with redis.Redis(host=host, port=port, socket_connect_timeout=timeout,
                         socket_timeout=timeout, retry=Retry(NoBackoff(), 0)) as r:
            r.ping()
    except redis.exceptions.RedisError as e:
        return str(e) or type(e).__name__
    return None


def redis_client(args, host: str, port: int, **kwargs) -> redis.Redis:
    """redis-py's client for the server or, with --cluster, for the cluster of that node."""
    if args.cluster is not None:
        return redis.cluster.RedisCluster(host=host, port=port, **kwargs)
    return redis.Redis(host=host, port=port, **kwargs)


def open_client(args, host: str, port: int) -> RedisWrapper:
    """The demo's client, with a socket timeout (redis-py's own option, on the pool that the
    client builds) so that a server that stops answering cannot hang it: longer than the
    stall, during which the worker's SET waits."""
    client = RedisWrapper(host=host, port=port, workers=args.workers)
    timeout = args.stall + 5.0
    if args.cluster is not None:  # every method uses the client it finds there
        client._redis_client = redis_client(args, host, port, socket_timeout=timeout,
                                            socket_connect_timeout=timeout)
    else:
        client._redis_client.connection_pool.connection_kwargs.update(
            socket_timeout=timeout, socket_connect_timeout=timeout)
    return client


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
        stop.wait(max(0.0, next_at - time.monotonic()))


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
        stop.wait(0.002)


def wait_stored(client: RedisWrapper, key: str, timeout: float) -> bool:
    """Waits until the record queued last for `key` can be read back: the queue is first in,
    first out, so every record queued before it has then been written or dropped."""
    deadline = time.monotonic() + timeout
    while client.read_data(key) is None:
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


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


def print_summary(client: RedisWrapper, prefix: str, stats: Stats, elapsed: float) -> None:
    stored = stored_sequence(client, prefix)
    lat = sorted(stats.latencies_ms) or [0.0]
    rows = [
        ("frames written", f"{stats.written}"),
        ("frames stored", f"{len(stored)}"),
        ("frames lost (queue full, oldest dropped)", f"{gaps(stored)}"),
        ("newest frame stored", f"{stored[-1] if stored else '-'}"),
        ("frames read by the consumer", f"{stats.read}"),
        ("read latency median / p95 / max (ms)",
         f"{statistics.median(lat):.2f} / {lat[int(0.95 * (len(lat) - 1))]:.2f} / "
         f"{lat[-1]:.2f}"),
        ("producer rate (frames/s)", f"{stats.written / max(elapsed, 1e-9):.1f}"),
    ]
    width = max(len(r[0]) for r in rows)
    print("\n\nsummary")
    print("-" * (width + 14))
    for name, value in rows:
        print(f"{name:<{width}}  {value:>10}")
    print("-" * (width + 14))


def run(client: RedisWrapper, raw: redis.Redis, args, prefix: str) -> int:
    """Produces and consumes; prints the summary and removes the demo's keys, also when
    Ctrl-C ends the run early. Returns the exit status."""
    stats, stop = Stats(), threading.Event()
    threads = [threading.Thread(target=consume, args=(client, prefix, stats, stop), daemon=True),
               threading.Thread(target=stall, args=(raw, args, stop), daemon=True)]
    producer = threading.Thread(target=produce, args=(client, args, prefix, stats, stop),
                                daemon=True)
    started = time.monotonic()
    status = 0
    try:
        for t in [*threads, producer]:
            t.start()
        while producer.is_alive():
            producer.join(0.25)
            stored = stored_sequence(client, prefix)
            lat = stats.latencies_ms[-50:]
            print(f"\r  written {stats.written:6d} | stored {len(stored):6d} | "
                  f"read {stats.read:6d} | lost {gaps(stored):5d} | "
                  f"read latency {statistics.median(lat) if lat else 0:7.2f} ms",
                  end="", flush=True)
        if stats.newest_written >= 0 and not wait_stored(
                client, f"{prefix}{stats.newest_written:08d}", args.stall + 10):
            print("\ndemo: the newest frame was not stored within "
                  f"{args.stall + 10:g} s (see the log lines above)")
    except KeyboardInterrupt:
        print("\ndemo: interrupted (Ctrl-C): the summary so far")
        status = EXIT_INTERRUPTED
    stop.set()
    for t in [*threads, producer]:
        t.join(5)
    print_summary(client, prefix, stats, time.monotonic() - started)
    removed = client.delete_many(client.scan_keys(prefix + "*"))
    print(f"cleanup: removed {removed} demo keys")
    return status


def main(argv=None) -> int:
    args = parse_args(argv)
    host = args.host or os.environ.get("REDIS_HOST")
    server = None
    try:
        if args.cluster is not None:
            server, host, port, where = local_redis.cluster_for_demo(args.cluster)
        elif host is None and args.port is None:
            server = throwaway_server()
            host, port = server.address
            where = f"throwaway redis-server on {host}:{port} (pid {server.pid})"
        else:
            host, port = host or "localhost", args.port or 6379
            why = unreachable(host, port)
            if why is not None:
                print(f"demo: no Redis server answers at {host}:{port} ({why}); start one, or "
                      "leave out --host, --port and $REDIS_HOST for a throwaway server",
                      file=sys.stderr)
                return EXIT_UNREACHABLE
            where = f"redis server at {host}:{port}"
        print(f"demo: {where}; {args.seconds:g} s at {args.fps:g} fps, ttl {args.ttl} s, "
              f"workers {args.workers}, stall {args.stall:g} s midway")
        with redis_client(args, host, port, socket_timeout=args.stall + 5.0) as raw:
            return run(open_client(args, host, port), raw, args, f"demo:{args.camera}:frame:")
    except KeyboardInterrupt:  # before the run, or a second Ctrl-C during its summary
        print("\ndemo: interrupted (Ctrl-C)")
        return EXIT_INTERRUPTED
    finally:
        if server is not None:
            server.stop()
            print("demo: throwaway redis-server stopped" if args.cluster is None
                  else "demo: throwaway cluster stopped")


if __name__ == "__main__":
    sys.exit(main())

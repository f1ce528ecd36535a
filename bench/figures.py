"""The figures against a real redis-server: each runs the module side by side with redis-py and
orjson used directly, or with PyWrapper, in paired rounds. bench.py empties the server after each."""

import math
import queue
import threading
import time
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor

import orjson
import redis

from harness import Sample, compare, figure, paired, side_by_side, timed
from pywrapper import PyWrapper
from zarn_sdk.redis.redis_wrapper import RedisWrapper

TTL = 60
SIZES = {100: "100B", 1_000: "1KB", 10_000: "10KB", 100_000: "100KB", 1_000_000: "1MB"}
BURST = {100: 200, 1_000: 200, 10_000: 100, 100_000: 25, 1_000_000: 4}  # records per burst
THREADS = (1, 4, 16)


class Bench:
    """What the figures share: the server (None when only the own cost runs), the plan,
    clients built as the module builds its own, and a 1 KB frame record."""
    peer = "redis-py"  # the client that the direct figures compare with

    def __init__(self, server, rounds: int, icount_calls: int, cases: list[str]) -> None:
        self.server, self.rounds, self.calls, self.frame = server, rounds, 200, make_frame(1_000)
        self.icount_calls, self.cases = icount_calls, cases  # the own cost's
        self.rows: set[str] | None = None  # the rows of the running figure wanted; None: all

    def wants(self, *codes: str) -> bool:
        return self.rows is None or not self.rows.isdisjoint(codes)

    def client(self, workers: int = 2):
        return redis.StrictRedis(connection_pool=redis.ConnectionPool(
            host=self.server.host, port=self.server.port, max_connections=max(10, 5 * workers),
            decode_responses=False))

    def wrapper(self, cls=RedisWrapper, thread: bool = False, workers: int = 2):
        return cls(thread=thread, host=self.server.host, port=self.server.port, workers=workers)

    def fill(self, keys: list[str], value) -> None:
        self.server.admin.mset(dict.fromkeys(keys, value))

    def flush(self) -> None:
        self.server.admin.flushall()

    def direct(self, key: str, label: str, n: int, module, peer, prepare=None) -> dict:
        """module() and peer() each do n calls against the peer client; their rates, paired."""
        return row(key, label, self.peer, side_by_side(n, module, peer, self.rounds, prepare))


def make_frame(size: int) -> dict:
    """A frame record whose compact JSON is exactly `size` bytes (size >= 60)."""
    frame = {"camera_id": "cam-01", "seq": 0, "ts": 1733680000.125, "detections": [], "note": ""}
    det = {"label": "person", "score": 0.91, "bbox": [412, 218, 96, 240], "track": 17}
    while len(orjson.dumps(frame)) + len(orjson.dumps(det)) + 1 <= size:
        frame["detections"].append(dict(det, track=len(frame["detections"])))
    frame["note"] = "x" * (size - len(orjson.dumps(frame)))
    return frame


def row(key: str, label: str, vs: str, stats: dict, checked: bool = True) -> dict:
    """checked: the figure's goal applies to this row; otherwise it is reported only."""
    return {"key": key, "label": label, "vs": vs, "checked": checked, **stats}


def keys_of(prefix: str, n: int) -> list[str]:
    return [f"bench:{prefix}:{i}" for i in range(n)]


def set_loop(client, keys, frame):
    """The raw loop: orjson.dumps and set, per record."""
    def run(set_=client.set, dumps=orjson.dumps):
        for k in keys:
            set_(k, dumps(frame), ex=TTL)
    return run


def write_loop(w, keys, frame):
    def run(write=w.write_zarn_data):
        for k in keys:
            write(frame, k, TTL)
    return run


def burst(b: Bench, size: int) -> dict:
    """A burst of records queued on an instance whose queue holds them all, timed from the first
    write until its join() returns: the module's worker, PyWrapper's, and the raw set loop."""
    n, frame, keys = BURST[size], make_frame(size), keys_of("burst", BURST[size])
    mod, py, raw = b.wrapper(RedisWrapper, True, n), b.wrapper(PyWrapper, True, n), b.client()

    def drained(w):  # a worker that stops writing hangs the run until faulthandler ends it
        queue_burst = write_loop(w, keys, frame)
        return timed(n, lambda: (queue_burst(), w._queue.join()))

    try:
        return paired({"module": lambda: drained(mod), "python": lambda: drained(py),
                       "raw": lambda: timed(n, set_loop(raw, keys, frame))}, b.rounds)
    finally:
        mod._shutdown_executor()
        py._shutdown_executor()


@figure("0", "noise: the raw set loop against itself")
def fig0(b: Bench) -> list[dict]:
    one, two = (set_loop(b.client(), keys_of("aa", b.calls), b.frame) for _ in range(2))
    return [row("0", "raw set loop, two clients", "itself", side_by_side(b.calls, one, two, b.rounds), False)]


@figure("1", "background worker, burst of 200 x 1 KB until join()", goal=">= 0.99", rows=["1", "1h", "1m"])
def fig1(b: Bench) -> list[dict]:
    s = burst(b, 1_000)
    return [row(code, label, vs, compare(s[x], s[y]), code == "1m") for code, label, vs, x, y in (
        ("1", "worker, burst of 200 x 1 KB until join()", "raw loop", "module", "raw"),
        ("1h", "PyWrapper's worker, the same burst", "raw loop", "python", "raw"),
        ("1m", "worker, the same burst", "PyWrapper", "module", "python"))]


@figure("6", "background worker, bursts of 100 B / 1 KB / 10 KB / 100 KB / 1 MB", goal=">= 0.99",
        rows=[f"{k}/{name}" for k in ("6", "6m") for name in SIZES.values()])
def fig6(b: Bench) -> Iterator[dict]:
    for size, name in SIZES.items():
        if b.wants(f"6/{name}", f"6m/{name}"):
            s, label = burst(b, size), f"worker, {BURST[size]} x {name}"
            yield row(f"6/{name}", label, "raw loop", compare(s["module"], s["raw"]), False)
            yield row(f"6m/{name}", label, "PyWrapper", compare(s["module"], s["python"]))


@figure("2", "write_zarn_data, direct mode", goal=">= 0.97")
def fig2(b: Bench) -> list[dict]:
    keys = keys_of("direct", b.calls)
    return [b.direct("2", "write_zarn_data (1 KB) / orjson.dumps + set", b.calls,
                     write_loop(b.wrapper(), keys, b.frame), set_loop(b.client(), keys, b.frame))]


@figure("3", "read_zarn_data", goal=">= 0.97")
def fig3(b: Bench) -> list[dict]:
    keys = keys_of("read", b.calls)
    b.fill(keys, orjson.dumps(b.frame))
    w, client, loads = b.wrapper(), b.client(), orjson.loads
    return [b.direct("3", "read_zarn_data (1 KB) / get + orjson.loads", b.calls,
                     lambda: [w.read_zarn_data(k) for k in keys], lambda: [loads(client.get(k)) for k in keys])]


@figure("4", "write_data / read_data / delete_data / delete_many / scan_keys", goal=">= 0.97",
        rows=["4a", "4b", "4c", "4d", "4e"])
def fig4(b: Bench) -> list[dict]:
    w, c, n = b.wrapper(), b.client(), b.calls
    keys, text = keys_of("value", n), "v" * 1_000
    groups = [keys_of(f"many:{g}", 100) for g in range(20)]

    def each(fn, *args):
        return lambda: [fn(k, *args) for k in keys]

    def filled(keys):
        return lambda: b.fill(keys, text)

    cases = [  # code, label, calls per block, module, peer, untimed before each block
        ("4a", "write_data (1 KB text) / set", n, each(w.write_data, text, TTL),
         lambda: [c.set(k, text, ex=TTL) for k in keys], None),
        ("4b", "read_data (1 KB) / get", n, each(w.read_data), each(c.get), filled(keys)),
        ("4c", "delete_data (existing key) / delete", n, each(w.delete_data), each(c.delete), filled(keys)),
        ("4d", "delete_many (100 existing keys) / delete(*keys)", len(groups),
         lambda: [w.delete_many(g) for g in groups], lambda: [c.delete(*g) for g in groups],
         filled([k for g in groups for k in g]))]
    rows = [b.direct(*case) for case in cases if b.wants(case[0])]
    if b.wants("4e"):
        b.flush()
        b.fill(keys_of("scan", 10_000) + keys_of("other", 1_000), "v")
        found = set()
        rows.append(b.direct("4e", "scan_keys (10,000 of 11,000 keys) / decoded scan_iter", 1,
                             lambda: found.add(len(w.scan_keys("bench:scan:*"))),
                             lambda: found.add(len([k.decode() for k in c.scan_iter(match="bench:scan:*")]))))
        if found != {10_000}:
            raise RuntimeError(f"scan found {sorted(found)} keys, not 10000")
    return rows


def python_write(q: queue.Queue, data, redis_key, ttl) -> bool:
    """The queue operations of a drop-oldest write, written directly in Python."""
    try:
        q.put_nowait((data, redis_key, ttl))
    except queue.Full:
        try:  # drop the oldest
            q.get_nowait()
            q.task_done()
        except Exception:
            pass
        q.put_nowait((data, redis_key, ttl))
    return True


@figure("5", "queued write_zarn_data on a full queue (server paused), caller's time", goal="<= 1.1")
def fig5(b: Bench) -> list[dict]:
    n, frame, key = 1000, b.frame, "bench:stalled"
    w, peer = b.wrapper(thread=True), queue.Queue(maxsize=2)  # both queues hold 2
    # CLIENT PAUSE ... WRITE (as long as the measurement) holds the worker's SET: the queue stays full.
    b.server.admin.execute_command("CLIENT", "PAUSE", int(60_000 + b.rounds * n * 0.1), "WRITE")
    try:
        for _ in range(3):  # the worker takes one record and hangs in its SET; two fill each queue
            w.write_zarn_data(frame, key, TTL)
            python_write(peer, frame, key, TTL)
            time.sleep(0.1)
        stats = side_by_side(n, lambda: [w.write_zarn_data(frame, key, TTL) for _ in range(n)],
                             lambda: [python_write(peer, frame, key, TTL) for _ in range(n)],
                             b.rounds, cost=True)
        if not w._queue.full():
            raise RuntimeError("figure 5: the queue drained, the server was not stalled")
    finally:
        b.server.admin.execute_command("CLIENT", "UNPAUSE")
        w._shutdown_executor()
    return [row("5", "caller's time per call, module / Python", "Python queue ops", stats)]


def threads(ops: int, loops: list) -> Sample:
    """Each loop in a thread of its own, all released together, timed until the last has ended."""
    start = threading.Barrier(len(loops) + 1)
    with ThreadPoolExecutor(len(loops)) as pool:
        done = [pool.submit(lambda loop=loop: (start.wait(), loop())) for loop in loops]
        return timed(ops, lambda: (start.wait(), [f.result() for f in done]))


@figure("7", "direct writes from 1 / 4 / 16 threads sharing one instance", goal=">= 0.95",
        rows=[f"7/{n}" for n in THREADS])
def fig7(b: Bench) -> Iterator[dict]:
    for nthreads in (n for n in THREADS if b.wants(f"7/{n}")):
        workers = max(2, math.ceil(nthreads / 5))  # a pooled connection per thread
        per = max(1, 800 // nthreads)
        w, client = b.wrapper(workers=workers), b.client(workers)
        keys = [keys_of(f"threads:{t}", per) for t in range(nthreads)]
        s = paired({"module": lambda: threads(per * nthreads, [write_loop(w, k, b.frame) for k in keys]),
                    "peer": lambda: threads(per * nthreads, [set_loop(client, k, b.frame) for k in keys])},
                   b.rounds)
        yield row(f"7/{nthreads}", f"write_zarn_data, {nthreads} thread(s), workers={workers}", "redis-py",
                  compare(s["module"], s["peer"]))

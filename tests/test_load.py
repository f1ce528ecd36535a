"""One instance shared by many threads against the real server: producers, readers,
deleters and scanners at once; and what redis-py does when the connection pool runs out."""

import random
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import orjson
import pytest
import redis

from conftest import EMULATOR
from helpers import drained

PRODUCERS, READERS, HOUSEKEEPERS, CAMERAS = 16, 4, 2, 16
DURATION = 2.0 if EMULATOR else 3.0


def frame(cam, seq):
    """The record producer `cam` writes as its frame `seq`: it can be checked on its own."""
    return {"cam": cam, "seq": seq, "check": cam * 1_000_003 + seq, "label": f"cam-{cam:02d}",
            "boxes": [[seq % 640, cam, 32, 48, 0.5 + seq % 7 / 16]] * (seq % 5)}


def check(key, record):
    """True when `record` is a frame that the producer named by `key` wrote."""
    cam = int(key.split(":")[1][3:])
    return isinstance(record, dict) and record["cam"] == cam and record == frame(cam, record["seq"])


@pytest.mark.slow
def test_shared_instance_under_load(server, raw, make_wrapper, log, thread_errors):
    w = make_wrapper(host=server.host, port=server.port, workers=5)  # a pool of 25
    worker, stop, problems = w._worker, threading.Event(), []
    counts = {"written": 0, "read": 0, "decoded": 0, "scanned": 0, "deleted": 0}

    def run(body, seed):
        rng = random.Random(seed)
        try:
            while not stop.is_set():
                body(rng)
        except BaseException as e:
            problems.append(e)
            stop.set()

    def producer(cam):
        seq = 0

        def body(rng):
            nonlocal seq
            record = frame(cam, seq)
            assert w.write_zarn_data(record, f"load:cam{cam}:latest") is True
            assert w.write_zarn_data(record, f"load:cam{cam}:frame:{seq % 8}", 30) is True
            counts["written"] += 2
            seq += 1
        return body

    def reader(rng):
        key = f"load:cam{rng.randrange(CAMERAS)}:" + rng.choice(["latest", f"frame:{rng.randrange(8)}"])
        record = w.read_zarn_data(key)
        assert record is None or check(key, record), (key, record)
        stored = w.read_data(key)
        assert stored is None or check(key, orjson.loads(stored)), (key, stored)
        counts["read"] += 2
        counts["decoded"] += record is not None

    def housekeeper(rng):
        keys = w.scan_keys(f"load:cam{rng.randrange(CAMERAS)}:*")
        assert all(type(k) is str and k.startswith("load:cam") for k in keys), keys
        counts["scanned"] += len(keys)
        doomed = rng.sample(keys, min(len(keys), 3))
        assert 0 <= w.delete_many(doomed) <= len(doomed)
        key = f"load:cam{rng.randrange(CAMERAS)}:frame:{rng.randrange(8)}"
        assert w.delete_data(key) in (True, False)
        assert w.write_zarn_data(None, f"load:cam{rng.randrange(CAMERAS)}:latest") in (True, False)
        counts["deleted"] += 1
        time.sleep(0.005)

    bodies = ([producer(cam) for cam in range(PRODUCERS)] + [reader] * READERS
              + [housekeeper] * HOUSEKEEPERS)
    threads = [threading.Thread(target=run, args=(body, n)) for n, body in enumerate(bodies)]
    for t in threads:
        t.start()
    stop.wait(DURATION)
    stop.set()
    for t in threads:
        t.join(30)
    assert not any(t.is_alive() for t in threads)
    assert problems == [] and thread_errors == []
    assert w._worker is worker and worker.is_alive()
    assert drained(w._queue) and w._queue.unfinished_tasks == 0
    assert log.lines == []  # no store and no read failed
    # Every role made progress. Sixteen producers that never wait keep the interpreter lock
    # busy, so readers and housekeepers, which give it up for each round trip, get it back
    # only at the interpreter's switch interval: they make far fewer calls.
    assert counts["written"] > 100 and counts["read"] > 0 and counts["deleted"] > 0, counts
    # What is left on the server is made only of records that the producers wrote.
    left = w.scan_keys("load:*")
    assert left, counts
    for key in left:
        assert check(key, w.read_zarn_data(key)), key
    assert worker.is_alive()


def test_exhausted_pool_raises_too_many_connections(server, raw, make_wrapper, log):
    """workers=2 gives a pool of 10 connections. Ten writes that a paused server holds take
    them all; the next command of any kind fails at once, without waiting for one."""
    w = make_wrapper(host=server.host, port=server.port, workers=2)
    raw.client_pause(10_000, all=False)
    try:
        with ThreadPoolExecutor(10) as pool:
            held = [pool.submit(w.write_data, f"pool:{n}", "v") for n in range(10)]
            deadline = time.monotonic() + 10
            while raw.info("clients")["blocked_clients"] < 10 and time.monotonic() < deadline:
                time.sleep(0.01)
            assert raw.info("clients")["blocked_clients"] == 10
            started = time.monotonic()
            for call in (lambda: w.write_data("pool:x", "v"), lambda: w.read_data("pool:0"),
                         lambda: w.scan_keys("pool:*")):
                with pytest.raises(redis.exceptions.ConnectionError, match="^Too many connections$"):
                    call()
            assert w.read_zarn_data("pool:0") is None
            assert w._write_({"n": 1}, "pool:frame") is False
            assert time.monotonic() - started < 1.0  # no waiting for a free connection
            assert log.lines == [
                ("warning", "Failed to get redis frame from pool:0 - Too many connections"),
                ("error", "Failed to write data to redis`pool:frame` - Too many connections"),
            ]
            raw.client_unpause()
            assert [f.result(10) for f in held] == [True] * 10
    finally:
        raw.client_unpause()
    assert w.write_data("pool:x", "v") is True and w.read_data("pool:x") == b"v"

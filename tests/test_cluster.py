"""RedisWrapper beyond one server: redis-py's RedisCluster and Sentinel master clients set as
the instance's _redis_client, against a real three-primary cluster and a real primary,
replica and Sentinel(s) on loopback; then failovers under a camera's write rate.

The failover figures go into docs/cluster.md only when ZARN_FAILOVER_DOCS is set (see
WRITE_DOCS): an ordinary run leaves the checkout untouched."""

import collections
import os
import queue
import sys
import threading
import time

import orjson
import pytest

import zarn_sdk.redis.redis_wrapper as rw

from conftest import EMULATOR
from helpers import REPO, LogRecorder, drained, sent

sys.path[:0] = [str(REPO / "examples"), str(REPO / "scripts")]
from local_redis import LocalCluster, LocalSentinel  # noqa: E402

pytestmark = pytest.mark.skipif(
    bool(EMULATOR), reason="starts its own redis-server processes, which an emulated "
    "interpreter cannot; the native runs cover these tests")

WRITE_DOCS = "ZARN_FAILOVER_DOCS=1 bash scripts/test.sh tests/test_cluster.py -k failover"
DOCS = REPO / "docs" / "cluster.md"
MODES = pytest.mark.parametrize("thread", [False, True], ids=["direct", "background"])


@pytest.fixture(scope="module")
def cluster():
    with LocalCluster(primaries=3) as c:
        yield c


@pytest.fixture(scope="module")
def sentinels():
    with LocalSentinel(sentinels=1) as group:
        yield group


def on(make_wrapper, client, thread, workers=2):
    """An instance built as usual (its own pool is never used), then moved onto `client`."""
    w = make_wrapper(thread=thread, host="127.0.0.1", workers=workers)
    w._redis_client = client
    return w


def exercise(w, keys: list[str], holder) -> None:
    """Every public method of w over `keys`; holder(key) is a plain client of the node that
    must hold the key, where each stored value is checked."""
    frames = {k: {"seq": i, "camera": k.split(":")[0]} for i, k in enumerate(keys)}
    for k in keys:
        assert w.write_zarn_data(frames[k], k, 60) is True
    if w._queue is not None:
        assert drained(w._queue)
    for k in keys:
        node = holder(k)
        assert node.get(k) == orjson.dumps(frames[k])  # the record lies whole on its node
        assert 0 < node.ttl(k) <= 60
        assert w.read_zarn_data(k) == frames[k]
    assert sorted(w.scan_keys("cam-*")) == sorted(keys)
    assert w.write_data("plain:" + keys[0], "abc", None) is True
    assert w.read_data("plain:" + keys[0]) == b"abc"
    assert w.write_data("plain:" + keys[0], {"a": 1}, 5) is True
    assert holder("plain:" + keys[0]).get("plain:" + keys[0]) == b'{"a":1}'
    assert w.delete_data("plain:" + keys[0]) is True
    assert w.delete_data("plain:" + keys[0]) is False
    assert w.write_zarn_data(None, keys[0]) is True  # no record: the key is deleted
    assert w.read_zarn_data(keys[0]) is None
    assert w.delete_many([]) == 0
    assert w.delete_many(keys[1:] + ["missing", keys[1]]) == len(keys) - 1
    assert w.scan_keys("cam-*") == []


@MODES
def test_every_method_on_a_cluster_of_three_primaries(cluster, make_wrapper, log, thread):
    client = cluster.client()
    client.flushall()
    keys = [f"cam-{i:02d}:frame" for i in range(24)]
    spread = collections.Counter(cluster.owner(k).port for k in keys)
    # The keys are spread over every primary, none holding more than half.
    assert sorted(spread) == sorted(n.port for n in cluster.primaries), spread
    assert max(spread.values()) <= len(keys) // 2, spread
    admins = [n.client() for n in cluster.primaries]
    for a in admins:
        a.config_resetstat()
    w = on(make_wrapper, client, thread, workers=len(keys))  # a queue that holds them all
    exercise(w, keys, lambda k: cluster.owner(k).client())
    calls = [sent(a) for a in admins]
    # scan_keys visits every primary; delete_many sends one DEL per slot of its keys (plus
    # the single-key deletes of exercise), each to the slot's own primary.
    assert all(c.get("scan", 0) >= 2 for c in calls), calls
    slots = {client.keyslot(k) for k in keys[1:] + ["missing"]}
    assert sum(c.get("del", 0) for c in calls) == len(slots) + 3, (calls, len(slots))
    assert log.lines == []


@MODES
def test_every_method_through_sentinel(sentinels, make_wrapper, log, thread):
    client = sentinels.sentinel().master_for(sentinels.name)
    client.flushall()
    w = on(make_wrapper, client, thread, workers=16)
    primary = sentinels.primary.client()
    exercise(w, [f"cam-{i:02d}:frame" for i in range(16)], lambda k: primary)
    assert log.lines == []


def test_a_client_that_decodes_replies_breaks_frame_reads(cluster, make_wrapper, log):
    """The module relies on byte replies: a cluster client built with decode_responses=True
    makes read_zarn_data hand back the JSON text undecoded (docs/cluster.md warns)."""
    w = on(make_wrapper, cluster.client(decode_responses=True), False)
    assert w.write_zarn_data({"a": 1}, "cam-x:frame") is True
    assert w.read_zarn_data("cam-x:frame") == '{"a":1}'
    w._redis_client = cluster.client()
    assert w.read_zarn_data("cam-x:frame") == {"a": 1}
    w.delete_data("cam-x:frame")


# ---- failover under load -------------------------------------------------------------

FPS = 30


class TimedLog(LogRecorder):
    """A log recorder that also keeps when each line came."""

    def __init__(self):
        super().__init__()
        self.times: list[float] = []

    def _add(self, level, args, kwargs):
        super()._add(level, args, kwargs)
        self.times.append(time.monotonic())


class DropCounter(queue.Queue):
    """The write queue, counting the records that write_zarn_data drops when it is full
    (only the drop takes with get_nowait()) and timing the worker's takes (get(timeout=...))."""

    def __init__(self, maxsize):
        super().__init__(maxsize)
        self.dropped: list[str] = []
        self.dropped_at: list[float] = []
        self.taken: list[float] = []

    def get(self, block=True, timeout=None):
        item = super().get(block, timeout)
        if block:  # the worker's take, not get_nowait()'s
            self.taken.append(time.monotonic())
        return item

    def get_nowait(self):
        item = super().get_nowait()
        self.dropped.append(item[1])
        self.dropped_at.append(time.monotonic())
        return item


def run_failover(w, kill, promoted, monkeypatch) -> dict:
    """Writes numbered records at FPS through w's background writer, calls kill() 1.5 s in,
    and goes on until 3 s after the promotion and 2.5 s after the last record lost (failed
    or dropped), at most 30 s after the kill.
    promoted() tells whether the deployment has switched to the new primary. Returns what
    happened to every record."""
    log = TimedLog()
    monkeypatch.setattr(rw, "logger", log)
    w._queue = DropCounter(w._queue.maxsize)
    # One record first: the worker leaves its wait on the old queue (up to 0.2 s) and the
    # client finds its primary before the clock starts.
    assert w.write_zarn_data({}, "warm-up") is True
    assert drained(w._queue, 10) and w.read_data("warm-up") == b"{}"
    made: list[tuple[str, float]] = []  # key, when write_zarn_data was called
    slowest = 0.0
    state = {"promoted_at": None}

    def watch():
        while state["promoted_at"] is None and not done.is_set():
            try:
                if promoted():
                    state["promoted_at"] = time.monotonic()
            except Exception:
                pass
            time.sleep(0.02)

    done = threading.Event()
    start = time.monotonic()
    kill_at = start + 1.5
    killed = None
    seq = 0
    while True:
        now = time.monotonic()
        if killed is None and now >= kill_at:
            kill()
            killed = time.monotonic()
            threading.Thread(target=watch, daemon=True).start()
        if killed is not None:
            since = now - max([killed, *log.times[-1:], *w._queue.dropped_at[-1:]])
            promoted_at = state["promoted_at"]
            if now - killed > 30 or (promoted_at and since > 2.5 and now - promoted_at > 3):
                break
        key = f"failover:{seq:06d}"
        t0 = time.monotonic()
        assert w.write_zarn_data({"seq": seq, "at": t0}, key) is True
        slowest = max(slowest, time.monotonic() - t0)
        made.append((key, t0))
        seq += 1
        time.sleep(max(0.0, start + seq / FPS - time.monotonic()))
    done.set()
    assert drained(w._queue, 30), "the worker did not finish the queued records"
    failed = [line.split("`")[1] for _, line in log.lines]
    return {"made": made, "killed": killed, "promoted_at": state["promoted_at"],
            "failed": failed, "failed_times": list(log.times), "dropped": list(w._queue.dropped),
            "taken": list(w._queue.taken),
            "lines": list(log.lines), "slowest": slowest, "worker_alive": w._worker.is_alive()}


def failover_figures(run: dict, stored: set[str]) -> dict:
    """The measured figures of one failover, after checking what must hold."""
    made, killed = run["made"], run["killed"]
    keys = [k for k, _ in made]
    failed, dropped = set(run["failed"]), set(run["dropped"])
    lost = set(keys) - stored
    assert run["worker_alive"], "the background writer died"
    assert run["slowest"] < 1.0, f"a queued write blocked the producer {run['slowest']:.2f}s"
    assert run["promoted_at"] is not None, "no replica was promoted"
    assert len(failed) == len(run["failed"]), "a record was logged as failed twice"
    assert not failed & dropped, "a record both dropped and logged as failed"
    assert all(line.startswith("Failed to write data to redis`failover:") for _, line in run["lines"])
    # Writes resume soon after the promotion, and from then on every record is stored.
    resumed = len(made)
    while resumed > 0 and made[resumed - 1][0] in stored:
        resumed -= 1
    assert made[resumed][1] > killed  # records were lost in the switch...
    late = made[resumed][1] - run["promoted_at"]
    assert late < 5.0, f"writes resumed {late:.2f}s after the promotion"  # ...not much after
    assert len(made) - resumed >= 2 * FPS  # at least 2 s of records after the switch
    unexplained = lost - failed - dropped
    before = {k for k, t in made if t < killed - 1.0}
    assert before <= stored, "records written a second before the kill were lost"
    window = (max(run["failed_times"]) - min(run["failed_times"])) if failed else 0.0
    # The longest the writer spent on one record: the longest gap between its takes (the
    # producer keeps the queue full all the while).
    held = max(b - a for a, b in zip(run["taken"], run["taken"][1:]))
    return {
        "records written": len(keys),
        "primary killed (SIGKILL) at record": sum(1 for _, t in made if t < killed),
        "replica promoted after the kill, s": f"{run['promoted_at'] - killed:.2f}",
        "first failed write to last, s": f"{window:.2f}" if failed else "none failed",
        "longest the writer spent on one record, s": f"{held:.2f}",
        "every record stored again from one made after the kill, s": f"{made[resumed][1] - killed:.2f}",
        "records lost": len(lost),
        "lost: failed and logged by the record write": len(lost & failed),
        "lost: dropped by the full queue (oldest first)": len(lost & dropped),
        "lost: acknowledged by the old primary, not replicated": len(unexplained),
        "logged as failed but stored all the same": len(failed & stored),
        "records made from then on, all stored": len(made) - resumed,
        "longest write_zarn_data call, ms": f"{run['slowest'] * 1000:.1f}",
    }


def report(name: str, title: str, figures: dict) -> None:
    lines = [f"{title}", "", "| measured | value |", "|---|---:|"]
    lines += [f"| {k} | {v} |" for k, v in figures.items()]
    print("\n" + "\n".join(lines))
    if os.environ.get("ZARN_FAILOVER_DOCS"):
        from generated import write_block

        write_block(DOCS, f"failover-{name}", "\n".join(lines), WRITE_DOCS)


@pytest.mark.slow
@pytest.mark.parametrize("count", [1, 3], ids=["one-sentinel", "three-sentinels"])
def test_sentinel_failover_under_load(make_wrapper, monkeypatch, thread_errors, count):
    with LocalSentinel(sentinels=count) as group:
        client = group.sentinel(socket_timeout=1).master_for(group.name, socket_timeout=1)
        w = on(make_wrapper, client, True)
        old = group.primary.address
        run = run_failover(w, group.primary.kill, lambda: group.master_address() != old,
                           monkeypatch)
        assert group.master_address() == group.replica.address
        stored = set(k.decode() for k in group.replica.client().scan_iter("failover:*"))
        figures = failover_figures(run, stored)
        w._shutdown_executor()
    assert thread_errors == []
    report(f"sentinel-{count}", f"Sentinel, one primary and one replica, {count} "
           f"sentinel{'s' if count > 1 else ''} (down-after-milliseconds 1000), the default "
           f"redis-py retries, {FPS} records/s, workers=2:", figures)


@pytest.mark.slow
def test_cluster_failover_under_load(make_wrapper, monkeypatch, thread_errors):
    with LocalCluster(primaries=3, replicas=1, node_timeout_ms=1000) as c:
        client = c.client(socket_timeout=1)
        w = on(make_wrapper, client, True)
        victim = c.primaries[0]
        (replica,) = c.replicas[victim.id]
        slot_key = next(f"failover:{i:06d}" for i in range(100) if c.owner(f"failover:{i:06d}") is victim)
        run = run_failover(w, victim.kill, lambda: c.owner(slot_key) is replica, monkeypatch)
        c.wait_ready()
        stored = set()
        for node in c.nodes:
            if node.alive() and node.client().info("replication")["role"] == "master":
                stored |= {k.decode() for k in node.client().scan_iter("failover:*")}
        spread = collections.Counter(c.owner(k).port for k, _ in run["made"])
        figures = failover_figures(run, stored)
        w._shutdown_executor()
    assert thread_errors == []
    assert len(spread) == 3, spread
    report("cluster", "Redis Cluster, three primaries with one replica each "
           "(cluster-node-timeout 1000 ms), the first primary killed; records spread over "
           f"the primaries as {sorted(spread.values())}; default redis-py retries, "
           f"{FPS} records/s, workers=2:", figures)

"""What the fault tests share: a loopback TCP proxy that can go silent, refuse or slow down,
and a camera that writes numbered records through a background writer while a fault comes
and goes, with the figures a user feels (lost, dropped, held, resumed)."""

from __future__ import annotations

import json
import os
import queue
import select
import socket
import threading
import time

import redis

import zarn_sdk.redis.redis_wrapper as rw

from helpers import LogRecorder, drained

FPS = 30  # a camera's record rate


class Proxy:
    """127.0.0.1:port -> upstream, one thread a connection. silence(): no byte passes any more
    on the connections open now or opened until restore() (nothing is closed: a dropped link,
    a NAT that forgot the flow); refuse(): every connection is reset and new ones refused;
    slow(s): every reply waits s seconds; restore(): new connections pass again."""

    def __init__(self, upstream: int):
        self.upstream = upstream
        self.mode, self.delay = "pass", 0.0
        self.dead: set[socket.socket] = set()  # silenced for good
        self.open: list[socket.socket] = []
        self.closing = False
        self.listener = self._listen(0)
        self.port = self.listener.getsockname()[1]
        threading.Thread(target=self._accept, daemon=True).start()

    def _listen(self, port: int) -> socket.socket:
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", port))
        s.listen(64)
        return s

    def _accept(self) -> None:
        while not self.closing:
            try:
                client, _ = self.listener.accept()
            except OSError:  # closed by refuse() or close()
                if self.mode != "refuse":
                    return
                time.sleep(0.01)
                continue
            self.open.append(client)
            if self.mode == "silent":
                self.dead.add(client)
                continue
            server = socket.create_connection(("127.0.0.1", self.upstream))
            self.open.append(server)
            threading.Thread(target=self._pump, args=(client, server), daemon=True).start()

    def _pump(self, client: socket.socket, server: socket.socket) -> None:
        peer = {client: server, server: client}
        while not self.closing:
            if client in self.dead:
                time.sleep(0.05)
                continue
            try:
                ready, _, _ = select.select([client, server], [], [], 0.05)
            except (OSError, ValueError):  # reset by refuse() or close()
                return
            for s in ready:
                if client in self.dead:
                    break
                try:
                    data = s.recv(65536)
                except OSError:
                    data = b""
                if not data:
                    return self._reset(client, server)
                if s is server and self.mode == "slow":
                    time.sleep(self.delay)
                try:
                    peer[s].sendall(data)
                except OSError:
                    return self._reset(client, server)

    @staticmethod
    def _reset(*socks: socket.socket) -> None:
        for s in socks:
            try:
                s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, b"\1\0\0\0\0\0\0\0")
                s.close()
            except OSError:
                pass

    def silence(self) -> None:
        self.mode = "silent"
        self.dead.update(self.open)

    def refuse(self) -> None:
        self.mode = "refuse"
        self._stop_listening()
        self._reset(*self.open)
        self.open.clear()

    def slow(self, seconds: float) -> None:
        self.mode, self.delay = "slow", seconds

    def restore(self) -> None:
        if self.mode == "refuse":
            self.listener = self._listen(self.port)
        self.mode = "pass"

    def _stop_listening(self) -> None:
        try:
            self.listener.shutdown(socket.SHUT_RDWR)  # wakes the thread waiting in accept()
        except OSError:
            pass
        self.listener.close()

    def close(self) -> None:
        self.closing = True
        self._stop_listening()
        self._reset(*self.open)


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


def produce_through(w, begin, monkeypatch, *, end=None, lasts=3.0, recovered=None,
                    prefix="fault") -> dict:
    """Writes numbered records at FPS through w's background writer; 1.5 s in calls begin(),
    and either end() `lasts` seconds later (the path is back then), or with recovered polls
    it until it tells that the deployment has recovered; with neither, the fault is over when
    begin() returns. Goes on until 3 s after the
    recovery and 2.5 s after the last record lost (failed or dropped), at most 30 s after the
    fault began. Returns what happened to every record."""
    log = TimedLog()
    monkeypatch.setattr(rw, "logger", log)
    w._queue = DropCounter(w._queue.maxsize)
    # One record first: the worker leaves its wait on the old queue (up to 0.2 s) and the
    # client connects before the clock starts.
    assert w.write_zarn_data({}, f"{prefix}-warm-up") is True
    assert drained(w._queue, 10) and w.read_data(f"{prefix}-warm-up") == b"{}"
    made: list[tuple[str, float]] = []  # key, when write_zarn_data was called
    slowest, state, done = 0.0, {"recovered_at": None}, threading.Event()

    def watch():
        while state["recovered_at"] is None and not done.is_set():
            try:
                if recovered():
                    state["recovered_at"] = time.monotonic()
            except Exception:
                pass
            time.sleep(0.02)

    start = time.monotonic()
    began = ended = None
    seq = 0
    while True:
        now = time.monotonic()
        if began is None and now >= start + 1.5:
            begin()
            began = time.monotonic()
            if recovered is not None:
                threading.Thread(target=watch, daemon=True).start()
            elif end is None:  # over once begin() returns
                state["recovered_at"] = began
        if began is not None and end is not None and ended is None and now >= began + lasts:
            end()
            ended = state["recovered_at"] = time.monotonic()
        if began is not None:
            since = now - max([began, *log.times[-1:], *w._queue.dropped_at[-1:]])
            back = state["recovered_at"]
            if now - began > 30 or (back and since > 2.5 and now - back > 3):
                break
        key = f"{prefix}:{seq:06d}"
        t0 = time.monotonic()
        assert w.write_zarn_data({"seq": seq, "at": t0}, key) is True
        slowest = max(slowest, time.monotonic() - t0)
        made.append((key, t0))
        seq += 1
        time.sleep(max(0.0, start + seq / FPS - time.monotonic()))
    done.set()
    assert drained(w._queue, 30), "the worker did not finish the queued records"
    return {"made": made, "began": began, "recovered_at": state["recovered_at"],
            "failed": [line.split("`")[1] for _, line in log.lines],
            "failed_times": list(log.times), "dropped": list(w._queue.dropped),
            "taken": list(w._queue.taken), "lines": list(log.lines), "slowest": slowest,
            "worker_alive": w._worker.is_alive()}


def fault_figures(run: dict, stored: set[str], since: float | None = None) -> tuple[dict, dict]:
    """Checks what holds under every fault, and returns the figures a user feels and the
    sets behind them. Counts the records made from `since` on, by default from the fault on
    (a restarted server forgets what was stored before: the server's loss, not the writer's)."""
    made, began, back = run["made"], run["began"], run["recovered_at"]
    keys = [k for k, t in made if t >= (began if since is None else since)]
    failed, dropped = set(run["failed"]), set(run["dropped"])
    lost = set(keys) - stored
    assert run["worker_alive"], "the background writer died"
    assert run["slowest"] < 0.5, f"write_zarn_data held the camera {run['slowest']:.2f}s"
    assert back is not None, "the deployment did not recover"
    assert len(failed) == len(run["failed"]), "a record was logged as failed twice"
    assert not failed & dropped, "a record both dropped and logged as failed"
    assert all(line.startswith("Failed to write data to redis`") for _, line in run["lines"])
    # From some record on, every record is stored again: how long after the recovery.
    resumed = len(made)
    while resumed > 0 and made[resumed - 1][0] in stored:
        resumed -= 1
    assert len(made) - resumed >= 2 * FPS, "fewer than 2 s of records stored at the end"
    held = max(b - a for a, b in zip(run["taken"], run["taken"][1:]))
    figures = {
        "records counted": len(keys),
        "longest write_zarn_data call, ms": round(run["slowest"] * 1000, 1),
        "longest the writer spent on one record, s": round(held, 2),
        "records lost": len(lost),
        "lost: failed and logged": len(lost & failed),
        "lost: dropped by the full queue": len(lost & dropped),
        "writes stored again, s after the recovery":
            round(max(0.0, made[resumed][1] - back), 2) if resumed < len(made) else 0.0,
    }
    return figures, {"lost": lost, "failed": failed, "dropped": dropped, "resumed": resumed}


def save_figures(name: str, title: str, figures: dict) -> None:
    """Keeps one fault's figures, under the title of their table in docs/faults.md, for the
    table of redis-py versions (scripts/faults.py) when ZARN_FAULT_FIGURES names a folder;
    prints them either way. None, True and False as a reader says them."""
    version = redis.__version__
    figures = {k: "none" if v is None else ("on" if v else "off") if isinstance(v, bool) else v
               for k, v in figures.items()}
    print(f"\n{name} (redis-py {version}): {figures}")
    folder = os.environ.get("ZARN_FAULT_FIGURES")
    if folder:
        with open(os.path.join(folder, f"{name}.json"), "w") as f:
            json.dump({"redis": version, "title": title, "figures": figures}, f)

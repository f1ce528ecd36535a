"""Interpreter exit with background writers: the exit hook stops each worker, the process
ends promptly with status 0 and nothing crashes or prints a traceback."""

import time

import pytest

CRASH_SIGNS = ("Traceback", "terminate called", "Fatal Python error", "Exception in thread",
               "Segmentation fault", "SystemError")

PROLOGUE = """
import atexit, sys, time
import zarn_sdk.redis.redis_wrapper as m
PORT = {port}
def queue_writes(w, count):
    for n in range(count):
        w._queue.put_nowait(({{"n": n, "pad": "x" * 64}}, f"exit:{{id(w)}}:{{n}}", 5))
def report(*ws):
    # Registered before the instances, so it runs after their exit hooks.
    def check():
        states = [(w._stop_evt.is_set(), w._queue, w._use_thread,
                   w._worker is None or not w._worker.is_alive()) for w in ws]
        print("STATES", repr(states), flush=True)
        print("EXIT-AT", time.monotonic(), flush=True)
    return check
"""

SCENARIOS = {
    "one-background-writer": """
holder = []
atexit.register(lambda: report(*holder)())
w = m.RedisWrapper(host="127.0.0.1", port=PORT, workers=50)
holder.append(w)
queue_writes(w, 50)
time.sleep(0.05)
""",
    "several-instances": """
holder = []
atexit.register(lambda: report(*holder)())
holder += [m.RedisWrapper(host="127.0.0.1", port=PORT, workers=k) for k in (1, 5, 20)]
holder.append(m.RedisWrapper(thread=False, host="127.0.0.1", port=PORT))
for w in holder[:3]:
    queue_writes(w, w._queue.maxsize)
holder[1]._write_({"direct": 1}, "direct", None)
""",
    "stopped-before-exit": """
holder = []
atexit.register(lambda: report(*holder)())
w = m.RedisWrapper(host="127.0.0.1", port=PORT, workers=10)
holder.append(w)
queue_writes(w, 10)
w._shutdown_executor()
w._shutdown_executor()
""",
    # The worker is inside a slow write when the interpreter finalises: the exit hook's join
    # times out, and the daemon thread wakes up while the interpreter is tearing down (the
    # final flush of stdout is held until then), so it is ended while inside the module.
    "worker-busy-at-exit": """
holder = []
atexit.register(lambda: report(*holder)())
class SlowClient:
    def set(self, *args, _sleep=time.sleep, **kwargs):
        _sleep(0.8)
        print("WOKE-BEFORE-FINALIZING", flush=True)
        return True
class HeldStdout:
    def __init__(self, real):
        self.real = real
    def write(self, text):
        return self.real.write(text)
    def flush(self, _sleep=time.sleep, _finalizing=sys.is_finalizing):
        if _finalizing():
            _sleep(0.8)
        self.real.flush()
sys.stdout = HeldStdout(sys.stdout)
w = m.RedisWrapper(host="127.0.0.1", port=PORT, workers=4)
holder.append(w)
w._redis_client = SlowClient()
queue_writes(w, 4)
time.sleep(0.1)
""",
}

EXPECTED_STATES = {
    "one-background-writer": [(True, None, False, True)],
    "several-instances": [(True, None, False, True)] * 3 + [(False, None, False, True)],
    "stopped-before-exit": [(True, None, False, True)],
    "worker-busy-at-exit": [(True, None, False, False)],
}


@pytest.mark.parametrize("scenario", SCENARIOS)
def test_process_exits_cleanly(run_python, dead_port, scenario):
    code = PROLOGUE.format(port=dead_port) + SCENARIOS[scenario] + "\nprint('END-AT', time.monotonic(), flush=True)\n"
    proc = run_python(code, timeout=30)
    finished = time.monotonic()
    assert proc.returncode == 0, proc.stderr
    lines = dict(line.split(" ", 1) for line in proc.stdout.splitlines() if " " in line)
    assert eval(lines["STATES"]) == EXPECTED_STATES[scenario]
    # From the end of the script to the end of the process, exit hooks included.
    assert finished - float(lines["END-AT"]) < 4.0
    assert "WOKE-BEFORE-FINALIZING" not in proc.stdout
    for sign in CRASH_SIGNS:
        assert sign not in proc.stderr, proc.stderr
    if scenario != "worker-busy-at-exit":
        # Every logged line is a record write failing on the dead port.
        for line in proc.stderr.splitlines():
            assert "Failed to write data to redis`exit:" in line or "direct" in line, line

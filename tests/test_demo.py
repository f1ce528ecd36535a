"""The demo (examples/demo.py) as a newcomer meets it: against a server that is not there it
prints one line and exits 2; a run ends with a summary and leaves no keys; Ctrl-C prints the
summary so far and exits 130 without a traceback."""

import os
import re
import signal
import subprocess
from pathlib import Path

import pytest

from conftest import python_command

DEMO = Path(__file__).resolve().parent.parent / "examples" / "demo.py"
pytestmark = pytest.mark.skipif(not DEMO.is_file(), reason="no examples/demo.py here (an installed run)")


def demo(*args: str) -> list[str]:
    return [*python_command(), str(DEMO), *args]


def no_sigint_ignored():
    """A child started from a background job inherits SIGINT ignored; the demo must see it."""
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@pytest.mark.parametrize("kind", ["refused", "silent"])
def test_unreachable_server_gives_one_line_and_status_2(request, kind):
    port = request.getfixturevalue("dead_port" if kind == "refused" else "silent_port")
    proc = subprocess.run(demo("--host", "127.0.0.1", "--port", str(port)), capture_output=True,
                          text=True, timeout=60)
    assert proc.returncode == 2
    assert proc.stdout == ""
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith(f"demo: no Redis server answers at 127.0.0.1:{port} ")


def test_run_ends_with_a_summary_and_removes_its_keys(server, raw):
    proc = subprocess.run(demo("--host", server.host, "--port", str(server.port), "--seconds", "1",
                               "--fps", "40", "--stall", "0"),
                          capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr
    summary = dict(re.findall(r"^(frames \w+)\s+(\d+)$", proc.stdout.split("\nsummary\n")[1], re.M))
    written, stored = int(summary["frames written"]), int(summary["frames stored"])
    assert written > 0 and stored == written  # no stall: nothing dropped, every record waited for
    assert f"cleanup: removed {stored} demo keys" in proc.stdout
    assert raw.keys("demo:*") == []


def test_ctrl_c_prints_the_summary_so_far_and_exits_130(server, raw):
    proc = subprocess.Popen(demo("--host", server.host, "--port", str(server.port), "--seconds", "120"),
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=no_sigint_ignored)
    try:
        seen = ""
        while "written" not in seen:  # the live line has started: the run is under way
            chunk = proc.stdout.read(1)
            assert chunk, proc.stderr.read()
            seen += chunk
        os.kill(proc.pid, signal.SIGINT)
        out, err = proc.communicate(timeout=60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
    assert proc.returncode == 130, err
    assert "interrupted (Ctrl-C)" in out and "\nsummary\n" in out
    assert "Traceback" not in out + err
    assert raw.keys("demo:*") == []

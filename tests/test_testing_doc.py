"""docs/testing.md's examples, run as a caller's own test module: its Python code blocks, in
order, in one file, under pytest in a fresh interpreter. Every test in them must pass."""

import importlib.util
import re
import subprocess

import pytest

from conftest import python_command
from helpers import REPO

DOC = REPO / "docs" / "testing.md"


@pytest.mark.skipif(importlib.util.find_spec("fakeredis") is None,
                    reason="fakeredis (in the [test] extra) is not installed")
def test_the_examples_of_the_testing_page_pass(tmp_path):
    blocks = re.findall(r"^```python\n(.*?)^```$", DOC.read_text(), re.M | re.S)
    module = tmp_path / "test_caller.py"
    module.write_text("\n\n".join(blocks))
    tests = re.findall(r"^def (test_\w+)", module.read_text(), re.M)
    proc = subprocess.run([*python_command(), "-m", "pytest", "-q", "-p", "no:cacheprovider",
                           "-rA", str(module)], capture_output=True, text=True, cwd=tmp_path,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr
    passed = re.findall(r"^PASSED \S+::(test_\w+)$", proc.stdout, re.M)
    assert len(tests) >= 4 and sorted(passed) == sorted(tests), proc.stdout

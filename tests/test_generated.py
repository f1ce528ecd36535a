"""Generated blocks in README.md and docs/: each is stamped with a clean commit of this
repository, as scripts/generated.py writes them. Skipped outside a git checkout (a run on
an installed device)."""

import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
DOCS = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]


def git(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run(["git", "-C", str(ROOT), *args], capture_output=True, text=True)


def in_checkout() -> bool:
    return (shutil.which("git") is not None and (ROOT / "scripts" / "generated.py").is_file()
            and git("rev-parse", "--is-inside-work-tree").stdout.strip() == "true")


pytestmark = pytest.mark.skipif(not in_checkout(), reason="not in a git checkout of the project")


@pytest.fixture(scope="module")
def generated():
    sys.path.insert(0, str(ROOT / "scripts"))
    try:
        import generated
    finally:
        sys.path.remove(str(ROOT / "scripts"))
    return generated


BLOCK = re.compile(r"<!-- generated:(?P<name>[\w.-]+) begin -->\n(?P<body>.*?)"
                   r"<!-- generated:(?P=name) end -->", re.S)
STAMP = re.compile(r"_Written by `(?P<command>[^`]+)` at commit (?P<commit>[0-9a-f]+(?:\+dirty)?)"
                   r" on (?P<date>\d{4}-\d{2}-\d{2})\._")


def blocks(path: Path) -> list[dict]:
    """The generated blocks of a page: name, body, and the stamp's command, commit and date
    (None where the stamp is missing), read independently of the writer."""
    empty = {"command": None, "commit": None, "date": None}
    return [{"name": m["name"], "body": m["body"], **(s.groupdict() if (s := STAMP.search(m["body"])) else empty)}
            for m in BLOCK.finditer(Path(path).read_text())]


def all_blocks():
    return [(path.relative_to(ROOT).as_posix(), b) for path in DOCS for b in blocks(path)]


def test_every_block_is_stamped_with_a_clean_commit_of_this_repository():
    found = all_blocks()
    assert found, "README.md holds the benchmark's block at least"
    for where, b in found:
        name = f"{where}: block {b['name']}"
        assert b["commit"] is not None, f"{name} has no stamp"
        assert not b["commit"].endswith("+dirty"), f"{name} was written from a dirty tree"
        assert git("cat-file", "-e", f"{b['commit']}^{{commit}}").returncode == 0, \
            f"{name}: {b['commit']} is not a commit of this repository"


def test_markers_come_in_pairs():
    """A begin without its end (or a misspelt name) would hide a block from the check above."""
    for path in DOCS:
        text = path.read_text()
        begins = re.findall(r"<!-- generated:([\w.-]+) begin -->", text)
        ends = re.findall(r"<!-- generated:([\w.-]+) end -->", text)
        assert sorted(begins) == sorted(ends) == sorted(b["name"] for b in blocks(path)), path


def test_write_block_replaces_the_body_and_stamps_it(generated, tmp_path):
    page = tmp_path / "page.md"
    page.write_text("before\n<!-- generated:t begin -->\nold\n<!-- generated:t end -->\nafter\n")
    generated.write_block(page, "t", "new body\n", "bash scripts/x.sh")
    generated.write_block(page, "t", "newer body", "bash scripts/x.sh", commit="abc1234",
                          date="2026-01-02")
    text = page.read_text()
    assert text.startswith("before\n") and text.endswith("\nafter\n") and "body" not in text.replace("newer body", "")
    (b,) = blocks(page)
    assert (b["name"], b["command"], b["commit"], b["date"]) == ("t", "bash scripts/x.sh", "abc1234",
                                                                 "2026-01-02")
    head = git("rev-parse", "--short", "HEAD").stdout.strip()
    assert generated.commit_stamp([]).split("+")[0] == head


@pytest.mark.parametrize("text", ["no markers\n", "<!-- generated:t begin -->\n" * 2 +
                                  "<!-- generated:t end -->\n"])
def test_write_block_refuses_a_page_without_exactly_one_pair(generated, tmp_path, text):
    page = tmp_path / "page.md"
    page.write_text(text)
    with pytest.raises(RuntimeError, match="generated:t"):
        generated.write_block(page, "t", "body", "cmd")
    assert page.read_text() == text

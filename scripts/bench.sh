#!/usr/bin/env bash
# Runs the benchmark (bench/bench.py) after setting up what it needs: Debian's redis-server
# and valgrind when missing, and a virtual environment .venv-bench holding this checkout's
# package with the bench extra, rebuilt whenever the sources change. The module is
# installed unstripped there, so that profilers name its functions. Writes bench/results/
# and, after a full run, README.md's results.
#
#   bash scripts/bench.sh                    # every figure (a few minutes)
#   bash scripts/bench.sh --quick            # a short smoke run (bench/results/partial.*)
#   bash scripts/bench.sh --only 1,5         # some figures; --micro: only the own cost
#   bash scripts/bench.sh --parser hiredis   # redis-py with hiredis (installed here)
#   bash scripts/bench.sh --help             # every option (all arguments go to bench.py)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
command -v valgrind >/dev/null || apt_ensure valgrind
build_venv .venv-bench build/bench-wheelhouse bench -C build-dir=build/bench -C install.strip=false
if [[ " $* " =~ \ --parser[=\ ]hiredis\  ]] && ! .venv-bench/bin/python -c "import hiredis" 2>/dev/null; then
    echo "bench: installing hiredis into .venv-bench" >&2
    .venv-bench/bin/python -m pip install -q --disable-pip-version-check hiredis
fi
exec .venv-bench/bin/python bench/bench.py "$@"

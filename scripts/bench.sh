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
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"
venv="$root/.venv-bench"
py="$venv/bin/python"

ensure_redis_server
command -v valgrind >/dev/null 2>&1 || apt_ensure valgrind

python=${PYTHON:-python3.11}
[ -x "$py" ] || "$python" -m venv "$venv"
# The package and the logger stand-in (without the kit, zarn_sdk.logging comes from there),
# built and installed again only when a file that goes into them changed since the last time.
stamp=$(sources_stamp "$root")
if [ "$(cat "$venv/.sources-stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "bench: building and installing the package into .venv-bench" >&2
    "$py" -m pip install -q --disable-pip-version-check \
        -C build-dir=build/bench -C install.strip=false "$root[bench]" "$root/logger-standin"
    echo "$stamp" > "$venv/.sources-stamp"
fi
if [[ " $* " =~ \ --parser[=\ ]hiredis\  ]] && ! "$py" -c "import hiredis" 2>/dev/null; then
    echo "bench: installing hiredis into .venv-bench" >&2
    "$py" -m pip install -q --disable-pip-version-check hiredis
fi

cd "$root"
exec "$py" bench/bench.py "$@"

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
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
venv="$root/.venv-bench"
py="$venv/bin/python"

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
apt_install() {
    echo "bench: installing Debian's $*" >&2
    as_root apt-get update -q >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$@" >/dev/null
}

command -v redis-server >/dev/null 2>&1 || apt_install redis-server
command -v valgrind >/dev/null 2>&1 || apt_install valgrind

python=${PYTHON:-python3.11}
[ -x "$py" ] || "$python" -m venv "$venv"
# The package, and the logger stand-in where it is a distribution of its own (without the
# kit, zarn_sdk.logging comes from there); rebuilt when anything that goes into them changed
# since the last install.
sources=(native python CMakeLists.txt pyproject.toml)
standin=()
if [ -d "$root/logger-standin" ]; then sources+=(logger-standin); standin=("$root/logger-standin"); fi
stamp=$(cd "$root" && find "${sources[@]}" -type f ! -name '*.pyc' -print0 | sort -z \
            | xargs -0 sha256sum | sha256sum | cut -c1-16)
if [ "$(cat "$venv/.bench-stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "bench: building and installing the package into .venv-bench" >&2
    "$py" -m pip install -q --disable-pip-version-check \
        -C build-dir=build/bench -C install.strip=false "$root[bench]" "${standin[@]}"
    echo "$stamp" > "$venv/.bench-stamp"
fi
if [[ " $* " =~ \ --parser[=\ ]hiredis\  ]] && ! "$py" -c "import hiredis" 2>/dev/null; then
    echo "bench: installing hiredis into .venv-bench" >&2
    "$py" -m pip install -q --disable-pip-version-check hiredis
fi

cd "$root"
exec "$py" bench/bench.py "$@"

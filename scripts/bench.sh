#!/usr/bin/env bash
# Runs the benchmark (bench/bench.py) against a throwaway redis-server, after setting up what
# it needs: Debian's redis-server and redis-tools (redis-benchmark) when missing, and a
# virtual environment .venv-bench holding this checkout's package with the bench extra,
# rebuilt whenever the sources change. The module is installed unstripped there, so that
# profilers name its functions.
#
#   bash scripts/bench.sh                    # the table and plot, redis-py's own parser
#   bash scripts/bench.sh --quick            # a shorter run; other options go to bench.py
#   bash scripts/bench.sh --parser hiredis   # with the hiredis parser (installed here)
#   bash scripts/bench.sh --parser both      # both runs, then their absolute figures side by side
#   bash scripts/bench.sh --micro [--method read_zarn_data] [--profile]
#                                            # the module's own cost per call (bench/micro.py)
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

parser=python
micro=0
args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --parser) parser=$2; shift 2 ;;
        --parser=*) parser=${1#--parser=}; shift ;;
        --micro) micro=1; shift ;;
        *) args+=("$1"); shift ;;
    esac
done
case "$parser" in python|hiredis|both) ;; *) echo "bench: --parser python|hiredis|both" >&2; exit 2 ;; esac

command -v redis-server >/dev/null 2>&1 || apt_install redis-server
command -v redis-benchmark >/dev/null 2>&1 || apt_install redis-tools
if [ "$micro" = 1 ] && ! command -v valgrind >/dev/null 2>&1; then apt_install valgrind; fi

python=${PYTHON:-python3.11}
[ -x "$py" ] || "$python" -m venv "$venv"
# Rebuild when anything that goes into the package changed since the last install.
stamp=$(cd "$root" && find native python CMakeLists.txt pyproject.toml -type f \
            ! -name '*.pyc' -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -c1-16)
if [ "$(cat "$venv/.bench-stamp" 2>/dev/null)" != "$stamp" ]; then
    echo "bench: building and installing the package into .venv-bench" >&2
    "$py" -m pip install -q --disable-pip-version-check \
        -C build-dir=build/bench -C install.strip=false "$root[bench]"
    echo "$stamp" > "$venv/.bench-stamp"
fi
if [ "$parser" != python ] && ! "$py" -c "import hiredis" 2>/dev/null; then
    echo "bench: installing hiredis into .venv-bench" >&2
    "$py" -m pip install -q --disable-pip-version-check hiredis
fi

cd "$root"
if [ "$micro" = 1 ]; then
    exec "$py" bench/micro.py "${args[@]}"
fi
if [ "$parser" = both ]; then
    "$py" bench/bench.py --parser python --tag bench-python "${args[@]}"
    "$py" bench/bench.py --parser hiredis --tag bench-hiredis "${args[@]}"
    exec "$py" bench/bench.py --compare bench/results/bench-python.json bench/results/bench-hiredis.json
fi
exec "$py" bench/bench.py --parser "$parser" "${args[@]}"

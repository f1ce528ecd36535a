#!/usr/bin/env bash
# Prepares this checkout on a fresh Debian machine: Debian's redis-server and redis-sentinel,
# g++, CPython 3.11's headers and venv when missing; the module's wheel and the logger
# stand-in's wheel built from this checkout into build/wheelhouse; and a virtual environment
# (.venv) holding both, with the module's dependencies and test tools from PyPI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"

ensure_redis_server
python=$(find_python 3.11)
ensure_python_dev "$python"

venv=$root/.venv
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
echo "setup: building the module's and the logger stand-in's wheels into build/wheelhouse" >&2
"$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps \
    -w "$root/build/wheelhouse" "$root" "$root/logger-standin"
echo "setup: installing them into .venv" >&2
install_wheelhouse "$venv/bin/python" "$root/build/wheelhouse"

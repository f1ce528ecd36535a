#!/usr/bin/env bash
# Prepares this checkout on a fresh machine: Debian's redis-server when it is missing, and a
# virtual environment (.venv) holding the package built from this checkout with its test extras.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if ! command -v redis-server >/dev/null 2>&1; then
    echo "setup: installing Debian's redis-server" >&2
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q redis-server >/dev/null
fi

python=${PYTHON:-python3.11}
if [ ! -x "$root/.venv/bin/python" ]; then
    "$python" -m venv "$root/.venv"
fi
echo "setup: building and installing the package into .venv" >&2
"$root/.venv/bin/python" -m pip install -q --disable-pip-version-check "$root[test]"

#!/usr/bin/env bash
# Prepares this checkout on a fresh Debian machine: Debian's redis-server and redis-sentinel,
# g++, CPython 3.11's headers and venv when missing; the module's and the logger stand-in's
# wheels built into build/wheelhouse and installed into .venv with the module's dependencies
# and test tools from PyPI, again only when a file that goes into them has changed.
#
#   bash scripts/setup.sh        (no options; scripts/test.sh and scripts/demo.sh run it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/common.sh
no_arguments "$0" "$@"

ensure_redis_server
stamp=$(sources_stamp "$root")
if [ "$(cat .venv/.sources-stamp 2>/dev/null)" = "$stamp" ] &&
    find_wheelhouse_wheels .venv/bin/python build/wheelhouse 2>/dev/null; then
    exit 0
fi
make_venv .venv
echo "setup: building the module's and the logger stand-in's wheels into build/wheelhouse and installing them into .venv" >&2
build_and_install .venv build/wheelhouse
echo "$stamp" >.venv/.sources-stamp

#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh) and runs the whole test suite against a real
# redis-server that the tests start on a free loopback port.
#
#   bash scripts/test.sh                       the whole suite
#   bash scripts/test.sh -q tests/test_keys.py arguments go to pytest (which refuses
#                                              unknown options; `-- --help` for its own)
#   bash scripts/test.sh --help                this text
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
help_first "$0" "$@"
[ "${1:-}" != -- ] || shift
build_venv .venv build/wheelhouse test  # what scripts/setup.sh does; exports the wheels' paths
exec .venv/bin/python -m pytest "$@"

#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh) and runs the whole test suite against a real
# redis-server that the tests start on a free loopback port. Extra arguments go to pytest.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"
"$root/scripts/setup.sh"
cd "$root"
find_wheelhouse_wheels .venv/bin/python "$root/build/wheelhouse"
exec .venv/bin/python -m pytest "$@"

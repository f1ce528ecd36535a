#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh) and runs the demo: a frame producer and a consumer
# passing records through a throwaway redis-server. Extra arguments go to examples/demo.py.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
exec "$root/.venv/bin/python" "$root/examples/demo.py" "$@"

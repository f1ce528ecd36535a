#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh; nothing is rebuilt when the sources have not
# changed) and runs the demo, examples/demo.py: a frame producer and a consumer passing
# records through a throwaway redis-server, or through the server given.
#
#   bash scripts/demo.sh                       10 s against a throwaway server
#   bash scripts/demo.sh --host 10.0.0.5       an existing server (also $REDIS_HOST)
#   bash scripts/demo.sh --help                the demo's options (all arguments go to it)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
exec "$root/.venv/bin/python" "$root/examples/demo.py" "$@"

#!/usr/bin/env bash
# The whole test suite (CPython 3.11, x86_64) with the lowest dependencies that pyproject.toml
# admits (redis>=4.3.4 -> redis==4.3.4, orjson>=3.9 -> orjson==3.9), in .venv-floors: a floor
# that stops working is found here first. Arguments go to pytest. ZARN_REDIS=X.Y.Z (or
# "newest") takes that redis-py instead, in .venv-redis-X.Y.Z (scripts/faults.py does so).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"
help_first "$0" "$@"
"$root/scripts/setup.sh"
cd "$root"
python=$(find_python 3.11)
venv=$root/.venv-floors
[ -z "${ZARN_REDIS:-}" ] || venv=$root/.venv-redis-$ZARN_REDIS
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
install_wheelhouse "$venv/bin/python" "$root/build/wheelhouse"
mapfile -t floors < <("$python" - <<'PY'
import os, re, tomllib
deps = tomllib.load(open("pyproject.toml", "rb"))["project"]["dependencies"]
pins = {n: f"{n}=={v}" for n, v in (re.fullmatch(r"([\w.-]+)\s*>=\s*([\d.]+)", d).groups() for d in deps)}
redis = os.environ.get("ZARN_REDIS") or pins["redis"].split("==")[1]
pins["redis"] = "redis" if redis == "newest" else f"redis=={redis}"
print(*pins.values(), sep="\n")
PY
)
"$venv/bin/python" -m pip install -q -U --disable-pip-version-check "${floors[@]}"
"$venv/bin/python" -m pip check
echo "floors: $("$venv/bin/python" -m pip list --format=freeze 2>/dev/null | grep -iE '^(redis|orjson)==' | tr '\n' ' ')" >&2
exec "$venv/bin/python" -m pytest "$@"

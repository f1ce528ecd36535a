#!/usr/bin/env bash
# Builds every wheel and the sdist into dist/ and prints a table of them: file, tag, the
# newest symbol versions the extension needs, size. On a Debian bookworm x86_64 machine, as
# root (it installs what it needs):
#
#   - the module's wheel for each target (scripts/target.sh --wheel-only, which also prints
#     what each one needs and tags it with its manylinux policy): x86_64 for CPython 3.11
#     to 3.15; armv7l hard-float and aarch64, each for bookworm's 3.11, trixie's 3.13 and
#     forky's 3.14;
#   - the logger stand-in's wheel (pure Python);
#   - the sdist, which it then builds and installs with pip in a new virtual environment.
#
# The targets' tests are scripts/target.sh's runs (docs/targets.md).
#
#   bash scripts/wheels.sh       (no options)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/common.sh"
no_arguments "$0" "$@"
dist=$root/dist

targets=("x86_64 3.11" "x86_64 3.12" "x86_64 3.13" "x86_64 3.14" "x86_64 3.15"
         "armhf bookworm" "armhf trixie" "armhf forky" "arm64 bookworm" "arm64 trixie" "arm64 forky")
for target in "${targets[@]}"; do
    # shellcheck disable=SC2086  # ARCH RELEASE
    bash "$root/scripts/target.sh" --wheel-only $target
done
tools=$root/.targets/tools-py3.11
standin=$(newest "$dist"/zarn_sdk_logger_standin-*-py3-none-any.whl)

printf '\n== wheels: sdist\n' >&2
rm -f "$dist"/zarn_sdk_redis-*.tar.gz
"$tools/bin/python" -m build -q --sdist --no-isolation --outdir "$dist" "$root" >/dev/null
sdist=$(newest "$dist"/zarn_sdk_redis-*.tar.gz)
echo "sdist: ${sdist#"$root"/} ($(tar -tzf "$sdist" | wc -l) files)"

printf '\n== wheels: the sdist built and installed by pip (CPython 3.11, new virtual environment)\n' >&2
check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
python=$(find_python 3.11)
"$python" -m venv "$check/venv"
"$check/venv/bin/python" -m pip install -q --disable-pip-version-check "$sdist" "$standin"
"$check/venv/bin/python" - <<'PY'
import zarn_sdk.redis.redis_wrapper as rw
r = rw.RedisWrapper(thread=False, host="127.0.0.1", port=6379)
print("sdist install: imports", rw.__file__.split("site-packages/")[1], "and constructs", type(r).__name__)
PY

printf '\n== wheels: dist/\n' >&2
"$tools/bin/python" "$root/scripts/wheel_table.py" "$dist"/zarn_sdk_*.whl "$sdist"

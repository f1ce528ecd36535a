#!/usr/bin/env bash
# Builds every wheel and the sdist into dist/, on a Debian 12 x86_64 machine, as root: each
# target's wheel (scripts/target.sh --wheel-only, which checks it and gives it its manylinux
# tag), the logger stand-in's and the sdist, which pip then builds and installs in a new
# virtual environment. Prints a table of dist/: file, tag, newest symbol versions needed, size.
#
#   bash scripts/wheels.sh       (no options)
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
no_arguments "$0" "$@"
python=$(find_python 3.11)
while read -r arch word _; do
    bash scripts/target.sh --wheel-only "$arch" "$word" </dev/null
done < <("$python" scripts/targets.py --list)

printf '\n== wheels: sdist\n' >&2
rm -f dist/zarn_sdk_redis-*.tar.gz
.targets/tools-py3.11/bin/python -m build -q --sdist --no-isolation --outdir dist . >/dev/null
sdist=$(newest dist/zarn_sdk_redis-*.tar.gz)
echo "sdist: $sdist ($(tar -tzf "$sdist" | wc -l) files)"

printf '\n== wheels: the sdist built and installed by pip (CPython 3.11, new virtual environment)\n' >&2
check=$(mktemp -d)
trap 'rm -rf "$check"' EXIT
"$python" -m venv "$check/venv"
"$check/venv/bin/python" -m pip install -q --disable-pip-version-check "$sdist" \
    "$(newest dist/zarn_sdk_logger_standin-*-py3-none-any.whl)"
"$check/venv/bin/python" -c 'import zarn_sdk.redis.redis_wrapper as rw; r = rw.RedisWrapper(thread=False)
print("sdist install: imports", rw.__file__.split("site-packages/")[1], "and constructs", type(r).__name__)'

printf '\n== wheels: dist/\n' >&2
for file in dist/zarn_sdk_*.whl "$sdist"; do
    name=${file##*/} tag=sdist needs=-
    if [[ $name == *.whl ]]; then
        tag=${name%.whl} && tag=${tag#*-*-} && rm -rf "$check/so" && "$python" -m zipfile -e "$file" "$check/so"
        so=$(find "$check/so" -name '*.so') && [ -z "$so" ] || needs=$(needed_versions "$so")
    fi
    printf '%s\t%s\t%s\t%d KiB\n' "$name" "$tag" "$needs" $(($(stat -c %s "$file") / 1024))
done | column -t -s $'\t' -N file,tag,"needs (newest symbol versions)",size

#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer (CMake option
# ZARN_SANITIZE; build/asan), installs its wheel into .venv-asan and runs the whole test suite
# with the sanitizer runtimes preloaded into the stock interpreter; any sanitizer report, from
# the tests or a process they start, fails the run (docs/sanitizers.md).
#
#   bash scripts/sanitize.sh                    the whole suite
#   bash scripts/sanitize.sh -q tests/test_keys.py   arguments go to pytest
#   bash scripts/sanitize.sh --help             this text
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/common.sh
help_first "$0" "$@"

# shellcheck disable=SC2046  # one word per package
for lib in libasan.so libubsan.so; do
    [ -e "$(gcc -print-file-name=$lib 2>/dev/null)" ] || apt_ensure $(packages compiler asan)
done
build_venv .venv-asan build/asan-wheelhouse test -C build-dir=build/asan \
    -C cmake.build-type=RelWithDebInfo -C cmake.define.ZARN_SANITIZE=ON

reports=$(mktemp -d) pid=
# A process that halts on a report leaves its servers running, in the run's process group.
trap '[ -z "$pid" ] || kill -- -"$pid" 2>/dev/null || true; rm -rf "$reports"' EXIT
# PYTHONMALLOC=malloc: a reference released once too often shows as a use-after-free. No leak
# detection: the interpreter keeps its allocations; the reference-count tests catch ours.
# ASan reports into files, from every process; UBSan to stderr only, which pytest leaves alone
# here (--capture=sys), so the test process's own report is kept; a child's halts it.
status=0
setsid env LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)" \
    ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$reports/asan" PYTHONMALLOC=malloc \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    .venv-asan/bin/python -m pytest -p no:cacheprovider --capture=sys "$@" 2>"$reports/stderr" &
pid=$!
wait "$pid" || status=$?
cat "$reports/stderr" >&2
if compgen -G "$reports/asan.*" >/dev/null || grep -q "runtime error:" "$reports/stderr"; then
    echo "sanitize: FAILED: sanitizer reports" >&2
    cat "$reports"/asan.* >&2 2>/dev/null || true
    exit 1
fi
exit "$status"

#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer (CMake option
# ZARN_SANITIZE) as a wheel (build folder build/asan, wheel in build/asan-wheelhouse), installs
# it with the logger stand-in into a virtual environment of its own (.venv-asan) and runs the whole test suite with the sanitizer runtimes preloaded into the stock
# interpreter. Any sanitizer report, from the test process or from a process that it starts,
# fails the run. Extra arguments go to pytest.
#
# PYTHONMALLOC=malloc sends object memory through ASan's allocator, so a reference released
# once too often shows as a use-after-free. Leak detection is off: the interpreter keeps
# its own allocations until exit; leaks of ours are what the reference-count tests catch.
#
#   bash scripts/sanitize.sh                    the whole suite
#   bash scripts/sanitize.sh -q tests/test_keys.py   arguments go to pytest
#   bash scripts/sanitize.sh --help             this text
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

. "$root/scripts/common.sh"
help_first "$0" "$@"

ensure_redis_server
command -v g++ >/dev/null 2>&1 || apt_ensure g++
if command -v gcc >/dev/null 2>&1; then
    for lib in libasan.so libubsan.so; do
        [ -e "$(gcc -print-file-name=$lib)" ] || apt_ensure libgcc-12-dev
    done
fi

python=$(find_python 3.11)
ensure_python_dev "$python"
venv=$root/.venv-asan
wheelhouse=$root/build/asan-wheelhouse
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
pip=("$venv/bin/python" -m pip --disable-pip-version-check)
"${pip[@]}" install -q scikit-build-core
command -v cmake >/dev/null 2>&1 || "${pip[@]}" install -q cmake ninja
echo "sanitize: building the instrumented module's wheel (build/asan) and installing it into .venv-asan" >&2
PATH=$venv/bin:$PATH "${pip[@]}" wheel -q --no-build-isolation --no-deps -w "$wheelhouse" \
    -C build-dir=build/asan -C cmake.build-type=RelWithDebInfo -C cmake.define.ZARN_SANITIZE=ON "$root"
"${pip[@]}" wheel -q --no-deps -w "$wheelhouse" "$root/logger-standin"
install_wheelhouse "$venv/bin/python" "$wheelhouse"

reports=$(mktemp -d)
pid=
cleanup() {
    # A process that halts on a report leaves the servers it started running: they are in
    # the test run's own process group, which goes now.
    [ -z "$pid" ] || kill -- -"$pid" 2>/dev/null || true
    rm -rf "$reports"
}
trap cleanup EXIT
export LD_PRELOAD="$(gcc -print-file-name=libasan.so):$(gcc -print-file-name=libubsan.so)"
export ASAN_OPTIONS="detect_leaks=0:halt_on_error=1:log_path=$reports/asan"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export PYTHONMALLOC=malloc

# ASan writes its reports to files, from every process. UBSan, loaded beside ASan, writes to
# stderr only: pytest captures Python's streams but leaves file descriptor 2 alone here, so a
# report of the test process itself is kept before the process halts; a child process that
# reports halts with status 1, which its test sees.
status=0
setsid "$venv/bin/python" -m pytest -p no:cacheprovider --capture=sys "$@" 2>"$reports/stderr" &
pid=$!
wait "$pid" || status=$?
cat "$reports/stderr" >&2
unset LD_PRELOAD
if compgen -G "$reports/asan.*" >/dev/null || grep -q "runtime error:" "$reports/stderr"; then
    echo "sanitize: FAILED: sanitizer reports" >&2
    cat "$reports"/asan.* >&2 2>/dev/null || true
    exit 1
fi
exit "$status"

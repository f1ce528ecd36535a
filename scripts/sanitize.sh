#!/usr/bin/env bash
# Builds the module with AddressSanitizer and UndefinedBehaviorSanitizer (CMake option
# ZARN_SANITIZE) into a virtual environment of its own (.venv-asan, build folder build/asan)
# and runs the whole test suite with the sanitizer runtimes preloaded into the stock
# interpreter. Any sanitizer report, from the test process or from a process that it starts,
# fails the run. Extra arguments go to pytest.
#
# PYTHONMALLOC=malloc sends object memory through ASan's allocator, so a reference released
# once too often shows as a use-after-free. Leak detection is off: the interpreter keeps
# its own allocations until exit; leaks of ours are what the reference-count tests catch.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

missing=()
command -v redis-server >/dev/null 2>&1 || missing+=(redis-server)
command -v g++ >/dev/null 2>&1 || missing+=(g++)
if command -v gcc >/dev/null 2>&1; then
    for lib in libasan.so libubsan.so; do
        [ -e "$(gcc -print-file-name=$lib)" ] || missing+=(libgcc-12-dev)
    done
fi
if [ ${#missing[@]} -gt 0 ]; then
    echo "sanitize: installing ${missing[*]}" >&2
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}" >/dev/null
fi

python=${PYTHON:-python3.11}
venv=$root/.venv-asan
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
pip=("$venv/bin/python" -m pip install -q --disable-pip-version-check)
"${pip[@]}" scikit-build-core
command -v cmake >/dev/null 2>&1 || "${pip[@]}" cmake ninja
echo "sanitize: building the instrumented module into .venv-asan" >&2
PATH=$venv/bin:$PATH "${pip[@]}" --no-build-isolation -C build-dir=build/asan \
    -C cmake.build-type=RelWithDebInfo -C cmake.define.ZARN_SANITIZE=ON "$root[test]"

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

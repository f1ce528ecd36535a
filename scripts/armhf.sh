#!/usr/bin/env bash
# The armv7l (32-bit ARM Linux, hard-float) delivery in one command, on a Debian bookworm
# x86_64 machine, as root:
#
#   1. installs what it needs: the armhf cross compiler, CPython 3.11's armhf headers,
#      qemu-user-static, mmdebstrap, redis-server (apt) and the build tools (pip, in
#      .armhf/venv);
#   2. cross-builds the wheel zarn_sdk_redis-*-cp311-cp311-linux_armv7l.whl into
#      dist/armhf/ (cmake/armhf-toolchain.cmake) and checks it: an ARM EABI5 hard-float
#      shared object, the armv7l tag, the same Python files as the package;
#   3. makes an armhf root file system with Debian's python3.11 (.armhf/rootfs, kept and
#      reused; mmdebstrap only extracts packages, so nothing runs under emulation there);
#   4. installs the armv7l wheels of the dependencies and test tools from PyPI, plus the
#      wheel built here, into .armhf/rootfs/opt/zarn/site-packages, and precompiles them;
#   5. starts redis-server natively on a free loopback port and runs the same tests/ with
#      the armhf python3.11 under qemu-arm-static; exits with pytest's status.
#
# Arguments go to pytest instead of the default `-q tests`.
# Environment:
#   ZARN_STATIC_LIBSTDCXX=ON   link libstdc++/libgcc into the module (default OFF: the
#                              module uses the device's libstdc++6, see README)
#   ZARN_ARMHF_FRESH=1         start from scratch: throw away .armhf/ (build tools, build
#                              folder, root file system)
#   PYTHON                     the build machine's Python 3.11 (default python3.11)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

cache=$root/.armhf
venv=$cache/venv
rootfs=$cache/rootfs
site=$rootfs/opt/zarn/site-packages
dist=$root/dist/armhf
triplet=arm-linux-gnueabihf
qemu=qemu-arm-static
# Wheel platforms that an armhf Debian bookworm (glibc 2.36) runs: the legacy and the
# PEP 600 names, the manylinux_2_x names down to 2_17, and the plain linux tag.
pip_platforms=(linux_armv7l manylinux2014_armv7l)
for minor in $(seq 36 -1 17); do pip_platforms+=("manylinux_2_${minor}_armv7l"); done

started=$SECONDS
step_start=$SECONDS
step() {
    local now=$SECONDS
    if [ -n "${step_name:-}" ]; then
        printf 'armhf: %s done in %ds\n' "$step_name" $((now - step_start)) >&2
    fi
    step_name=$1
    step_start=$now
    printf '\n== armhf: %s\n' "$1" >&2
}
die() { printf 'armhf: FAILED: %s\n' "$*" >&2; exit 1; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

if [ "${ZARN_ARMHF_FRESH:-0}" = 1 ]; then
    rm -rf "$cache"
fi

# --------------------------------------------------------------------------------------
step "system packages"
python=${PYTHON:-python3.11}
apt_packages=(g++-${triplet} binutils-${triplet} libpython3.11-dev:armhf qemu-user-static
              mmdebstrap redis-server file unzip ca-certificates)
if ! command -v "$python" >/dev/null 2>&1; then
    apt_packages+=(python3.11 python3.11-venv)
elif ! "$python" -c 'import ensurepip, venv' >/dev/null 2>&1; then
    apt_packages+=(python3.11-venv)
fi
missing=()
for pkg in "${apt_packages[@]}"; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
    [ "$status" = installed ] || missing+=("$pkg")
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "installing: ${missing[*]}" >&2
    if ! dpkg --print-foreign-architectures | grep -qx armhf; then
        as_root dpkg --add-architecture armhf
    fi
    as_root apt-get update -q
    as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
"$python" -c 'import sys; assert sys.version_info[:2] == (3, 11), sys.version' ||
    die "$python is not Python 3.11 (the wheel's cp311 tags come from the build interpreter)"

# --------------------------------------------------------------------------------------
step "build tools (.armhf/venv)"
build_requires=$("$python" -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"])')
tools="pip $build_requires cmake ninja"
if [ ! -x "$venv/bin/python" ] || [ "$(cat "$venv/.tools" 2>/dev/null)" != "$tools" ]; then
    rm -rf "$venv"
    "$python" -m venv "$venv"
    # shellcheck disable=SC2086  # one word per requirement
    "$venv/bin/python" -m pip install -q --disable-pip-version-check -U $tools
    echo "$tools" >"$venv/.tools"
fi
pip=("$venv/bin/python" -m pip --disable-pip-version-check)

# --------------------------------------------------------------------------------------
step "cross build of the armv7l wheel"
mkdir -p "$dist"
rm -f "$dist"/*-linux_armv7l.whl
# scikit-build-core names the wheel after _PYTHON_HOST_PLATFORM; python-hints=false keeps
# the build machine's interpreter away from FindPython, which gets the armhf headers and
# extension suffix from the toolchain file instead.
_PYTHON_HOST_PLATFORM=linux-armv7l \
SETUPTOOLS_EXT_SUFFIX=.cpython-311-${triplet}.so \
    "${pip[@]}" wheel -q --no-build-isolation --no-deps -w "$dist" \
    -C cmake.toolchain-file="$root/cmake/armhf-toolchain.cmake" \
    -C cmake.python-hints=false \
    -C cmake.define.ZARN_STATIC_LIBSTDCXX="${ZARN_STATIC_LIBSTDCXX:-OFF}" \
    -C build-dir="$cache/build" \
    "$root"
wheels=("$dist"/*-cp311-cp311-linux_armv7l.whl)
[ ${#wheels[@]} -eq 1 ] && [ -f "${wheels[0]}" ] || die "expected one cp311-cp311-linux_armv7l wheel in $dist"
wheel=${wheels[0]}
echo "wheel: ${wheel#"$root"/}" >&2

# --------------------------------------------------------------------------------------
step "checks of the wheel and its extension module"
inspect=$(mktemp -d)
trap 'rm -rf "$inspect"' EXIT
unzip -q "$wheel" -d "$inspect"
so=$inspect/zarn_sdk/redis/redis_wrapper.cpython-311-${triplet}.so
[ -f "$so" ] || die "the wheel holds no zarn_sdk/redis/redis_wrapper.cpython-311-${triplet}.so"

tags=$(grep '^Tag:' "$inspect"/*.dist-info/WHEEL)
echo "WHEEL $tags"
[ "$tags" = 'Tag: cp311-cp311-linux_armv7l' ] ||
    die "the WHEEL file must carry exactly the tag cp311-cp311-linux_armv7l"
grep -x 'Root-Is-Purelib: false' "$inspect"/*.dist-info/WHEEL >/dev/null ||
    die "the wheel is marked pure-Python"

file_line=$(file -b "$so")
echo "file: ${so#"$inspect"/}: $file_line"
case $file_line in
    "ELF 32-bit LSB shared object, ARM, EABI5"*) ;;
    *) die "the module is not an ELF 32-bit LSB ARM EABI5 shared object" ;;
esac
vfp_line=$(${triplet}-readelf -A "$so" | grep 'Tag_ABI_VFP_args' || true)
echo "readelf -A: ${vfp_line# }"
[[ $vfp_line == *"Tag_ABI_VFP_args: VFP registers" ]] ||
    die "the module does not use the hard-float calling convention (Tag_ABI_VFP_args: VFP registers)"
# What the device must provide: shared libraries and the newest symbol versions needed.
${triplet}-readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/needs: \1/p'
${triplet}-readelf -V "$so" | sed -n 's/.*Name: \([A-Z]*_[0-9.]*\).*/\1/p' | sort -V |
    awk -F_ '{ newest[$1] = $0 } END { for (k in newest) print "needs symbol versions up to: " newest[k] }' | sort

# The same pure-Python files (package code, stubs, py.typed) as the package folder.
expected=$(cd python && find zarn_sdk -type f ! -path '*/__pycache__/*' ! -name '*.pyc' ! -name '*.so' | sort)
actual=$(cd "$inspect" && find zarn_sdk -type f ! -name '*.so' | sort)
if [ "$expected" != "$actual" ]; then
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    die "the wheel's Python files differ from python/zarn_sdk (< package folder, > wheel)"
fi
echo "python files: $(echo "$actual" | wc -l), the same as python/zarn_sdk"

# --------------------------------------------------------------------------------------
step "armhf root file system (.armhf/rootfs)"
# Debian's python3.11 for armhf, as the device has it. --variant=extract only unpacks the
# packages and their dependencies (no maintainer scripts), so no binfmt_misc is needed.
rootfs_packages=python3.11,libstdc++6,libgcc-s1,libc6
. /etc/os-release
suite=${VERSION_CODENAME:?cannot tell the Debian release from /etc/os-release}
if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sources=/etc/apt/sources.list.d/debian.sources
elif [ -f /etc/apt/sources.list ]; then
    sources=/etc/apt/sources.list
else
    die "no apt sources found in /etc/apt"
fi
rootfs_key="$suite $rootfs_packages $(sha256sum "$sources" | cut -c1-16)"
if [ ! -x "$rootfs/usr/bin/python3.11" ] || [ "$(cat "$cache/rootfs.key" 2>/dev/null)" != "$rootfs_key" ]; then
    rm -rf "$rootfs" "$rootfs.new" "$cache/rootfs.key"
    as_root mmdebstrap --quiet --variant=extract --architectures=armhf \
        --include="$rootfs_packages" "$suite" "$rootfs.new" "$sources"
    mv "$rootfs.new" "$rootfs"
    stdlib_compiled=no
    echo "$rootfs_key" >"$cache/rootfs.key"
else
    stdlib_compiled=yes
    echo "reusing $rootfs ($rootfs_key)" >&2
fi
export QEMU_LD_PREFIX=$rootfs
target_python=("$qemu" "$rootfs/usr/bin/python3.11")
# Keep the build machine's own Python packages (~/.local, PYTHONHOME...) out of the target.
export PYTHONNOUSERSITE=1
unset PYTHONHOME PYTHONSTARTUP PYTHONSAFEPATH
PYTHONPATH= "${target_python[@]}" -c 'import platform, sys; print("target:", platform.machine(), "Python", sys.version.split()[0])'

# The .pyc files must carry the target's bytecode magic number. Every 3.11.x release has
# the same one, so the build machine's interpreter can write them (seconds, instead of
# minutes under qemu); if they ever differ, the target interpreter does it itself.
host_magic=$("$venv/bin/python" -c 'import importlib.util; print(importlib.util.MAGIC_NUMBER.hex())')
target_magic=$(PYTHONPATH= "${target_python[@]}" -c 'import importlib.util; print(importlib.util.MAGIC_NUMBER.hex())')
if [ "$host_magic" = "$target_magic" ]; then
    compileall=("$venv/bin/python" -m compileall -q -j0)
else
    echo "bytecode magic differs (build machine $host_magic, target $target_magic): compiling under qemu" >&2
    compileall=(env PYTHONPATH= "${target_python[@]}" -m compileall -q)
fi
if [ "$stdlib_compiled" = no ]; then
    "${compileall[@]}" "$rootfs/usr/lib/python3.11" "$rootfs/usr/lib/python3" >/dev/null
fi

# --------------------------------------------------------------------------------------
step "armv7l Python packages (.armhf/rootfs/opt/zarn/site-packages)"
rm -rf "$site"
mkdir -p "$site"
pip_target=("${pip[@]}" install -q --target "$site" --only-binary=:all:
            --implementation cp --python-version 3.11 --abi cp311)
for p in "${pip_platforms[@]}"; do pip_target+=(--platform "$p"); done
"${pip_target[@]}" "$wheel[test]"
# pip judges environment markers by the interpreter that runs it; let the target's
# interpreter name what it still lacks, until nothing is missing.
for _ in 1 2 3 4 5; do
    mapfile -t unmet < <(PYTHONPATH=$site "${target_python[@]}" \
        "$root/scripts/armhf/unmet_requirements.py" "$site" "zarn-sdk-redis[test]")
    [ ${#unmet[@]} -eq 0 ] && break
    echo "needed on the target only: ${unmet[*]}" >&2
    "${pip_target[@]}" --no-deps "${unmet[@]}"
done
[ ${#unmet[@]} -eq 0 ] || die "requirements still unmet on the target: ${unmet[*]}"
"${compileall[@]}" "$site" >/dev/null
(cd "$site" && ls -d ./*.dist-info | sed 's|^\./||; s|\.dist-info$||' | tr '\n' ' ' | fold -s -w 100 | sed 's/^/installed: /'; echo)

# --------------------------------------------------------------------------------------
step "redis-server on loopback"
port=$("$venv/bin/python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
redis-server --port "$port" --bind 127.0.0.1 --save '' --appendonly no --daemonize no \
    --loglevel warning >"$cache/redis-server.log" 2>&1 &
redis_pid=$!
trap 'kill "$redis_pid" 2>/dev/null; wait "$redis_pid" 2>/dev/null; rm -rf "$inspect"' EXIT
for _ in $(seq 100); do
    redis-cli -p "$port" ping >/dev/null 2>&1 && break
    kill -0 "$redis_pid" 2>/dev/null || die "redis-server exited: $(cat "$cache/redis-server.log")"
    sleep 0.1
done
redis-cli -p "$port" ping >/dev/null || die "redis-server on 127.0.0.1:$port does not answer"
echo "redis-server (pid $redis_pid) on 127.0.0.1:$port" >&2

# --------------------------------------------------------------------------------------
step "tests under qemu-arm-static"
export PYTHONPATH=$site
# Tests that start Python in a subprocess put the emulator in front of sys.executable,
# the rootfs's python3.11 by its full path; QEMU_LD_PREFIX and PYTHONPATH reach the child
# through the environment.
export ZARN_TEST_EMULATOR=$qemu
export ZARN_TEST_REDIS_PORT=$port
# The module must come from the armv7l wheel, and nothing from the build machine's Python.
"${target_python[@]}" - "$rootfs" "$site" "$root" <<'EOF'
import os, sys
rootfs, site, repo = sys.argv[1:]
import zarn_sdk.redis.redis_wrapper as rw
assert rw.__file__.startswith(site + os.sep), rw.__file__
stray = [p for p in sys.path[1:] if not p.startswith((rootfs + os.sep, repo + os.sep))]
assert not stray, f"paths outside the target on sys.path: {stray}"
print("module:", rw.__file__)
EOF
if [ $# -eq 0 ]; then
    set -- -q tests
fi
set +e
"${target_python[@]}" -m pytest "$@"
status=$?
set -e
printf '\narmhf: tests under qemu-arm-static took %ds; all steps %ds; pytest exit status %d\n' \
    $((SECONDS - step_start)) $((SECONDS - started)) "$status" >&2
exit "$status"

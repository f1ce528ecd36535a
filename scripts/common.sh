# Shell functions shared by the scripts (sourced, not run): the table of targets and
# Debian's packages (scripts/targets.txt), root commands, finding a CPython of a given
# version, building and installing the wheels.

as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# table KIND: the rows of that kind (target, arch, release, packages) of scripts/targets.txt,
# without the kind.
table() {
    sed -n "s/^$1 \+//p" "$(dirname "${BASH_SOURCE[0]}")/targets.txt"
}

# packages GROUP...: the Debian packages of those groups of scripts/targets.txt, {py} and
# {triplet} replaced by the values of $py and $triplet.
packages() {
    local group
    for group; do table packages | awk -v g="$group" '$1 == g { $1 = ""; print }'; done |
        sed "s/{py}/${py:-}/g; s/{triplet}/${triplet:-}/g" | xargs
}

# apt_ensure PACKAGE...: installs those of the Debian packages that are not installed yet,
# with one `apt-get update` before; waits for another apt run to finish.
apt_ensure() {
    local missing=() pkg status
    for pkg in "$@"; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$pkg" 2>/dev/null || true)
        [ "$status" = installed ] || missing+=("$pkg")
    done
    [ ${#missing[@]} -gt 0 ] || return 0
    echo "installing Debian's ${missing[*]}" >&2
    as_root apt-get update -q >/dev/null
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
}

# ensure_redis_server: Debian's redis-server and redis-sentinel (for the Sentinel tests;
# elsewhere they run `redis-server --sentinel`), unless both are on PATH already.
ensure_redis_server() {
    command -v redis-server >/dev/null && command -v redis-sentinel >/dev/null ||
        [ ! -f /etc/debian_version ] || apt_ensure $(packages server)
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
        apt_ensure $(py=$want packages python)
        command -v python3.11
        return 0
    fi
    echo "no CPython $want found: set PYTHON, put python$want on PATH or install it with pyenv" >&2
    return 1
}

# ensure_python_dev PYTHON: what building the module and making a virtual environment need
# with that interpreter: a compiler, its headers and venv/ensurepip (Debian splits both off).
ensure_python_dev() {
    command -v g++ >/dev/null 2>&1 || apt_ensure $(packages compiler)
    "$1" -c 'import ensurepip, os, sysconfig, venv
assert os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h"))' 2>/dev/null ||
        apt_ensure $(py=$(python_version "$1") packages python)
}

# needed_versions ELF: the newest symbol version that it needs of each family (GLIBC_,
# GLIBCXX_, CXXABI_, GCC_), on one line.
needed_versions() {
    readelf -V "$1" | sed -n 's/.*Name: \([A-Z]*_[0-9.]*\).*/\1/p' | sort -V |
        awk -F_ '{ newest[$1] = $0 } END { for (k in newest) print newest[k] }' | sort | paste -sd' '
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
    tag=$("$1" -c 'import sys; print("cp%d%d" % sys.version_info[:2])')
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

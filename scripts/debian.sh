# shellcheck shell=bash
# Debian's suites for the targets' roots and package versions (sourced, not run; docs/targets.md):
# the mirror this machine's apt uses, the suites whose indexes are usable now (a mirror mid-sync can
# serve a Packages file that does not match its Release file for hours), mmdebstrap with retries.
# ZARN_DEBIAN_MIRROR, ZARN_DEBIAN_SECURITY_MIRROR; ZARN_APT_TRIES, ZARN_APT_PAUSE (3 tries, 20 s apart).

# debian_mirrors: sets debian_mirror and debian_security_mirror. apt prints the index URIs
# of its own configuration (one-line and deb822 sources alike) without fetching anything.
debian_mirrors() {
    local codename uris
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    uris=$(apt-get update --print-uris 2>/dev/null |
           sed -n "s|^'\([^']*\)/dists/\([^/']*\)/InRelease'.*|\2 \1|p")
    debian_mirror=${ZARN_DEBIAN_MIRROR:-$(awk -v s="$codename" '$1 == s { print $2; exit }' <<<"$uris")}
    debian_security_mirror=${ZARN_DEBIAN_SECURITY_MIRROR:-$(awk -v s="$codename-security" \
        '$1 == s { print $2; exit }' <<<"$uris")}
    [ -n "$debian_mirror" ] ||
        { echo "no Debian mirror found in apt's sources for '$codename': set ZARN_DEBIAN_MIRROR" >&2; return 1; }
    debian_security_mirror=${debian_security_mirror:-$debian_mirror-security}
}

# tries COMMAND...: runs COMMAND until it succeeds, at most ZARN_APT_TRIES times.
tries() {
    local try=1
    until "$@"; do
        [ $((try++)) -lt "${ZARN_APT_TRIES:-3}" ] || return 1
        sleep "${ZARN_APT_PAUSE:-20}"
    done
}

# throwaway_apt ARCH SOURCE_LINES [APT-CACHE-ARG...]: the sources' indexes for ARCH alone in an apt state
# of its own (then apt-cache ARG... on it); fails when they are inconsistent, with apt's first error.
throwaway_apt() (
    dir=$(mktemp -d)
    trap 'rm -rf "$dir"' EXIT
    echo "$2" >"$dir/sources.list"
    apt=(-q -o Dir::State="$dir" -o Dir::State::Status="$dir/status" -o Dir::Cache="$dir/cache"
         -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent
         -o APT::Architecture="$1" -o APT::Architectures::="$1" -o Acquire::Languages=none
         -o Acquire::Check-Valid-Until=false -o APT::Sandbox::User=root -o Debug::NoLocking=1)
    if ! out=$(apt-get update "${apt[@]}" 2>&1) || grep -q '^E:' <<<"$out"; then
        grep -m 1 -E '^ +[A-Z]|^E:' <<<"$out" | sed 's/^ *//; s/ \[IP: [^]]*\]//' || echo "apt-get update failed"
        exit 1
    fi
    [ $# -lt 3 ] || apt-cache "${apt[@]}" "${@:3}"
)

# usable_sources ARCH LINE...: the source lines to use, one a line: the first (the release's
# own suite) as it is, as mmdebstrap reports its failures; each other one unless its indexes
# stay inconsistent or missing for ZARN_APT_TRIES tries (a warning line).
usable_sources() {
    local arch=$1 line errors suite
    echo "$2"
    shift 2
    for line in "$@"; do
        errors=$(tries throwaway_apt "$arch" "$line") && echo "$line" && continue
        suite=$(awk '{ print $(NF - 1) }' <<<"$line")  # deb [OPTIONS] URI SUITE main
        echo "WARNING: the $arch root is made without $suite: its index stayed unusable after" \
            "${ZARN_APT_TRIES:-3} tries (${errors##*$'\n'}); the root serves to build and test," \
            "not to run a device" >&2
    done
}

# release_sources ARCH RELEASE: the usable source lines of RELEASE as a device has them: its own
# suite, and its -updates and -security suites (sid has neither).
release_sources() {
    local keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    debian_mirrors || return 1
    local sources=("deb [signed-by=$keyring] $debian_mirror $2 main")
    if [ "$2" != sid ] && [ "$2" != unstable ]; then
        sources+=("deb [signed-by=$keyring] $debian_mirror $2-updates main"
                  "deb [signed-by=$keyring] $debian_security_mirror $2-security main")
    fi
    usable_sources "$1" "${sources[@]}"
}

# fresh_root DIR MMDEBSTRAP_ARG...: mmdebstrap into DIR, which it wants empty or missing.
fresh_root() { rm -rf "$1" && as_root mmdebstrap "${@:2}"; }
# make_debian_root ARCH RELEASE DIR MMDEBSTRAP_OPTION...: a root of RELEASE for ARCH in DIR from its
# release_sources, in up to ZARN_APT_TRIES tries; the warnings on the suites left out also in DIR.warning.
make_debian_root() {
    local arch=$1 release=$2 sources
    mapfile -t sources < <(release_sources "$arch" "$release" 2>"$3.warning")
    cat "$3.warning" >&2
    [ ${#sources[@]} -gt 0 ] || return 1
    # The release files of testing and sid may have expired on a mirror.
    tries fresh_root "$3" --quiet --architectures="$arch" --aptopt='Acquire::Check-Valid-Until "false"' \
        "${@:4}" "$release" "$3" "${sources[@]}" && return 0
    echo "could not make the $release root for $arch from ${sources[0]}" \
        "after ${ZARN_APT_TRIES:-3} tries (mmdebstrap's errors above)" >&2
    return 1
}

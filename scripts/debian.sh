# Debian roots for the targets (sourced, not run; docs/targets.md): the mirror this machine's
# apt uses, the suites whose indexes are usable now (a mirror mid-sync can serve a Packages file
# that does not match its Release file for hours), mmdebstrap with retries. ZARN_DEBIAN_MIRROR,
# ZARN_DEBIAN_SECURITY_MIRROR; ZARN_APT_TRIES and ZARN_APT_PAUSE (3 tries, 20 s apart).

# debian_mirrors: sets debian_mirror and debian_security_mirror. apt prints the index URIs
# of its own configuration (one-line and deb822 sources alike) without fetching anything.
debian_mirrors() {
    local codename uris
    codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
    uris=$(apt-get update --print-uris 2>/dev/null |
           sed -n "s|^'\([^']*\)/dists/\([^/']*\)/InRelease'.*|\2 \1|p")
    debian_mirror=${ZARN_DEBIAN_MIRROR:-$(awk -v s="$codename" '$1 == s { print $2; exit }' <<<"$uris")}
    debian_security_mirror=${ZARN_DEBIAN_SECURITY_MIRROR:-$(awk -v s="$codename-security" '$1 == s { print $2; exit }' <<<"$uris")}
    [ -n "$debian_mirror" ] ||
        { echo "no Debian mirror found in apt's sources for '$codename': set ZARN_DEBIAN_MIRROR" >&2; return 1; }
    debian_security_mirror=${debian_security_mirror:-$debian_mirror-security}
}

# suite_error ARCH SOURCE_LINE: fetches that one source's indexes for ARCH with apt, in a
# throwaway folder; prints nothing and succeeds when they are consistent, else prints
# apt's first error line.
suite_error() {
    local dir out status=0
    dir=$(mktemp -d)
    mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
    : >"$dir/status"
    echo "$2" >"$dir/sources.list"
    out=$(apt-get update -q -o Dir::State="$dir" -o Dir::State::Lists="$dir/lists" \
              -o Dir::State::Status="$dir/status" -o Dir::Cache="$dir/cache" \
              -o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
              -o APT::Architecture="$1" -o APT::Architectures::="$1" \
              -o Acquire::Languages=none -o Acquire::Check-Valid-Until=false \
              -o APT::Sandbox::User=root -o Debug::NoLocking=1 2>&1) && ! grep -q '^E:' <<<"$out" || status=1
    rm -rf "$dir"
    [ $status = 0 ] || { grep -m 1 -E '^ +[A-Z]|^E:' <<<"$out" | sed 's/^ *//; s/ \[IP: [^]]*\]//' || echo "apt-get update failed"; }
    return $status
}

# usable_sources ARCH LINE...: the source lines to make a root from, one a line: the first
# (the release's own suite) as it is, as mmdebstrap reports its failures; each other one
# unless its indexes stay inconsistent or missing for ZARN_APT_TRIES tries (a warning line).
usable_sources() {
    local arch=$1 line suite error try tries=${ZARN_APT_TRIES:-3}
    echo "$2"
    shift 2
    for line in "$@"; do
        suite=$(awk '{ print $(NF - 1) }' <<<"$line")  # deb [OPTIONS] URI SUITE main
        for ((try = 1; try <= tries; try++)); do
            if error=$(suite_error "$arch" "$line"); then
                echo "$line"
                continue 2
            fi
            [ "$try" -eq "$tries" ] || sleep "${ZARN_APT_PAUSE:-20}"
        done
        echo "WARNING: the $arch root is made without $suite: its index stayed unusable after $tries tries ($error); the root serves to build and test, not to run a device" >&2
    done
}

# make_debian_root ARCH RELEASE DIR MMDEBSTRAP_OPTION...: a root of RELEASE for ARCH in DIR,
# from the release's suite and its usable -updates and -security suites (sid has neither),
# after up to ZARN_APT_TRIES tries of mmdebstrap. Sets debian_root_warnings to the warning
# lines of the suites left out.
make_debian_root() {
    local arch=$1 release=$2 dir=$3 keyring=/usr/share/keyrings/debian-archive-keyring.gpg
    local sources=() notes try tries=${ZARN_APT_TRIES:-3}
    shift 3
    debian_mirrors || return 1
    sources=("deb [signed-by=$keyring] $debian_mirror $release main")
    if [ "$release" != sid ] && [ "$release" != unstable ]; then
        sources+=("deb [signed-by=$keyring] $debian_mirror $release-updates main"
                  "deb [signed-by=$keyring] $debian_security_mirror $release-security main")
    fi
    notes=$(mktemp)
    mapfile -t sources < <(usable_sources "$arch" "${sources[@]}" 2>"$notes")
    debian_root_warnings=$(cat "$notes") && rm -f "$notes"
    [ -z "$debian_root_warnings" ] || echo "$debian_root_warnings" >&2
    for ((try = 1; try <= tries; try++)); do
        rm -rf "$dir"
        # The release files of testing and sid may have expired on a mirror.
        if as_root mmdebstrap --quiet --architectures="$arch" \
               --aptopt='Acquire::Check-Valid-Until "false"' "$@" "$release" "$dir" "${sources[@]}"; then
            return 0
        fi
        [ "$try" -eq "$tries" ] || sleep "${ZARN_APT_PAUSE:-20}"
    done
    echo "could not make the $release root for $arch from ${sources[0]} after $tries tries (mmdebstrap's errors above)" >&2
    return 1
}

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fetches Debian kernels into the cache of the VM suite, with the
# busybox-static of each architecture (Debian 13's, one userland for every
# kernel), unpacked, never installed. What is there already is reused.
#
#   tests/vm/fetch-kernel.sh KERNEL...   KERNEL: ARCH/SUITE[/FLAVOUR], such as
#                                        amd64/bookworm s390x/sid amd64/sid/rt
#   tests/vm/fetch-kernel.sh $(tests/vm/run.sh --kernels)   every kernel the suite boots
#   tests/vm/fetch-kernel.sh --archive   the Debian archive it fetches from
# The kernel of ARCH/SUITE/FLAVOUR is the one that linux-image-FLAVOUR-ARCH
# depends on in SUITE (ppc64el's kernels are named powerpc64le); without a
# FLAVOUR, cloud for amd64 and arm64, none for the others. Its image is where
# the packages put it: in that linux-image-VERSION, or in the linux-binary-
# VERSION it depends on; under boot/ or usr/lib/modules/VERSION/.
#
# It needs no root and changes nothing on the machine: apt runs with a state
# of its own (sources, lists, downloads) and the machine's configuration
# without its hooks, on the Debian archive that the machine's sources name.
# The cache is the guests' (tests/vm/guests.sh): CACHE/KERNEL holds the
# kernel and its version, CACHE/ARCH/busybox the busybox; one fetch at a time
# fills it, and keeps no apt lists.
set -euo pipefail

# shellcheck source=tests/vm/guests.sh
source "${BASH_SOURCE[0]%/*}/guests.sh"
cache=$guest_cache
[ $# -gt 0 ] || { echo "usage: fetch-kernel.sh ARCH/SUITE[/FLAVOUR]... | fetch-kernel.sh --archive" >&2 && exit 2; }

# metapackage ARCH [FLAVOUR]: the package that depends on the kernel.
metapackage() {
    local name=$1
    [ "$1" != ppc64el ] || name=powerpc64le
    case ${2:-} in
    '') case $1 in amd64 | arm64) echo "linux-image-cloud-$name" ;; *) echo "linux-image-$name" ;; esac ;;
    *) echo "linux-image-$2-$name" ;;
    esac
}

# The Debian archive of the machine's sources: from its lists, or, where they
# are missing, the source of the machine's own release.
# shellcheck disable=SC2016 # apt's own format
archive=$(apt-get indextargets --format '$(REPO_URI)' 'Origin: Debian' 'Label: Debian' | head -n 1)
if [ -z "$archive" ]; then
    codename=$(sed -n 's/^VERSION_CODENAME=//p' /etc/os-release 2>/dev/null)
    # shellcheck disable=SC2016
    archive=$(apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' |
        awk -v release="$codename" '$2 == release { print $1; exit }')
fi
if [ -z "$archive" ]; then
    echo "no Debian archive in this machine's apt sources: add one, such as deb.debian.org/debian, and run apt-get update" >&2
    exit 1
fi
[ "$1" != --archive ] || { echo "$archive" && exit 0; }
mkdir -p "$cache"
exec 9>"$cache/lock"
flock 9

# The machine's apt configuration, without the commands it runs around an
# update or an install: its parts and main file copied, the hooks cleared
# after them.
eval "$(apt-config shell machine_parts Dir::Etc::parts/d machine_main Dir::Etc::main/f)"
config=$cache/apt/config
rm -rf "$config"
mkdir -p "$config/parts"
cp "${machine_parts:-/nonexistent}"* "$config/parts/" 2>/dev/null || true
{
    cat "${machine_main:-/dev/null}" 2>/dev/null || true
    for hook in APT::Update::Pre-Invoke APT::Update::Post-Invoke APT::Update::Post-Invoke-Success \
        DPkg::Pre-Invoke DPkg::Post-Invoke; do
        echo "#clear $hook;"
    done
} >"$config/main"
printf 'Dir::Etc::parts "%s";\nDir::Etc::main "%s";\n' "$config/parts/" "$config/main" >"$config/apt.conf"
export APT_CONFIG=$config/apt.conf

# apt_in SUITE ARCHS COMMAND...: apt-get or apt-cache with the state of SUITE.
apt_in() {
    local state=$cache/apt/$1 archs=$2 arch
    shift 2
    # (with its caches, which a container image's configuration may turn off:
    # apt reads the lists once, not at every call)
    local options=(-o Dir::Etc::sourcelist="$state/sources.list" -o Dir::Etc::sourceparts=-
        -o Dir::State::Lists="$state/lists" -o Dir::State::status="$state/status"
        -o Dir::Cache="$state/cache" -o Dir::Cache::pkgcache=pkgcache.bin
        -o Dir::Cache::srcpkgcache=srcpkgcache.bin -o APT::Sandbox::User="$(id -un)")
    for arch in $archs; do options+=(-o APT::Architectures::="$arch"); done
    "$1" "${options[@]}" "${@:2}"
}

# download SUITE ARCHS PACKAGE: the package's .deb in the suite's download
# folder; its path on standard output.
download() {
    local state=$cache/apt/$1
    (cd "$state/download" && apt_in "$1" "$2" apt-get download -qq "$3" >/dev/null 2>&1) || return 1
    ls "$state/download/${3%%:*}"_*.deb
}

# What is missing, by suite: "kernel:ARCH/SUITE[/FLAVOUR]" or "busybox:ARCH".
declare -A wanted
for kernel in "$@"; do
    IFS=/ read -r arch suite flavour <<<"$kernel"
    if [ -z "$arch" ] || [ -z "$suite" ]; then
        echo "not a kernel: $kernel (ARCH/SUITE[/FLAVOUR])" >&2
        exit 2
    fi
    if [ -f "$cache/$kernel/kernel" ]; then
        echo "$kernel: $(cat "$cache/$kernel/version") (cached)"
    else
        wanted[$suite]+="kernel:$kernel "
    fi
    if [ ! -x "$cache/$arch/busybox" ] && [[ " ${wanted[trixie]:-} " != *" busybox:$arch "* ]]; then
        wanted[trixie]+="busybox:$arch "
    fi
done

# fetch SUITE: what is missing from SUITE, with an apt state of its own.
fetch() {
    local suite=$1 archs state item root arch flavour deb kernel meta package candidate binary image file
    archs=$(tr ' ' '\n' <<<"${wanted[$suite]}" | sed -n 's/^[a-z]*:\([^/]*\).*/\1/p' | sort -u | tr '\n' ' ')
    state=$cache/apt/$suite
    rm -rf "$state"
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
    echo "deb $archive $suite main" >"$state/sources.list"
    # nothing installed (an empty file, where /dev/null, written to by any
    # process, would make apt rebuild its cache at every call)
    : >"$state/status"
    apt_in "$suite" "$archs" apt-get update -qq
    for item in ${wanted[$suite]}; do
        root=$state/root
        rm -rf "$root" "$state/download"
        mkdir -p "$root" "$state/download"
        if [ "${item%%:*}" = busybox ]; then
            arch=${item#*:}
            deb=$(download "$suite" "$archs" "busybox-static:$arch")
            dpkg-deb -x "$deb" "$root"
            mkdir -p "$cache/$arch"
            for file in "$root"/bin/busybox "$root"/usr/bin/busybox; do
                [ ! -f "$file" ] || cp "$file" "$cache/$arch/busybox.new"
            done
            mv "$cache/$arch/busybox.new" "$cache/$arch/busybox"
            echo "busybox for $arch: $(dpkg-deb -f "$deb" Version)"
        else
            kernel=${item#*:}
            IFS=/ read -r arch _ flavour <<<"$kernel"
            meta=$(metapackage "$arch" "$flavour")
            # That kernel first; then the others of the flavour, newest
            # first, for a mirror that lags behind its own lists.
            package=
            for candidate in $({
                apt_in "$suite" "$archs" apt-cache depends "$meta:$arch" |
                    sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*\).*/\1/p'
                apt_in "$suite" "$archs" apt-cache pkgnames linux-image- |
                    grep -E "^linux-image-[0-9][^-]*(-[0-9]+)?-${meta#linux-image-}\$" | sort -Vr
            } | awk '!seen[$0]++'); do
                if deb=$(download "$suite" "$archs" "$candidate:$arch"); then
                    package=$candidate
                    break
                fi
                echo "$kernel: $candidate is not on the mirror"
            done
            [ -n "$package" ] || { echo "no $meta for $arch in $suite" >&2 && exit 1; }
            dpkg-deb -x "$deb" "$root"
            # The image itself, or the package of it that the image depends on.
            binary=$(apt_in "$suite" "$archs" apt-cache depends "$package:$arch" |
                sed -n 's/^ *Depends: \(linux-binary-[0-9][^:]*\).*/\1/p' | head -n 1)
            if [ -n "$binary" ]; then
                dpkg-deb -x "$(download "$suite" "$archs" "$binary:$arch")" "$root"
            fi
            image=
            for file in "$root"/boot/vmlinu[xz]-* "$root"/usr/lib/modules/*/vmlinu[xz]; do
                [ ! -f "$file" ] || { image=$file && break; }
            done
            [ -n "$image" ] || { echo "$package: no kernel image in it${binary:+ nor in $binary}" >&2 && exit 1; }
            mkdir -p "$cache/$kernel"
            # copied, then renamed: an interrupted fetch leaves no part of one
            cp "$image" "$cache/$kernel/kernel.new"
            echo "${package#linux-image-}" >"$cache/$kernel/version"
            mv "$cache/$kernel/kernel.new" "$cache/$kernel/kernel"
            echo "$kernel: $(cat "$cache/$kernel/version")"
        fi
        rm -rf "$root" "$state/download"
    done
    # the kernels and busybox are kept, apt's lists and downloads are not
    rm -rf "$state"
}

# Two suites at a time, one a core: their apt lists read and their packages
# unpacked side by side.
running=0
status=0
for suite in "${!wanted[@]}"; do
    if [ "$running" -ge 2 ]; then
        wait -n || status=1
        running=$((running - 1))
    fi
    fetch "$suite" &
    running=$((running + 1))
done
while [ "$running" -gt 0 ]; do
    wait -n || status=1
    running=$((running - 1))
done
exit "$status"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fetches Debian kernels into the cache folder of the VM suite, with the
# busybox-static of each architecture (Debian 13's, one userland for every
# kernel), unpacked, never installed. What is there already is reused. It
# needs no root and changes nothing on the machine: apt runs with a state of
# its own under the cache (sources, lists, downloads), on the archive that the
# machine's own apt sources name.
#
#   tests/vm/fetch-kernel.sh ARCH/SUITE...   such as amd64/bookworm s390x/bookworm
#   tests/vm/fetch-kernel.sh $(tests/vm/run.sh --kernels)   every kernel the suite boots
# The cache is $COREHOP_VM_CACHE, or ~/.cache/corehop-vm: CACHE/ARCH-SUITE
# holds kernel and version, CACHE/busybox-ARCH the busybox.
set -euo pipefail

cache=${COREHOP_VM_CACHE:-$HOME/.cache/corehop-vm}
[ $# -gt 0 ] || { echo "usage: fetch-kernel.sh ARCH/SUITE..." >&2; exit 2; }

# The kernel flavour of each architecture: the package that
# linux-image-FLAVOUR depends on is the kernel.
flavour() {
    case $1 in
    amd64 | arm64) echo "cloud-$1" ;;
    ppc64el) echo powerpc64le ;;
    *) echo "$1" ;;
    esac
}

# The archive of the machine's own Debian sources.
# shellcheck disable=SC2016 # apt's own format
archive=$(apt-get indextargets --format '$(REPO_URI)' 'Origin: Debian' 'Label: Debian' | head -n 1)
[ -n "$archive" ] || { echo "no Debian archive in this machine's apt sources" >&2; exit 1; }

# apt_in SUITE ARCHS COMMAND...: apt-get with the private state of SUITE.
apt_in() {
    local state=$cache/apt/$1 archs=$2 arch
    shift 2
    local options=(-o Dir::Etc::sourcelist="$state/sources.list" -o Dir::Etc::sourceparts=-
        -o Dir::State::Lists="$state/lists" -o Dir::State::status=/dev/null
        -o Dir::Cache="$state/cache" -o Debug::NoLocking=1 -o APT::Sandbox::User="$(id -un)")
    for arch in $archs; do options+=(-o APT::Architectures::="$arch"); done
    "$1" "${options[@]}" "${@:2}"
}

# What is still missing, by suite: "kernel:ARCH" or "busybox:ARCH".
declare -A wanted
for kernel in "$@"; do
    arch=${kernel%/*} suite=${kernel#*/}
    if [ -f "$cache/$arch-$suite/kernel" ]; then
        echo "$arch/$suite: $(cat "$cache/$arch-$suite/version") (cached)"
    else
        wanted[$suite]+="kernel:$arch "
    fi
    if [ ! -x "$cache/busybox-$arch" ] && [[ " ${wanted[trixie]:-} " != *" busybox:$arch "* ]]; then
        wanted[trixie]+="busybox:$arch "
    fi
done

for suite in "${!wanted[@]}"; do
    archs=$(tr ' ' '\n' <<<"${wanted[$suite]}" | sed -n 's/.*://p' | sort -u | tr '\n' ' ')
    state=$cache/apt/$suite
    mkdir -p "$state/lists/partial" "$state/cache/archives/partial"
    echo "deb $archive $suite main" >"$state/sources.list"
    apt_in "$suite" "$archs" apt-get update -qq
    for item in ${wanted[$suite]}; do
        arch=${item#*:} root=$state/root
        rm -rf "$root" "$state/download"
        mkdir -p "$root" "$state/download"
        if [ "${item%:*}" = busybox ]; then
            (cd "$state/download" && apt_in "$suite" "$archs" apt-get download -qq "busybox-static:$arch")
            dpkg-deb -x "$state/download"/busybox-static_*.deb "$root"
            cp "$(ls "$root"/bin/busybox "$root"/usr/bin/busybox 2>/dev/null)" "$cache/busybox-$arch"
            echo "busybox for $arch: $(dpkg-deb -f "$state/download"/busybox-static_*.deb Version)"
        else
            # That kernel first; then the others of the flavour, newest
            # first, for a mirror that lags behind its own lists.
            flavour=$(flavour "$arch")
            package=
            for candidate in $({
                apt_in "$suite" "$archs" apt-cache depends "linux-image-$flavour:$arch" |
                    sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*\).*/\1/p'
                apt_in "$suite" "$archs" apt-cache pkgnames linux-image- |
                    grep -E "^linux-image-[0-9][^-]*(-[0-9]+)?-$flavour\$" | sort -Vr
            } | awk '!seen[$0]++'); do
                if (cd "$state/download" &&
                    apt_in "$suite" "$archs" apt-get download -qq "$candidate:$arch" 2>/dev/null); then
                    package=$candidate
                    break
                fi
                echo "$arch/$suite: $candidate is not on the mirror"
            done
            [ -n "$package" ] || { echo "no linux-image-$flavour for $arch in $suite" >&2; exit 1; }
            dpkg-deb -x "$state/download/$package"_*.deb "$root"
            mkdir -p "$cache/$arch-$suite"
            cp "$(ls "$root"/boot/vmlinu[xz]-*)" "$cache/$arch-$suite/kernel"
            echo "${package#linux-image-}" >"$cache/$arch-$suite/version"
            echo "$arch/$suite: $(cat "$cache/$arch-$suite/version")"
        fi
        rm -rf "$root" "$state/download"
    done
done

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fetches the Debian cloud kernel of each architecture named (default: amd64
# arm64), and the busybox-static of a foreign one, into the cache folder of
# the VM suite, unpacked, never installed. What is there already is reused.
#
#   tests/vm/fetch-kernel.sh [ARCH...]
# The cache is $COREHOP_VM_CACHE, or ~/.cache/corehop-vm; needs apt-get and
# dpkg-deb, and root to add a foreign architecture to apt for a moment.
set -euo pipefail

cache=${COREHOP_VM_CACHE:-$HOME/.cache/corehop-vm}
native=$(dpkg --print-architecture)
[ $# -gt 0 ] || set -- amd64 arm64

added=
cleanup() {
    rm -rf "$cache/.download"
    if [ -n "$added" ]; then
        dpkg --remove-architecture "$added"
        apt-get update -qq || true
    fi
}
trap cleanup EXIT

# unpack ARCH PACKAGE: downloads PACKAGE of ARCH and unpacks it into the
# folder of ARCH. Fails when either step does, also where it is called in a
# condition (which suspends set -e).
unpack() {
    mkdir -p "$cache/.download" "$cache/$1/root" &&
        (cd "$cache/.download" && apt-get download -qq -o APT::Sandbox::User=root "$2:$1") &&
        dpkg-deb -x "$cache/.download/$2"_*"_$1.deb" "$cache/$1/root" &&
        rm -f "$cache/.download/"*.deb
}

for arch in "$@"; do
    if [ -f "$cache/$arch/vmlinuz" ] && { [ "$arch" = "$native" ] || [ -x "$cache/$arch/busybox" ]; }; then
        echo "$arch: $(cat "$cache/$arch/version") (cached)"
        continue
    fi
    if [ "$arch" != "$native" ] && ! dpkg --print-foreign-architectures | grep -qx "$arch"; then
        dpkg --add-architecture "$arch"
        added=$arch
        apt-get update -qq
    fi
    rm -rf "${cache:?}/$arch"
    # The versioned package that the meta-package stands for; apt's lists
    # are brought up to date once where they lack it or name an old one.
    for attempt in 1 2; do
        package=$(apt-cache depends "linux-image-cloud-$arch:$arch" 2>/dev/null |
            sed -n 's/^ *Depends: \(linux-image-[0-9].*\)/\1/p' | sed 's/:.*//' | head -n 1)
        [ -n "$package" ] && unpack "$arch" "$package" && break
        [ "$attempt" = 1 ] || { echo "no cloud kernel for $arch from apt" >&2; exit 1; }
        apt-get update -qq
    done
    cp "$cache/$arch/root/boot/vmlinuz-"* "$cache/$arch/vmlinuz"
    if [ "$arch" != "$native" ]; then
        unpack "$arch" busybox-static
        cp "$cache/$arch/root/bin/busybox" "$cache/$arch/busybox"
    fi
    rm -rf "$cache/$arch/root"
    echo "${package#linux-image-}" >"$cache/$arch/version"
    echo "$arch: $(cat "$cache/$arch/version")"
    if [ -n "$added" ]; then
        dpkg --remove-architecture "$added"
        added=
        apt-get update -qq
    fi
done

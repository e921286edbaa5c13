#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The release: for every target, fully static programs cross-built with
# Debian's cross compiler of that target, packed with the man pages, the bash
# completion, LICENSE and README.md in DIST/corehop-VERSION-linux-ARCH.tar.gz,
# and DIST/SHA256SUMS over them. Two runs from one commit, in fresh folders,
# give the same bytes.
#
#   packaging/release.sh [-o DIST] [-b BUILD] [ARCH...]
# DIST defaults to dist, BUILD (one build folder a target) to build-release,
# both in the source folder; ARCH to every target below. A target whose
# compiler is missing fails the release, naming the package to install.
set -euo pipefail

source=$(cd "$(dirname "$0")/.." && pwd)
dist=$source/dist
build=$source/build-release
while getopts o:b: option; do
    case $option in
    o) dist=$OPTARG ;;
    b) build=$OPTARG ;;
    *) exit 2 ;;
    esac
done
shift $((OPTIND - 1))

# Debian architecture | GNU triple of its compiler | the package with it
targets='amd64|x86_64-linux-gnu|g++
arm64|aarch64-linux-gnu|g++-aarch64-linux-gnu
ppc64el|powerpc64le-linux-gnu|g++-powerpc64le-linux-gnu
s390x|s390x-linux-gnu|g++-s390x-linux-gnu
riscv64|riscv64-linux-gnu|g++-riscv64-linux-gnu
i386|i686-linux-gnu|g++-i686-linux-gnu
armhf|arm-linux-gnueabihf|g++-arm-linux-gnueabihf'
[ $# -gt 0 ] || { mapfile -t all < <(cut -d'|' -f1 <<<"$targets") && set -- "${all[@]}"; }

# What an earlier run left goes first: a failed release leaves none of it.
mkdir -p "$dist"
dist=$(cd "$dist" && pwd)
rm -f "$dist"/corehop-*-linux-*.tar.gz "$dist/SHA256SUMS"

packages=()
for arch in "$@"; do
    row=$(grep "^$arch|" <<<"$targets") || { echo "release: no target $arch" >&2; exit 2; }
    IFS='|' read -r _ triple package <<<"$row"
    if ! command -v "$triple-g++" >/dev/null; then
        echo "release: no compiler for $arch: $triple-g++, from $package" >&2
        packages+=("$package")
    fi
done
if [ ${#packages[@]} -gt 0 ]; then
    echo "release: apt-get install ${packages[*]}" >&2
    exit 1
fi

archives=()
for arch in "$@"; do
    IFS='|' read -r _ triple _ <<<"$(grep "^$arch|" <<<"$targets")"
    rm -rf "${build:?}/$arch"
    cmake -S "$source" -B "$build/$arch" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/cross.cmake" \
        -DCOREHOP_TARGET="$triple" -DCMAKE_BUILD_TYPE=Release -DCOREHOP_STATIC=ON \
        -DCOREHOP_TESTS=OFF >/dev/null
    cmake --build "$build/$arch" --target archive -j 2 >/dev/null
    archive=$(cd "$build/$arch" && echo corehop-*-linux-*.tar.gz)
    # The label comes from the compiler's own target: it must be this one.
    [ "${archive%.tar.gz}" = "${archive%-linux-*}-linux-$arch" ] ||
        { echo "release: the $arch build is labelled ${archive}" >&2; exit 1; }
    cp "$build/$arch/$archive" "$dist/"
    archives+=("$archive")
    echo "$dist/$archive"
done
(cd "$dist" && sha256sum "${archives[@]}" >SHA256SUMS)
echo "$dist/SHA256SUMS"

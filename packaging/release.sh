#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The release: for each target of packaging/targets, fully static programs
# cross-built with Debian's compiler of that target and packed as an install
# lays them out, in DIST/corehop-VERSION-linux-ARCH.tar.gz, and the LAVA test
# definition of lava/ in DIST/corehop-lava-VERSION.tar.gz, with
# DIST/SHA256SUMS over them. Two runs from one commit give the same bytes.
#
#   packaging/release.sh [-o DIST] [-b BUILD] [ARCH...]
#   packaging/release.sh --compilers   the Debian packages of every target's compiler
# DIST defaults to dist, BUILD (a build folder a target) to build-release, both
# in the source folder; ARCH to every target. Every argument and every compiler
# is checked before anything is built. The archives and their sums are made in
# BUILD, and replace their namesakes in DIST only once all are made: a run that
# fails or is interrupted leaves DIST as it was, and no run touches another
# file there (SHA256SUMS keeps the lines of other files).
set -euo pipefail
shopt -s nullglob

source=$(cd "$(dirname "$0")/.." && pwd)
usage='usage: release.sh [-o DIST] [-b BUILD] [ARCH...] | release.sh --compilers'

# shellcheck source=packaging/targets.bash
source "$source/packaging/targets.bash"

# compiler_package ARCH: the Debian package of the target's compiler.
compiler_package() {
    if [ "$1" = "$(dpkg --print-architecture)" ]; then echo g++; else echo "g++-${triple[$1]}"; fi
}

if [ "${1:-}" = --compilers ]; then
    for arch in "${targets[@]}"; do compiler_package "$arch"; done
    exit 0
fi

dist=$source/dist
build=$source/build-release
while getopts o:b:h option; do
    case $option in
    o) dist=$OPTARG ;;
    b) build=$OPTARG ;;
    h) echo "$usage" && exit 0 ;;
    *) echo "$usage" >&2 && exit 2 ;;
    esac
done
shift $((OPTIND - 1))
[ $# -gt 0 ] || set -- "${targets[@]}"

# Each target named exactly, once.
chosen=()
for arch in "$@"; do
    known=0
    for name in "${targets[@]}"; do [ "$name" != "$arch" ] || known=1; done
    if [ "$known" = 0 ]; then
        printf 'release: no target %s; the targets: %s\n%s\n' "$arch" "${targets[*]}" "$usage" >&2
        exit 2
    fi
    [[ " ${chosen[*]} " == *" $arch "* ]] || chosen+=("$arch")
done
[ ! -e "$dist" ] || [ -d "$dist" ] || { echo "release: $dist is not a folder" >&2 && exit 2; }

missing=()
for arch in "${chosen[@]}"; do
    if ! command -v "${triple[$arch]}-g++" >/dev/null; then
        echo "release: no compiler for $arch: ${triple[$arch]}-g++, from $(compiler_package "$arch")" >&2
        missing+=("$(compiler_package "$arch")")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "release: apt-get install ${missing[*]}" >&2
    exit 1
fi

trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

stage=$build/stage
rm -rf "$stage"
mkdir -p "$stage"
made=()
for arch in "${chosen[@]}"; do
    rm -rf "${build:?}/$arch"
    cmake -S "$source" -B "$build/$arch" -DCMAKE_TOOLCHAIN_FILE="$source/cmake/cross.cmake" \
        -DCOREHOP_TARGET="${triple[$arch]}" -DCMAKE_BUILD_TYPE=Release -DCOREHOP_STATIC=ON \
        -DCOREHOP_WERROR=ON -DCOREHOP_TESTS=OFF >/dev/null
    cmake --build "$build/$arch" --target archive -j 2 >/dev/null
    archive=("$build/$arch"/corehop-*-linux-"$arch".tar.gz)
    [ ${#archive[@]} = 1 ] || { echo "release: the $arch build made no archive for $arch" >&2 && exit 1; }
    cp "${archive[0]}" "$stage/"
    made+=("${archive[0]##*/}")
done
# The LAVA test definition, the same from every build: from the first.
cmake --build "$build/${chosen[0]}" --target lava-archive >/dev/null
archive=("$build/${chosen[0]}"/corehop-lava-*.tar.gz)
[ ${#archive[@]} = 1 ] || { echo "release: the ${chosen[0]} build made no corehop-lava archive" >&2 && exit 1; }
cp "${archive[0]}" "$stage/"
made+=("${archive[0]##*/}")

# The sums: those of the files that DIST keeps, then this run's.
(cd "$stage" && sha256sum "${made[@]}") >"$stage/ours"
if [ -f "$dist/SHA256SUMS" ]; then
    printf '%s\n' "${made[@]}" | awk 'NR == FNR { ours[$0]; next }
        !(substr($0, 67) in ours)' - "$dist/SHA256SUMS" >"$stage/SHA256SUMS"
fi
cat "$stage/ours" >>"$stage/SHA256SUMS"
rm "$stage/ours"

# Into DIST: copied beside their namesakes first, then each renamed over its
# namesake, with no signal to stop the renames half-way.
mkdir -p "$dist"
pending=$(mktemp -d "$dist/.release.XXXXXX")
trap 'rm -rf "$pending"' EXIT
cp "$stage"/* "$pending/"
trap '' HUP INT TERM
for file in "${made[@]}" SHA256SUMS; do
    mv -f "$pending/$file" "$dist/$file"
    echo "$dist/$file"
done
rm -rf "$stage"

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A Debian root for CI's stages that need another release or other programs
# than this machine's: made once with mmdebstrap, from the Debian archive of
# this machine's apt sources, and kept in the VM suite's cache
# ($COREHOP_VM_CACHE, or ~/.cache/corehop-vm) as NAME/; made again when the
# suite, the packages or the options change. This machine's apt state is not
# touched: apt runs in the root, with the machine's download settings alone.
#
#   tests/vm/make-root.sh NAME SUITE PACKAGE,... [MMDEBSTRAP-OPTION...]
# Prints the root's folder. One run at a time makes a root (a lock in the
# cache); a failed run leaves none.
set -euo pipefail
[ $# -ge 3 ] || { echo "usage: make-root.sh NAME SUITE PACKAGE,... [MMDEBSTRAP-OPTION...]" >&2 && exit 2; }

name=$1 suite=$2 packages=$3
shift 3
cache=${COREHOP_VM_CACHE:-$HOME/.cache/corehop-vm}
root=$cache/$name
mkdir -p "$cache"
exec 9>"$cache/$name.lock"
flock 9

wanted="$suite $packages $*"
if [ "$(cat "$root/.packages" 2>/dev/null)" != "$wanted" ]; then
    archive=$("$(dirname "$0")/fetch-kernel.sh" --archive)
    # the machine's settings of the download (a proxy, the dates of a
    # snapshot archive), and nothing else of its apt configuration
    aptopts=()
    while IFS= read -r option; do
        aptopts+=(--aptopt="$option")
    done < <(apt-config dump Acquire | grep -E '^Acquire::((https?|ftp)::Proxy|Check-Valid-Until|Check-Date)')
    echo "making a Debian $suite root in $root" >&2
    rm -rf "$root" "$root.new"
    mmdebstrap --quiet --variant=apt --include="$packages" "${aptopts[@]}" "$@" \
        "$suite" "$root.new" "deb $archive $suite main" >&2
    echo "$wanted" >"$root.new/.packages"
    mv "$root.new" "$root"
fi
echo "$root"

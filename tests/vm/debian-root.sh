#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian roots of CI's stages that need another release or other programs
# than this machine's, and of the LAVA test: made once with mmdebstrap, from
# the Debian archive of this machine's apt sources, kept in the guests' cache
# (tests/vm/guests.sh) as NAME/, made again when the suite, the packages or
# the options change; and entered, each time in a throwaway layer over the
# root, in a mount namespace of its own that ends with the command. This
# machine's apt state is not touched: apt runs in the root, with the
# machine's download settings alone.
#
#   tests/vm/debian-root.sh make NAME SUITE PACKAGE,... [MMDEBSTRAP-OPTION...]
#       prints the root's folder; one run at a time makes a root (a lock in
#       the cache), and a failed one leaves none
#   tests/vm/debian-root.sh run ROOT [OPTION...] -- COMMAND [ARG...]
#       COMMAND in ROOT, as root, with an environment of PATH, HOME=/root,
#       LANG=C.UTF-8 alone, /proc, /dev, a tmpfs /tmp and /sys (with the
#       cgroup file systems below it) mounted, the root that of its mount
#       namespace (as on a machine, not a chroot); its status is COMMAND's.
#       --sys bind            /sys without the file systems below it, as a
#                             buildd's chroot has it (--sys rbind: with them)
#       --bind FROM:TO[:ro]   the folder FROM of this machine as TO
#       --tmpfs TO            an empty tmpfs as TO
#       --env NAME=VALUE      one more variable of the environment
set -euo pipefail

usage() {
    echo "usage: debian-root.sh make NAME SUITE PACKAGE,... [MMDEBSTRAP-OPTION...]"
    echo "       debian-root.sh run ROOT [--sys bind|rbind] [--bind FROM:TO[:ro]]... [--tmpfs TO]... [--env NAME=VALUE]... -- COMMAND [ARG...]"
}

# detach FOLDER: whatever is mounted in FOLDER, as a run killed before the
# namespaces above left it, detached, deepest first, so that removing the
# folder never reaches into this machine's /dev, /sys or /proc.
detach() {
    local point
    while read -r point; do
        umount --lazy "$point"
    done < <(awk -v top="$1" '$5 == top || index($5, top "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r)
}

make_root() {
    [ $# -ge 3 ] || { usage >&2 && exit 2; }
    local name=$1 suite=$2 packages=$3 guest_cache
    shift 3
    # shellcheck source=tests/vm/guests.sh
    source "${BASH_SOURCE[0]%/*}/guests.sh"
    local root=$guest_cache/$name
    mkdir -p "$guest_cache"
    exec 9>"$guest_cache/$name.lock"
    flock 9
    local wanted="$suite $packages $*"
    if [ "$(cat "$root/.packages" 2>/dev/null)" != "$wanted" ]; then
        local archive option aptopts=()
        archive=$("${BASH_SOURCE[0]%/*}/fetch-kernel.sh" --archive)
        # the machine's settings of the download (a proxy, the dates of a
        # snapshot archive), and nothing else of its apt configuration
        while IFS= read -r option; do
            aptopts+=(--aptopt="$option")
        done < <(apt-config dump Acquire | grep -E '^Acquire::((https?|ftp)::Proxy|Check-Valid-Until|Check-Date)')
        echo "making a Debian $suite root in $root" >&2
        detach "$root" && detach "$root.new"
        rm -rf --one-file-system "$root" "$root.new"
        # mmdebstrap mounts /proc, /sys and /dev in the root it makes: in a
        # mount namespace of its own, they end with it, killed or not
        unshare --mount --propagation private mmdebstrap --quiet --variant=apt --include="$packages" "${aptopts[@]}" "$@" \
            "$suite" "$root.new" "deb $archive $suite main" >&2
        echo "$wanted" >"$root.new/.packages"
        mv "$root.new" "$root"
    fi
    echo "$root"
}

# run: the options checked, then this script again as "enter" in a mount
# namespace of its own.
run_in_root() {
    if [ $# = 0 ] || [ ! -d "$1" ]; then usage >&2 && exit 2; fi
    local args=("$@")
    shift
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        case $1 in
        --sys) [[ ${2:-} == bind || ${2:-} == rbind ]] || { usage >&2 && exit 2; } ;;
        --bind) [[ ${2:-} == /*:/* ]] || { usage >&2 && exit 2; } ;;
        --tmpfs) [[ ${2:-} == /* ]] || { usage >&2 && exit 2; } ;;
        --env) [[ ${2:-} == [A-Za-z_]*=* ]] || { usage >&2 && exit 2; } ;;
        *) usage >&2 && exit 2 ;;
        esac
        shift 2
    done
    [ $# -ge 2 ] || { usage >&2 && exit 2; }
    # (the layer's mount point, made here to be removed here)
    local layer status=0
    layer=$(mktemp -d)
    trap 'rmdir "$layer"' EXIT
    unshare --mount --propagation private "$0" enter "$layer" "${args[@]}" || status=$?
    exit "$status"
}

# enter: the throwaway layer over the root, the mounts, then the command.
enter() {
    local layer=$1 root=$2 sys=rbind merged from to mode environment=()
    shift 2
    mount -t tmpfs tmpfs "$layer"
    mkdir "$layer/upper" "$layer/work" "$layer/root"
    mount -t overlay overlay -o "lowerdir=$root,upperdir=$layer/upper,workdir=$layer/work" "$layer/root"
    merged=$layer/root
    mount -t proc proc "$merged/proc"
    mount -t tmpfs tmpfs "$merged/tmp"
    mount --rbind /dev "$merged/dev"
    while [ "$1" != -- ]; do
        case $1 in
        --sys) sys=$2 ;;
        --bind)
            IFS=: read -r from to mode <<<"$2"
            mkdir -p "$merged$to"
            mount --bind "$from" "$merged$to"
            [ "$mode" != ro ] || mount -o remount,bind,ro "$merged$to"
            ;;
        --tmpfs) mkdir -p "$merged$2" && mount -t tmpfs tmpfs "$merged$2" ;;
        --env) environment+=("$2") ;;
        esac
        shift 2
    done
    shift
    mount "--$sys" /sys "$merged/sys"
    # The layer the root of the namespace, not a chroot inside it: there, as
    # on a machine, a user namespace can be made, and entering the namespace
    # (nsenter -m) leads back to it.
    mkdir "$merged/.old-root"
    cd "$merged"
    pivot_root . .old-root
    umount -l /.old-root
    rmdir /.old-root
    cd /
    exec /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "${environment[@]}" "$@"
}

case ${1:-} in
make) shift && make_root "$@" ;;
run) shift && run_in_root "$@" ;;
enter) shift && enter "$@" ;;
*) usage >&2 && exit 2 ;;
esac

#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The cost of a check of corehop-sweep on a machine of many CPUs: an amd64
# guest of CPUS CPUs under QEMU (software emulation, the VM suite's Debian 12
# kernel, busybox and init, tests/vm/guest.sh, in its case "cost") runs the
# sweep ROUNDS times and corehop as many times as the sweep has checks, and
# prints the time of a check against a run of corehop, from the guest's own
# clock.
#
#   bench/guest-cost.sh [DIST] [CPUS] [ROUNDS]   defaults: build/dist, 64, 5
# DIST holds a release (packaging/release.sh, or the build's release test);
# the kernel comes from tests/vm/fetch-kernel.sh amd64/bookworm.
set -euo pipefail
cd "$(dirname "$0")/.."

# shellcheck source=tests/vm/guests.sh
source tests/vm/guests.sh
dist=${1:-build/dist}
cpus=${2:-64}
rounds=${3:-5}
archive=$(echo "$dist"/corehop-*-linux-amd64.tar.gz)
[ -f "$archive" ] || { echo "guest-cost: no $archive: run packaging/release.sh" >&2 && exit 1; }
lacks=$(guest_lacks amd64/bookworm)
[ -z "$lacks" ] || { echo "guest-cost: $lacks" >&2 && exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# the VM suite's guest, in its case that measures
guest_tree "$work/root" amd64
guest_programs "$work/root" "$archive"
guest_pack "$work/root" "$work/initrd.gz"
line=$(guest_boot amd64 amd64/bookworm "$cpus" 1024 "$work/initrd.gz" 1800 "case=cost rounds=$rounds" |
    grep '^guest-cost: ')
echo "$line"
# (as many runs as checks: the ratio of the two times)
awk -v line="$line" -v cpus="$cpus" 'BEGIN {
    split(line, w, " ")
    printf "a check of corehop-sweep / a run of corehop, on %d CPUs: %.2f\n", cpus, w[8] / w[14]
}'

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

dist=${1:-build/dist}
cpus=${2:-64}
rounds=${3:-5}
cache=${COREHOP_VM_CACHE:-$HOME/.cache/corehop-vm}
archive=$(echo "$dist"/corehop-*-linux-amd64.tar.gz)
for file in "$archive" "$cache/amd64/bookworm/kernel" "$cache/amd64/busybox"; do
    [ -f "$file" ] || { echo "guest-cost: no $file: run packaging/release.sh and tests/vm/fetch-kernel.sh amd64/bookworm" >&2 && exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
mkdir -p "$root/proc" "$root/sys" "$root/dev" "$root/tmp" "$root/bin"
tar -xzf "$archive" -C "$root" --strip-components=1 --wildcards '*/bin/*' '*/examples/*.sh'
mv "$root"/share/doc/corehop/examples/*.sh "$root/bin/"
cp "$cache/amd64/busybox" "$root/bin/busybox"
ln -s busybox "$root/bin/sh"
# the VM suite's init, with its case that measures
cp tests/vm/guest.sh "$root/init"
(cd "$root" && find . | LC_ALL=C sort | cpio -o -H newc --quiet | gzip -1) >"$work/initrd"
line=$(timeout 1800 qemu-system-x86_64 -accel tcg,thread=single -smp "$cpus" -m 1024 \
    -kernel "$cache/amd64/bookworm/kernel" -initrd "$work/initrd" \
    -append "console=ttyS0 panic=-1 quiet case=cost rounds=$rounds" -display none -monitor none -serial stdio -no-reboot </dev/null |
    tr -d '\r' | grep '^guest-cost: ')
echo "$line"
# (as many runs as checks: the ratio of the two times)
awk -v line="$line" -v cpus="$cpus" 'BEGIN {
    split(line, w, " ")
    printf "a check of corehop-sweep / a run of corehop, on %d CPUs: %.2f\n", cpus, w[8] / w[14]
}'
